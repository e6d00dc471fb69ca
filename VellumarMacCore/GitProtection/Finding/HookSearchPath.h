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
// are the script's own folder), put before the user's programs in an assignment to PATH, with or without
// "export", quoted or not: those before its first use of the value it had ("$PATH", "${PATH}", or one
// with an operator, as in "a${PATH:+:$PATH}"), or all of them where it uses none. "PATH=a:b:$PATH" puts
// both "a" and "b" first. A folder named through the script's own folder, or absolute, is returned as
// the kernel would take it when it lies inside `top`. A relative one, and one under "$PWD" or "$(pwd)",
// lies where the hook runs, and a hook's scripts may change folder first ("cd web && git ..."): it is
// returned relative, lexically normal and without the ".." that lead up from there
// (`wherePutFirst` finds where it lies). A folder with any other expansion is left out. Each once, in
// the order met; they need not exist. What was found is kept for the next calls while the hooks
// folders, the scripts and the sourced files are as they were (`GitReadCache`) and none of them had
// changed within a second of `readStart`, the time the reading begins; tests pass a later one so that
// what they just wrote is kept. Reads the disk; any thread; never throws.
std::vector<std::filesystem::path> foldersPutFirst(const std::vector<std::filesystem::path>& hookFolders,
    const std::filesystem::path& top,
    std::chrono::system_clock::time_point readStart = std::chrono::system_clock::now());

// Where a relative folder that `foldersPutFirst` returned lies for the hooks of the work tree `top`:
// at `top`, there or not, and below each folder at or below `top` that holds it as the search for
// repositories last listed the place's folders (`SearchedFolders`), nearest first, so that no folder is
// walked again for it. A package folder below a "node_modules" is not looked in, as no hook runs there;
// "." stands for `top` alone. Waits for a search of `place` under way. Any thread; never throws but for
// memory.
std::vector<std::filesystem::path> wherePutFirst(const std::filesystem::path& place,
    const std::filesystem::path& top, const std::filesystem::path& relative);

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

// How long the user's login shell may take to tell its PATH.
inline constexpr double loginShellTimeLimitSeconds = 5;

// Starts reading, in the background, the PATH that the user's shell ("$SHELL", else the user
// database's) sets up as an interactive login shell, which is what a terminal's programs are found
// through: a program launched from the desktop often runs with a shorter PATH than the folders version
// managers add in the shell's start files. Within `loginShellTimeLimitSeconds`, in a session of its own
// so that it takes no terminal; a shell that cannot tell it is logged. Once per program start, before
// the first run; a later call reads it again. Any thread.
void readLoginSearchPath();

// The PATH the user's own programs are found through: this program's own, then the folders of the
// login shell's (`readLoginSearchPath`, waited for while it is read) that it does not name. Any thread.
std::string usersSearchPath();

}
