// What a repository's hooks put first on PATH before they run the user's scripts, and which names there
// would be found in place of the user's own programs: husky's runner, for one, runs "sh" only after
// "node_modules/.bin" is put first, so a "sh" a command drops there runs outside the sandbox at the
// user's next commit.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::HookSearchPath {

// Bytes read of each script; a hook's words that set up PATH come long before that.
inline constexpr std::size_t maxScriptBytes = 64 * 1024;
// Files that the scripts read, in all, beyond the scripts themselves.
inline constexpr std::size_t maxSourcedFiles = 16;
// Distinct words taken from all the scripts; past it the rest are passed over.
inline constexpr std::size_t maxWords = 2048;

struct PutFirst {
    std::vector<std::filesystem::path> folders;
    // The first word, as written and with the file it is in, that holds what the guard cannot know and
    // may set PATH or name a file the hooks source or run; none where every such word is followed.
    std::optional<std::string> unresolved;
};

// What the hooks Git runs directly in `hookFolders` (githooks(5)'s names, no ".sample"), and every file
// they read, may put first on PATH, in whatever language and spelling, their words read as the shell
// reads them (`HookWords`): each word, with what the guard knows of it expanded, split at the
// separators of a PATH, an assignment or any language's syntax (":", "=", ";", ",", brackets...); a
// piece naming a regular file relative to `top` (where a hook runs) or absolute, inside `top` or a
// hooks folder, is read in turn, sourced with what its shell knows there, else as a program of its own
// (`maxSourcedFiles` of them). Any piece may name a folder put first: an absolute one is returned
// standardized; a relative one lies where the hook runs, and a hook's scripts may change folder first
// ("cd web && git ..."): it is returned relative, lexically normal and without the ".." that lead up
// from there (`wherePutFirst` finds where it lies). An empty entry of a PATH set is "."; "." where it
// is the command that sources a file is none. Each once, in the order met; they need not exist. A word
// holding what cannot be known makes the whole `unresolved` in any command, a substitution's too, but as
// a value a command of assignments alone sets (which counts where it is used) or an operand of the
// shell's test ("[", "test"); what Git hands the hook does only where the shell puts it on PATH, runs
// or sources it, or where it is joined to a path. What was found is kept for the next calls while the
// hooks folders, the scripts and every file a word might name are as they were (`GitReadCache`) and
// none of them had changed within a second of `readStart`, the time the reading begins; tests pass a
// later one so that what they just wrote is kept. "~" and the variables the words name are those of
// `environment`, the one the hooks run with (`usersEnvironment`). Reads the disk; any thread; never
// throws, and out of memory is `unresolved`.
PutFirst foldersPutFirst(const std::vector<std::filesystem::path>& hookFolders,
    const std::filesystem::path& top, const CommandEnvironment& environment,
    std::chrono::system_clock::time_point readStart = std::chrono::system_clock::now());

// The folders that the relative folders `foldersPutFirst` returned name for the hooks of the work tree
// `top`, in the writable place `place`, as they are now: "." is `top` itself, and any other is looked for
// at `top` and below every folder at or below `top` that the search for repositories last listed
// (`SearchedFolders`) holding its first name, so that no folder is walked again for it; the rest of it is
// looked up on the disk. A package folder below a "node_modules" is not looked in, as no hook runs there.
// Each existing folder once, `top`'s first. Waits for a search of `place` under way. Any thread; never
// throws but for memory.
std::vector<std::filesystem::path> wherePutFirst(const std::filesystem::path& place,
    const std::filesystem::path& top, const std::vector<std::filesystem::path>& relatives);

// Every folder at or below the work tree `top`, in the writable place `place`, that the search for
// repositories last listed (`SearchedFolders`), `top` first: where the hooks' words cannot be followed
// (`PutFirst::unresolved`), any of them may be put first. Waits for a search of `place` under way. Any
// thread; never throws but for memory.
std::vector<std::filesystem::path> foldersBelow(
    const std::filesystem::path& place, const std::filesystem::path& top);

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

// Starts reading, in the background, the PATH that the user's shell (`environment`'s "SHELL", else the
// user database's) sets up as an interactive login shell, which is what a terminal's programs are found
// through: a program launched from the desktop often runs with a shorter PATH than the folders version
// managers add in the shell's start files. The shell gets `environment` whole, the one the user's runs
// start from, so that it reads the start files of the home they are given. Within
// `loginShellTimeLimitSeconds`, in a session of its own so that it takes no terminal; a shell that cannot
// tell it is logged. Once per program start, before the first run; a later call reads it again. Any
// thread.
void readLoginSearchPath(const CommandEnvironment& environment);

// The environment the user's Git runs hooks with, as the user's programs are found (`usersSearchPath`):
// the one last given to `readLoginSearchPath`, else this program's own. Any thread.
CommandEnvironment usersEnvironment();

// The PATH the user's own programs are found through: this program's own, then the folders of the
// login shell's (`readLoginSearchPath`, waited for while it is read) that it does not name. Any thread.
std::string usersSearchPath();

}
