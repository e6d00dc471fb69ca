// What the user's own Git, run later outside the sandbox, takes from places commands may write: the
// ".git" files that send it to a Git folder, and the hooks, programs and included files that its
// configuration names. A command that changed any of them would have Git run its code.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::GitConfigPaths {

// Bounds on what one run's settings look at, so that a large or hostile tree cannot stall its start.
inline constexpr std::size_t maxWalkedNames = 100'000;
inline constexpr std::size_t maxGitFiles = 256;
inline constexpr std::size_t maxRepositories = 64;
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

// Each ".git" that is a regular file below one of `places`, the places themselves included, nearest
// first: a walk that follows no link, does not enter ".git" folders and stops after `maxWalkedNames`
// names or `maxGitFiles` files, with one log line when it stops early. Reads the disk; never fails.
std::vector<std::filesystem::path> gitFiles(const std::vector<std::filesystem::path>& places);

// The files and folders that Git in `repository` (its work tree or a folder in it) is told by its
// configuration to run or read: "core.hooksPath" (with the scripts a hook manager's runners there run,
// see `GitProgramSettings::hookManagerScripts`), the files that settings naming a program name (see
// `GitProgramSettings::namedFiles`), "include.path" and every "includeIf.<condition>.path", whether
// the condition holds now or not, and the same in every file so included. Git reads the system, global (both "~/.gitconfig" and the XDG
// file), repository and worktree configuration; the paths are resolved as Git resolves them ("~" is
// `home`, an include relative to its including file, the others relative to the work tree). Runs
// `git config` under time limits; a repository whose configuration cannot be read adds nothing and is
// logged. Never throws.
std::vector<std::filesystem::path> configuredPaths(
    const std::vector<std::filesystem::path>& repositories, const Options& options);

// What commands may not write so that Git outside cannot be turned to their code: `gitFiles` of the
// places, and `configuredPaths` of the places and of those files' work trees, each with its symbolic
// links resolved and kept only when it lies inside one of the places.
std::vector<std::filesystem::path> commandProtectedPaths(
    const std::vector<std::filesystem::path>& places, const Options& options);

}
