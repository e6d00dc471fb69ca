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

// Bounds on what one run's settings read, so that a large or hostile tree cannot stall its start.
// `git` processes reading configuration at once.
inline constexpr std::size_t parallelGitReads = 8;
inline constexpr double gitTimeLimitSeconds = 5;
inline constexpr double totalTimeLimitSeconds = 20;

struct Options {
    // The user's home folder: Git reads "~/.gitconfig" there and expands "~" to it.
    std::filesystem::path home;
    // The folders searched for `git`, as in PATH.
    std::string searchPath;
    // The program's data folder, where the search keeps a record of the Git folders that earlier runs
    // found in each place (see `GitRepositorySearch::gitEntries`); empty for none.
    std::filesystem::path dataFolder;
    // Runs `git`; tests may watch the runs.
    CommandRunnerFunction run = runCommand;
};

// `git` in the folders of `searchPath`, as a shell would find it; absent when there is none.
std::optional<std::filesystem::path> gitExecutable(const std::string& searchPath);

// The files and folders that Git in each of `repositories` (a work tree or a folder in it, a bare
// repository's folder, or any folder, where Git reads only the system and global files) is told by its
// configuration to run or read, as `WhatGitRuns`' settings say: the hooks folder (with the folder of the
// scripts a hook manager's runners there run, see `GitProgramSettings::hookManagerFolder`), the templates
// folder, the files that settings naming a program name (see `GitProgramSettings::namedFiles`), every
// included file, whether its condition holds now or not, and the same in every file so included. Git reads
// the system, global (both "~/.gitconfig" and the XDG file), repository and worktree configuration; the paths
// are resolved as Git resolves them ("~" is `home`, an include relative to its including file, the others
// relative to the work tree). Runs `git config` under time limits, up to `parallelGitReads` at once; one
// list for each of `repositories`, in its order. A repository whose configuration cannot be read adds
// nothing and is logged. Never throws.
std::vector<std::vector<std::filesystem::path>> configuredPaths(
    const std::vector<std::filesystem::path>& repositories, const Options& options);

}
