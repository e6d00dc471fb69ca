// Git folders: how Git finds a repository's from a ".git" file or folder (what makes a Git folder is
// `GitFolderDefinition`'s), in one place for every reader, and the folders Git keeps inside one for its
// linked worktrees and its submodules.
// Each of those holds files that send Git elsewhere ("commondir") or that Git runs and follows
// ("hooks", "config", "config.worktree"), also when it is started outside any sandbox.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::GitFolders {

// Where a repository's parts lie, as Git's set-up finds them.
struct Location {
    // As the kernel resolves it.
    std::filesystem::path gitFolder;
    // Where its "commondir" sends Git for what the worktrees of one repository share (objects, refs,
    // the shared configuration and hooks), as the kernel resolves it; `gitFolder` without one.
    std::filesystem::path commonFolder;
    // The ".git" file that sends Git to `gitFolder`, as written: the one found, or the one a linked
    // worktree's "gitdir" names.
    std::optional<std::filesystem::path> gitFile;
    // The folder whose ".git" leads to `gitFolder`. Absent for a bare repository's Git folder, and for a
    // submodule's, whose work tree only its configuration tells.
    std::optional<std::filesystem::path> workTree;
};

// What Git finds at `folder` without looking above it: its ".git" folder (a link to one too), the Git
// folder its ".git" file names, or `folder` itself as `locatedGitFolder` finds it. Each small file is
// read as Git reads it and no further than 4096 bytes, so that one a command made a FIFO or filled
// without end cannot stall the reader: a ".git" file (a regular file, not a link) and "commondir" to
// their end less their trailing CR and LF and up to a NUL, a ".git" file only after its "gitdir: ",
// each path relative to the file's folder. A ".git" file that names no Git folder leaves Git nowhere:
// absent then, as when nothing there is a Git folder. Reads the disk; never fails.
std::optional<Location> located(const std::filesystem::path& folder);
// The same for a Git folder named directly, with no ".git" looked for in it: a bare repository's, a
// submodule's, or a linked worktree's, whose "gitdir" (its first line less its trailing blanks, relative
// to the Git folder) names the ".git" file of its work tree. Commands may write that "gitdir": it is
// read only as a regular file, through no link. Absent when it is no Git folder.
std::optional<Location> locatedGitFolder(const std::filesystem::path& gitFolder);

// Where Git's set-up runs the hooks of `gitFolder` (as the kernel resolves it), `location` being what
// `locatedGitFolder` found of it: the folder its
// "core.worktree" names, `workTreeSetting` (ignored beside a "commondir", as a linked worktree's, and taken
// from the Git folder where relative), else the folder of each of `gitFiles` (the ".git" files and folders
// that send Git there), of the ".git" file a linked worktree's "gitdir" names, and its own parent where
// it is a ".git"; else, for a bare repository, the Git folder itself. A common folder's hooks run in each
// of its linked worktrees as well, at the top `git worktree list` gives: the folder of the ".git" file
// that the "gitdir" of each Git folder in its "worktrees/" names. Each once, as the kernel resolves it,
// those it cannot left out. The one rule of where Git runs with a Git folder's hooks and configuration:
// of a run's start, which notes and watches what the hooks put first on PATH there, of its end, which
// judges it, and of a setting's relative path. Reads the disk; never throws but for memory.
struct WorkTrees {
    std::vector<std::filesystem::path> tops;
    // False where a linked worktree's top cannot be told (a Git folder in "worktrees/" whose "gitdir"
    // names nothing), or past `maxLinkedFolders` of them: Git may run there as well.
    bool complete = true;
};
WorkTrees workTreesOf(const std::filesystem::path& gitFolder, const std::optional<Location>& location,
    const std::vector<std::filesystem::path>& gitFiles, const std::optional<std::string>& workTreeSetting);

// bwrap takes at most this many arguments; Claude Code starts no command whose sandbox needs more.
inline constexpr std::size_t sandboxArgumentLimit = 9000;
// What each path a sandbox denies costs there: "--ro-bind", where from and where to.
inline constexpr std::size_t argumentsPerDeniedPath = 3;
// Every path a run's sandbox denies for Git (in repositories' own Git folders, their linked folders, the
// ".git" files and what Git's configuration names) takes at most half of the sandbox's room together,
// so that the other deny lists and Claude Code's own protections fit beside them however many
// repositories and folders a command made.
inline constexpr std::size_t gitPathBudget = sandboxArgumentLimit / argumentsPerDeniedPath / 2;
// "commondir", "config.worktree", "hooks" and "config".
inline constexpr std::size_t pathsPerLinkedFolder = 4;
// Past this many linked folders in one repository, they are protected a whole Git folder at a time
// ("worktrees" and "modules").
inline constexpr std::size_t maxLinkedFolders = 250;
// A place's "worktrees" and "modules" trees are read no further than this many entries, so that a tree
// a command filled with empty folders cannot hold up every later run's start. A real tree has a few
// entries per linked folder at most: one for each level of a submodule's name.
inline constexpr std::size_t maxScannedEntries = 8 * maxLinkedFolders;

// An entry `walkLinkedFolders` read that leads to a folder.
struct LinkedEntry {
    std::filesystem::path folder; // where it leads, as the kernel resolves it
    bool isLink = false; // the entry itself is a symbolic link
    bool isGitFolder = false; // as `GitFolderDefinition::isGitFolder` finds it
    // In a "worktrees/", where Git keeps its linked worktrees' Git folders; else below a "modules/".
    bool isWorktree = false;
};

enum class WalkStep { enter, passOver, stop };

// Goes through what Git keeps in the Git folder `gitFolder` for its linked worktrees and submodules
// (gitrepository-layout(5)): each entry of its "worktrees/", and each below its "modules/" (a submodule
// named "a/b" lies in "modules/a/b"), the same in each Git folder entered in turn, links followed as Git
// follows them. `step` is given each entry read, in order, absent where it leads to no folder, and says
// whether the walk enters it (a Git folder, or below "modules/" a level of a submodule's name), passes it
// over, or stops. No folder is entered twice, however many links lead to it. The one listing of a Git
// folder's linked folders. Reads the disk; never fails but for memory.
void walkLinkedFolders(const std::filesystem::path& gitFolder,
    const std::function<WalkStep(const std::optional<LinkedEntry>&)>& step);

struct Listing {
    std::vector<std::filesystem::path> folders;
    // False when the place holds more than `limit` linked folders or more than `maxScannedEntries`
    // entries to look through: `folders` then names only some of them.
    bool complete = true;
    // Where each entry that is a symbolic link to a folder leads, resolved, among the entries read
    // (all of them up to `maxScannedEntries`, past `limit` too).
    std::vector<std::filesystem::path> linkTargets;
};

// The linked folders of "<place>/.git": the Git folders `walkLinkedFolders` finds, as they are now and
// with their symbolic links resolved. At most `limit` of them. Reads the disk; never fails.
Listing linkedFolders(const std::filesystem::path& place, std::size_t limit = maxLinkedFolders);
// The same for a Git folder named directly: a bare repository's, or one that a ".git" file names.
Listing linkedFoldersOfGitFolder(
    const std::filesystem::path& gitFolder, std::size_t limit = maxLinkedFolders);

// What commands may not write in the linked folders of `places`: in each linked folder its "commondir"
// where one exists (an empty placeholder where none does would stop every Git command there),
// "config.worktree", "hooks" and "config". The places share `limit` linked folders in their order; a
// place whose linked folders do not fit in what is left gets its ".git/worktrees" and ".git/modules"
// denied whole instead, together with every folder a link among their entries leads to (Git follows
// the link), with one log line, so that the sandbox still starts. Reads the disk; never fails.
std::vector<std::filesystem::path> commandProtectedPaths(
    const std::vector<std::filesystem::path>& places, std::size_t limit = maxLinkedFolders);
// The same for Git folders named directly.
std::vector<std::filesystem::path> commandProtectedPathsOfGitFolders(
    const std::vector<std::filesystem::path>& gitFolders, std::size_t limit = maxLinkedFolders);

}
