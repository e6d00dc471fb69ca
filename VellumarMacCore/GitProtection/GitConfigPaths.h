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
// Folders walked in each place; plain files, which cannot hold a repository, do not count.
inline constexpr std::size_t maxWalkedNames = 100'000;
// ".git" files whose "gitdir" names a Git folder; any other sends Git nowhere and counts for nothing.
inline constexpr std::size_t maxGitFiles = 256;
// Git folders of repositories (a ".git" folder holding a HEAD, a bare repository's folder).
inline constexpr std::size_t maxGitFolders = 1024;
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
    // found in each place (see `gitEntries`); empty for none.
    std::filesystem::path dataFolder;
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

struct Repository {
    // Its ".git" folder, a bare repository's own folder, or the Git folder a ".git" file names.
    std::filesystem::path gitFolder;
    // Absent for a bare repository.
    std::optional<std::filesystem::path> workTree;
};

struct GitEntries {
    // Each ".git" that is a regular file whose "gitdir" names a Git folder, sorted.
    std::vector<std::filesystem::path> gitFiles;
    // Each place's recorded repositories first, then those the walk met, nearest first; a Git folder
    // reached twice counts once.
    std::vector<Repository> repositories;
};

// The repositories and ".git" files below each of `places`, the places' own included. The Git folders
// that earlier runs found in a place, kept in a private record in `dataFolder` (none when empty), come
// first and outside every bound, dropped once they are no Git folder; a flood of files or folders then
// hides only repositories made after it. Then a walk, breadth first, following no link and entering no
// Git folder, finds: ".git" folders; a folder that holds "HEAD", "objects/" and "refs/" and whose
// configuration says "bare = true" (a bare repository); ".git" files naming a Git folder, and that folder as
// a repository when it lies in the place and in no other Git folder (a separate Git folder; a worktree's or a
// submodule's lies in its repository's). Each place walks at most `maxWalkedNames` folders and takes, in
// order, a fair share of what `maxGitFiles` and `maxGitFolders` leave, so that a flood in one place leaves
// the others their search; past a bound the place's walk stops with one log line. The record then lists the
// place's repositories. Reads the disk; never fails.
GitEntries gitEntries(
    const std::vector<std::filesystem::path>& places, const std::filesystem::path& dataFolder = {});

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
