#include "VellumarMacCore/Foundations/PathRecord.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <climits>
#include <string>
#include <string_view>

namespace vellumar::PathRecord {

namespace {

    // Far beyond the paths of everything one process may hold; the rest of a larger record is left.
    constexpr std::size_t kRecordBytesLimit = 16 * 1024 * 1024;

}

LiveRuns::Decoded read(const std::filesystem::path& record)
{
    std::string bytes = readPrivateFile(record, kRecordBytesLimit);
    LiveRuns::Decoded read;
    for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
        std::string_view name(bytes.data() + start, end - start);
        if (name.starts_with('/') && name.size() < PATH_MAX)
            read.entries.push_back({ std::string(name), {} });
    }
    return read;
}

}
