// Finds the `claude` executable, builds the PATH that child processes get, and asks the user's login
// shell for its PATH.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

// A small value; copies are independent and usable from any thread. A PATH text is a list of
// entries separated by ":"; empty and relative entries are ignored throughout. Nothing here throws.
class ClaudeLocator {
public:
    ClaudeLocator(std::filesystem::path home, std::string shell);

    // The account's home folder and login shell from the user database, for the running user.
    static ClaudeLocator currentUser();

    const std::string& shell() const noexcept { return m_shell; }
    void setShell(std::string shell) { m_shell = std::move(shell); }

    // The four fixed places where Claude Code installs itself, in the order they are tried.
    std::vector<std::filesystem::path> candidates() const;

    // The first executable among the candidates, else the first executable "claude" in an absolute
    // entry of `path`; absent when there is none.
    std::optional<std::filesystem::path> locate(const std::optional<std::string>& path) const;

    // `path` in its own order, followed by the well-known folders it does not name yet.
    std::string searchPath(const std::optional<std::string>& path) const;

    // The PATH that the login shell sets up, or absent on any failure. Blocks the calling thread for
    // up to the shell's 5-second limit plus the command runner's grace periods; call it off the main
    // thread.
    std::optional<std::string> loginShellPATH() const;

private:
    std::filesystem::path m_home;
    std::string m_shell;
};

}
