#include "Platform/LoginItem.h"

#include "Platform/Paths.h"

#include <fstream>
#include <string>
#include <system_error>

namespace vellumar::platform {

namespace {

    constexpr std::size_t kEntryLimitBytes = 64 * 1024;

    std::string trimmed(const std::string& line)
    {
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            return {};
        return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    }

}

std::filesystem::path loginItemFile() { return configHome() / "autostart" / "vellumar.desktop"; }

bool loginItemEnabled(const std::filesystem::path& entry)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(entry, error))
        return false;
    std::ifstream in(entry, std::ios::binary);
    std::size_t readBytes = 0;
    for (std::string line; readBytes < kEntryLimitBytes && std::getline(in, line);) {
        readBytes += line.size() + 1;
        if (trimmed(line) == "Hidden=true")
            return false;
    }
    return !in.bad();
}

}
