#include "VellumarMacCore/ClaudeCode/ClaudeLocator.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::string_view kFallbackShell = "/bin/zsh";
    // The leading newline keeps the PATH on a line of its own after whatever the login files print.
    constexpr std::string_view kPrintPATHCommand = R"(printf '\n%s' "$PATH")";
    constexpr double kLoginShellTimeLimitSeconds = 5.0;
    // Where package managers and the system keep programs, after the user's own ~/.local/bin; a
    // login shell that cannot be asked still leaves Claude Code's helpers findable.
    constexpr std::array<std::string_view, 6> kSystemFolders { "/opt/homebrew/bin", "/usr/local/bin",
        "/usr/bin", "/bin", "/usr/sbin", "/sbin" };

    // Follows symbolic links; a folder is not an executable even when it can be searched.
    bool isExecutableFile(const std::filesystem::path& location)
    {
        struct stat information = {};
        if (stat(location.c_str(), &information) != 0 || !S_ISREG(information.st_mode))
            return false;
        return faccessat(AT_FDCWD, location.c_str(), X_OK, AT_EACCESS) == 0;
    }

    std::vector<std::string_view> split(std::string_view text, char separator)
    {
        std::vector<std::string_view> pieces;
        while (!text.empty()) {
            auto end = std::min(text.find(separator), text.size());
            if (end > 0)
                pieces.push_back(text.substr(0, end));
            text.remove_prefix(std::min(end + 1, text.size()));
        }
        return pieces;
    }

    std::vector<std::string_view> pathEntries(const std::optional<std::string>& path)
    {
        return path ? split(*path, ':') : std::vector<std::string_view> {};
    }

    bool isAbsolute(std::string_view entry) { return entry.starts_with('/'); }

    // Reads the user database without the non-reentrant getpwuid, as other threads may use it too.
    std::optional<passwd> userEntry(std::vector<char>& storage)
    {
        long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
        storage.resize(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
        passwd entry = {};
        passwd* found = nullptr;
        while (getpwuid_r(getuid(), &entry, storage.data(), storage.size(), &found) == ERANGE
            && storage.size() < 1024 * 1024)
            storage.resize(storage.size() * 2);
        if (!found)
            return std::nullopt;
        return entry;
    }

}

ClaudeLocator::ClaudeLocator(std::filesystem::path home, std::string shell)
    : m_home(std::move(home))
    , m_shell(std::move(shell))
{
}

ClaudeLocator ClaudeLocator::currentUser()
{
    std::vector<char> storage;
    auto entry = userEntry(storage);
    if (entry)
        return ClaudeLocator(entry->pw_dir ? entry->pw_dir : "", entry->pw_shell ? entry->pw_shell : "");
    const char* home = std::getenv("HOME");
    return ClaudeLocator(home ? home : "", "");
}

std::vector<std::filesystem::path> ClaudeLocator::candidates() const
{
    return {
        m_home / ".local/bin/claude",
        "/opt/homebrew/bin/claude",
        "/usr/local/bin/claude",
        m_home / ".claude/local/claude",
    };
}

std::optional<std::filesystem::path> ClaudeLocator::locate(const std::optional<std::string>& path) const
{
    for (const auto& candidate : candidates()) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    for (auto entry : pathEntries(path)) {
        if (!isAbsolute(entry))
            continue;
        auto candidate = std::filesystem::path(entry) / "claude";
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::string ClaudeLocator::searchPath(const std::optional<std::string>& path) const
{
    auto localBin = (m_home / ".local/bin").string();
    auto entries = pathEntries(path);
    entries.push_back(localBin);
    entries.insert(entries.end(), kSystemFolders.begin(), kSystemFolders.end());

    std::vector<std::string_view> kept;
    std::string joined;
    for (auto entry : entries) {
        if (!isAbsolute(entry) || std::find(kept.begin(), kept.end(), entry) != kept.end())
            continue;
        kept.push_back(entry);
        if (!joined.empty())
            joined += ':';
        joined += entry;
    }
    return joined;
}

std::optional<std::string> ClaudeLocator::loginShellPATH() const
{
    std::filesystem::path shell = isAbsolute(m_shell) ? std::string_view(m_shell) : kFallbackShell;
    if (!isExecutableFile(shell))
        return std::nullopt;

    CommandResult result;
    try {
        result = runCommand(shell, { "-l", "-c", std::string(kPrintPATHCommand) },
            { .timeLimitSeconds = kLoginShellTimeLimitSeconds });
    } catch (const CommandLaunchError&) {
        return std::nullopt;
    }
    if (result.timedOut || result.status != 0 || !detail::isValidUTF8(result.output))
        return std::nullopt;

    auto lines = split(result.output, '\n');
    if (lines.empty())
        return std::nullopt;
    auto value = trimmingBlanks(lines.back());
    if (value.find('/') == std::string_view::npos)
        return std::nullopt;
    return std::string(value);
}

}
