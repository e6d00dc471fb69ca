// A bot's permissions resolved against this computer's folders: what one Claude Code run may use.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

struct FolderGrant {
    std::filesystem::path path; // real location, symlinks resolved
    bool writable = false;
    std::string label; // "~", "~/<relative>" or the full path
    bool fromHome = false; // made by expanding the home folder

    friend bool operator==(const FolderGrant&, const FolderGrant&) = default;
};

struct SecretGrant {
    std::string id;
    bool writable = false;
    std::vector<std::filesystem::path> dirs; // existing folders of the item, real locations
    std::vector<std::filesystem::path> files; // existing files of the item, real locations

    friend bool operator==(const SecretGrant&, const SecretGrant&) = default;
};

struct ResolvedPermissions {
    std::vector<FolderGrant> folders;
    bool web = false;
    bool bash = false;
    std::optional<std::string> homeAccess; // "read" or "write"
    std::vector<SecretGrant> secrets;
    std::string network = "none"; // "none", "local", "domains" or "all"
    std::vector<std::string> domains;
    std::set<std::string> approve;
    std::set<std::string> granted;
    bool bashGated = false;
    std::vector<std::filesystem::path> alwaysWrites;
    bool cliTools = false;
    std::vector<std::filesystem::path> toolReads;
    std::vector<std::filesystem::path> toolWrites;
    std::vector<std::filesystem::path> executableFolders;

    // Whether `kind` still waits for the user's consent in this run.
    bool isGated(std::string_view kind) const;
    // The copy one run gets: folders read-only while "write" is gated, `bashGated` while "bash" is.
    ResolvedPermissions applyingGates() const;
    // "write" or "read" for the first grant of the secret item; nullopt when it is not granted.
    std::optional<std::string> secretMode(std::string_view id) const;

    friend bool operator==(const ResolvedPermissions&, const ResolvedPermissions&) = default;
};

// The folders of a project's ".claude" folder where Claude Code keeps what a bot may add to it:
// "skills", "commands", "agents".
const std::vector<std::string>& claudeSubfolderNames();

// Whether `url` is a ".claude/<skills|commands|agents>" folder lying strictly inside a writable
// grant, the only places a bot may be allowed to write without asking.
bool isClaudeSubfolderInWritableGrant(
    const std::filesystem::path& url, const std::vector<FolderGrant>& grants);

}
