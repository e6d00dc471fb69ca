// The folders Git keeps inside a repository's ".git" for its linked worktrees and its submodules. Each
// holds files that send Git elsewhere ("commondir") or that Git runs and follows ("hooks", "config",
// "config.worktree"), also when it is started outside any sandbox.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace vellumar::GitFolders {

// bwrap takes at most this many arguments; Claude Code starts no command whose sandbox needs more.
inline constexpr std::size_t sandboxArgumentLimit = 9000;
// What each path a sandbox denies costs there: "--ro-bind", where from and where to.
inline constexpr std::size_t argumentsPerDeniedPath = 3;
// The paths denied in the linked folders of all of a run's writable places together take at most a
// third of the sandbox's room, so that the other deny lists and Claude Code's own protections fit
// beside them however many folders a command made.
inline constexpr std::size_t linkedFolderPathBudget = sandboxArgumentLimit / argumentsPerDeniedPath / 3;
// "commondir", "config.worktree", "hooks" and "config".
inline constexpr std::size_t pathsPerLinkedFolder = 4;
// Past this many linked folders in a run's writable places, the rest are protected a whole Git folder
// at a time ("worktrees" and "modules").
inline constexpr std::size_t maxLinkedFolders = linkedFolderPathBudget / pathsPerLinkedFolder;
// A place's "worktrees" and "modules" trees are read no further than this many entries, so that a tree
// a command filled with empty folders cannot hold up every later run's start. A real tree has a few
// entries per linked folder at most: one for each level of a submodule's name.
inline constexpr std::size_t maxScannedEntries = 8 * maxLinkedFolders;

struct Listing {
    std::vector<std::filesystem::path> folders;
    // False when the place holds more than `limit` linked folders or more than `maxScannedEntries`
    // entries to look through: `folders` then names only some of them.
    bool complete = true;
};

// The linked folders of "<place>/.git": the entries of its "worktrees/" that hold a "gitdir", and the
// submodule folders below its "modules/" that hold a "HEAD" (a submodule named "a/b" lies in
// "modules/a/b"), with the worktrees and submodules of each submodule in turn, as they are now and
// with their symbolic links resolved. At most `limit` of them. Reads the disk; never fails.
Listing linkedFolders(const std::filesystem::path& place, std::size_t limit = maxLinkedFolders);

// What commands may not write in the linked folders of `places`: in each linked folder its "commondir"
// where one exists (an empty placeholder where none does would stop every Git command there),
// "config.worktree", "hooks" and "config". The places share `maxLinkedFolders` in their order; a place
// whose linked folders do not fit in what is left gets its ".git/worktrees" and ".git/modules" denied
// whole instead, with one log line, so that the sandbox still starts. Reads the disk; never fails.
std::vector<std::filesystem::path> commandProtectedPaths(const std::vector<std::filesystem::path>& places);

}
