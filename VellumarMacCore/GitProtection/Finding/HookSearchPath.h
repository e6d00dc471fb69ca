// What a repository's hooks put first on PATH before they run the user's scripts, and which names there
// would be found in place of the user's own programs: husky's runner, for one, runs "sh" only after
// "node_modules/.bin" is put first, so a "sh" a command drops there runs outside the sandbox at the
// user's next commit.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::HookSearchPath {

// Bytes read of each script; a hook's assignment to PATH comes long before that.
inline constexpr std::size_t maxScriptBytes = 64 * 1024;
// Files that the scripts source, in all, beyond the scripts themselves.
inline constexpr std::size_t maxSourcedFiles = 16;

// The folders that the hooks Git runs directly in `hookFolders` (githooks(5)'s names, no ".sample"),
// and the files they source ("." or "source" followed by a path, where "$(dirname "$0")" and "${0%/*}"
// are the script's own folder), put before "$PATH" in an assignment to PATH, with or without "export",
// quoted or not: "PATH=a:b:$PATH" puts both "a" and "b" first. A relative folder is taken from `top`,
// where Git runs hooks, as are "$PWD" and "$(pwd)"; a folder with any other expansion is left out, as is
// one outside `top`. Standardized, each once, in the order met; they need not exist. What was found is
// kept for the next calls while the hooks folders, the scripts and the sourced files are as they were
// (`GitReadCache`) and none of them had changed within a second of `readStart`, the time the reading
// begins; tests pass a later one so that what they just wrote is kept. Reads the disk; any thread; never
// throws.
std::vector<std::filesystem::path> foldersPutFirst(const std::vector<std::filesystem::path>& hookFolders,
    const std::filesystem::path& top,
    std::chrono::system_clock::time_point readStart = std::chrono::system_clock::now());

// The user's programs, as a folder put first on PATH would shadow them: the executable files in
// `searchPath`'s folders (as in PATH) that lie outside `project`. A relative folder, or one inside
// `project` as written or as the kernel resolves it, counts for nothing, since it is the project's own.
// Each folder's names are read once per program and again only when the folder changes, so that a
// guard noting a "node_modules/.bin" of hundreds of entries, often, pays a lookup per name. Any
// thread; never throws.
class ShadowedPrograms {
public:
    ShadowedPrograms(const std::filesystem::path& project, std::string_view searchPath);

    // Whether a file named `name` would be found in place of one of them.
    bool shadows(std::string_view name) const;

private:
    std::vector<std::shared_ptr<const std::set<std::string, std::less<>>>> m_names;
};

// The PATH this program runs with, which the user's own programs are found through.
std::string programSearchPath();

}
