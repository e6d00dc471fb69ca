#include "Platform/LoginItem.h"

#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace vellumar::platform {

namespace {

    constexpr std::size_t kEntryLimitBytes = 64 * 1024;

    constexpr auto kBlanks = " \t\r\n\v\f";

    std::string trimmed(std::string_view text)
    {
        auto first = text.find_first_not_of(kBlanks);
        if (first == std::string_view::npos)
            return {};
        return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
    }

    // A boolean as GLib's key files read one; none for any other value, which then counts as unset.
    std::optional<bool> booleanValue(const std::string& value)
    {
        if (value == "true" || value == "1")
            return true;
        if (value == "false" || value == "0")
            return false;
        return std::nullopt;
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
    // Desktop Entry rules: keys count only in their group, blanks around "=" are no part of key or
    // value, and of a key given twice the later value stands.
    bool inEntryGroup = false;
    std::string hidden;
    std::string autostartEnabled;
    for (std::string line; readBytes < kEntryLimitBytes && std::getline(in, line);) {
        readBytes += line.size() + 1;
        std::string content = trimmed(line);
        if (content.starts_with('[')) {
            inEntryGroup = content == "[Desktop Entry]";
            continue;
        }
        auto equals = content.find('=');
        if (!inEntryGroup || content.starts_with('#') || equals == std::string::npos)
            continue;
        std::string key = trimmed(std::string_view(content).substr(0, equals));
        if (key == "Hidden")
            hidden = trimmed(std::string_view(content).substr(equals + 1));
        else if (key == "X-GNOME-Autostart-enabled")
            autostartEnabled = trimmed(std::string_view(content).substr(equals + 1));
    }
    // "Hidden" is the autostart rules' switch; GNOME's own key is the one its settings write.
    return !in.bad() && booleanValue(hidden) != true && booleanValue(autostartEnabled) != false;
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
