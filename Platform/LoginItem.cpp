#include "Platform/LoginItem.h"

#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

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

    constexpr auto kApplicationName = "Vellumar for Mac";

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

std::string desktopExecValue(const std::filesystem::path& executable)
{
    // Desktop Entry Specification, "The Exec key": inside a quoted argument '"', '`', '$' and '\\'
    // take a backslash, and '%' is written "%%" as field codes start with it. The general string rule
    // (a backslash is "\\\\") applies on top, so one literal backslash becomes four.
    std::string quoted = "\"";
    for (char character : executable.string()) {
        switch (character) {
        case '"':
        case '`':
        case '$':
            quoted += "\\\\";
            quoted += character;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\t':
            quoted += "\\t";
            break;
        case '\r':
            quoted += "\\r";
            break;
        default:
            quoted += character;
        }
    }
    return quoted + "\"";
}

void registerLoginItem(const std::filesystem::path& executable, const std::filesystem::path& entry)
{
    std::error_code error;
    std::filesystem::create_directories(entry.parent_path(), error);
    if (error)
        throw std::filesystem::filesystem_error(
            "cannot make the autostart folder", entry.parent_path(), error);
    std::string content = std::string("[Desktop Entry]\nType=Application\nName=") + kApplicationName
        + "\nExec=" + desktopExecValue(executable) + "\nX-GNOME-Autostart-enabled=true\n";
    writeFileAtomically(content, entry, ExistingFile::replace);
}

void unregisterLoginItem(const std::filesystem::path& entry)
{
    std::error_code error;
    std::filesystem::remove(entry, error);
    if (error)
        throw std::filesystem::filesystem_error("cannot remove the login item", entry, error);
}

}
