// What the user's own Git, run later outside the sandbox, takes from places commands may write: the
// ".git" files that send it to a Git folder, and the hooks, programs and included files that its
// configuration names. A command that changed any of them would have Git run its code.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::GitConfigPaths {

// Bounds on what one run's settings look at, so that a large or hostile tree cannot stall its start nor
// swell its sandbox past what it accepts.
inline constexpr std::size_t maxWalkedNames = 100'000;
// ".git" files whose "gitdir" names a Git folder; any other sends Git nowhere and counts for nothing.
inline constexpr std::size_t maxGitFiles = 256;
// Git folders of repositories (a ".git" folder holding a HEAD).
inline constexpr std::size_t maxGitFolders = 1024;
// Repositories whose configuration is read.
inline constexpr std::size_t maxRepositories = 64;
// Paths that the configuration of all of them together adds.
inline constexpr std::size_t maxConfiguredPaths = 128;
inline constexpr double gitTimeLimitSeconds = 5;
inline constexpr double totalTimeLimitSeconds = 20;

struct Options {
    // The user's home folder: Git reads "~/.gitconfig" there and expands "~" to it.
    std::filesystem::path home;
    // The folders searched for `git`, as in PATH.
    std::string searchPath;
    // Runs `git`; tests may watch the runs.
    CommandRunnerFunction run = runCommand;
};

// Whether `folder` (a link to one too) holds a HEAD, the first thing Git asks of a Git folder.
bool isGitFolder(const std::filesystem::path& folder);

// The first line of `file` when it is a regular file, without its line end and read no further than
// 4096 bytes: how Git's small record files (".git" files, a worktree's "gitdir") are read, so that one a
// command made a FIFO or filled without end cannot stall the reader. Empty for anything else.
std::string firstLine(const std::filesystem::path& file);

// `git` in the folders of `searchPath`, as a shell would find it; absent when there is none.
std::optional<std::filesystem::path> gitExecutable(const std::string& searchPath);

struct GitEntries {
    // Each ".git" that is a regular file whose "gitdir" names a Git folder, sorted.
    std::vector<std::filesystem::path> gitFiles;
    // Each ".git" that is a Git folder (`isGitFolder`), nearest first: its parent is the work tree.
    std::vector<std::filesystem::path> gitFolders;
};

// The ".git" entries below each of `places`, the places' own included: a walk that follows no link,
// does not enter ".git" folders and stops after `maxWalkedNames` names, `maxGitFiles` files or
// `maxGitFolders` folders, with one log line when it stops early. Reads the disk; never fails.
GitEntries gitEntries(const std::vector<std::filesystem::path>& places);

// The files and folders that Git in `repository` (its work tree or a folder in it) is told by its
// configuration to run or read: "core.hooksPath" (with the folder of the scripts that a hook
// manager's runners there run, see `GitProgramSettings::hookManagerFolder`), the files that settings
// naming a program name (see `GitProgramSettings::namedFiles`), "include.path" and every "includeIf.<condition>.path", whether
// the condition holds now or not, and the same in every file so included. Git reads the system, global (both "~/.gitconfig" and the XDG
// file), repository and worktree configuration; the paths are resolved as Git resolves them ("~" is
// `home`, an include relative to its including file, the others relative to the work tree). Runs
// `git config` under time limits; a repository whose configuration cannot be read adds nothing and is
// logged. Never throws.
std::vector<std::filesystem::path> configuredPaths(
    const std::vector<std::filesystem::path>& repositories, const Options& options);

}
