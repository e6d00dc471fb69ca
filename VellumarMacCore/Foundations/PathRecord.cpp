#include "VellumarMacCore/Foundations/PathRecord.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <climits>
#include <string>
#include <string_view>
#include <system_error>

namespace vellumar::PathRecord {

namespace {

    namespace fs = std::filesystem;

    // Far beyond the paths of everything one process may hold; the rest of a larger record is left.
    constexpr std::size_t kRecordBytesLimit = 16 * 1024 * 1024;

}

void write(const fs::path& record, const std::vector<fs::path>& paths)
{
    if (paths.empty()) {
        std::error_code ignored;
        fs::remove(record, ignored);
        return;
    }
    std::string bytes;
    for (const auto& path : paths)
        bytes.append(path.native()).push_back('\0');
    writePrivateFile(bytes, record);
}

std::vector<fs::path> read(const fs::path& record)
{
    std::string bytes = readPrivateFile(record, kRecordBytesLimit);
    std::vector<fs::path> paths;
    for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
        std::string_view name(bytes.data() + start, end - start);
        if (name.starts_with('/') && name.size() < PATH_MAX)
            paths.emplace_back(name);
    }
    return paths;
}

void removeLeftoverCopies(const fs::path& record)
{
    removeTemporaryLeftovers(record.parent_path(),
        [name = record.filename().native()](std::string_view target) { return target == name; });
}

}
