// What the user's own Git, run later outside the sandbox, takes from places commands may write: the
// ".git" files that send it to a Git folder, and the hooks, programs and included files that its
// configuration names. A command that changed any of them would have Git run its code.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::GitConfigPaths {

// `git` processes reading configuration at once.
inline constexpr std::size_t parallelGitReads = 8;
// How long one `git` reading configuration may go without getting on (`CommandOptions::stallLimitSeconds`)
// before it is stopped: the bound on a file that never ends (a FIFO nobody writes), which holds at any
// speed, since a `git` that is slow because the machine is busy is running or waiting to. What Git does not
// tell is unread, and the run it was read for runs no command (`GitRepositories::forGuard`).
inline constexpr double gitStallLimitSeconds = 5;
// How long it may take at most, getting on or not: far past what a user's 50 MB configuration takes on two
// CPUs shared with other work, for a file fed a byte now and then.
inline constexpr double gitTimeLimitSeconds = 300;

// The options each `git` that reads configuration runs with, under the two limits above.
CommandOptions gitReadOptions(
    CommandEnvironment environment, std::optional<std::filesystem::path> workingFolder = std::nullopt);

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
    // How long the search at a run's start walks each place before the settings are written; the guard's
    // start walks the rest (`GitRepositories::forGuard`).
    std::chrono::steady_clock::duration searchBudgetPerPlace = GitRepositorySearch::budgetPerPlace;
};

// `git` in the folders of `searchPath`, as a shell would find it; absent when there is none.
std::optional<std::filesystem::path> gitExecutable(const std::string& searchPath);

// What a `git config` run that ended tells of the configuration it read: `told` where it ended with 0,
// or 1 for "nothing matched"; `refused` where Git cannot read it (128, as for a line it cannot parse),
// and so runs nothing of it either; `untold` where it ran past its time limit or ended otherwise, and what
// the configuration names is not known.
enum class Reading { told, refused, untold };
Reading readingOf(const CommandResult& result);

// The files and folders that Git in each of `repositories` (a work tree or a folder in it, a bare
// repository's folder, or any folder, where Git reads only the system and global files) is told by its
// configuration to run or read, as `WhatGitRuns`' settings say: the hooks folder (with the folder of the
// scripts a hook manager's runners there run, see `GitProgramSettings::hookManagerFolder`), the templates
// folder, the files that settings naming a program name (see `GitProgramSettings::namedFiles`), every
// included file, whether its condition holds now or not, and the same in every file so included. Git reads
// the system, global (both "~/.gitconfig" and the XDG file), repository and worktree configuration; the paths
// are resolved as Git resolves them ("~" is `home`, an include relative to its including file, the others
// relative to the work tree). Runs `git config`, each with `gitReadOptions`, up to
// `parallelGitReads` at once. A configuration Git refuses (a line it cannot parse) names nothing Git
// runs. Out of memory, every repository is unread; never throws but for memory.
struct Named {
    // One list for each of `repositories`, in its order.
    std::vector<std::vector<std::filesystem::path>> paths;
    // Where Git did not tell in time, or could not be started: the folder it read a repository's
    // configuration at, or the included file; what each names is not known.
    std::vector<std::filesystem::path> unread;
};
Named configuredPaths(const std::vector<std::filesystem::path>& repositories, const Options& options);

}
