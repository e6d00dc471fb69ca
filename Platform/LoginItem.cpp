#include "Platform/LoginItem.h"

#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

#include <fstream>
#include <stdexcept>
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

std::string desktopExecValue(const std::filesystem::path& executable)
{
    std::string quoted = "\"";
    for (unsigned char character : executable.string()) {
        if (character < 0x20 || character == 0x7f)
            throw std::invalid_argument("The program's path holds a control character.");
        // Inside quotes '"', '`', '$' and '\\' take a backslash; every backslash is then doubled
        // once more, because the whole value is also a string value; "%" starts a field code
        // unless doubled.
        if (character == '"' || character == '`' || character == '$')
            quoted += "\\\\";
        else if (character == '\\')
            quoted += "\\\\\\";
        quoted += character == '%' ? std::string("%%") : std::string(1, static_cast<char>(character));
    }
    return quoted + "\"";
}

void setLoginItemEnabled(
    bool enabled, const std::filesystem::path& entry, const std::filesystem::path& executable)
{
    if (!enabled) {
        std::error_code error;
        std::filesystem::remove(entry, error);
        if (error)
            throw std::filesystem::filesystem_error("The login item could not be removed", entry, error);
        return;
    }
    std::string exec;
    try {
        exec = desktopExecValue(executable);
    } catch (const std::invalid_argument& error) {
        throw std::filesystem::filesystem_error(
            error.what(), executable, std::make_error_code(std::errc::invalid_argument));
    }
    std::filesystem::create_directories(entry.parent_path());
    writeFileAtomically("[Desktop Entry]\nType=Application\nName=Vellumar for Mac\nExec=" + exec
            + "\nX-GNOME-Autostart-enabled=true\n",
        entry, ExistingFile::replace);
}

}
