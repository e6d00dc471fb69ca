// The Git repositories in a run's writable places as the run finds them when it starts, and what of each
// commands may not write so that the user's Git, run outside the sandbox later, executes nothing they
// planted. Found once per run, so that the sandbox's deny list and the run's "commondir" placeholders
// and guard name the same repositories.
#pragma once

#include "VellumarMacCore/GitProtection/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"

#include <filesystem>
#include <vector>

namespace vellumar::GitRepositories {

// What is set aside before any repository is protected name by name: the ".git" files the walk finds,
// what Git's configuration names, and one path for each Git folder found, so that every repository
// found can at least be denied whole.
inline constexpr std::size_t reservedPaths
    = GitConfigPaths::maxGitFiles + GitConfigPaths::maxConfiguredPaths + GitConfigPaths::maxGitFolders;
static_assert(reservedPaths < GitFolders::gitPathBudget);

struct Protection {
    // What the sandbox denies to commands, all within `GitFolders::gitPathBudget`.
    std::vector<std::filesystem::path> deniedPaths;
    // The Git folder (".git" resolved) of each repository protected name by name. Its "commondir" is
    // among `deniedPaths`, so the run puts a placeholder there.
    std::vector<std::filesystem::path> gitFolders;
    // The places, then the work trees of the other repositories protected name by name: what the
    // run's `CommonDirGuard` watches.
    std::vector<std::filesystem::path> workTrees;
};

// Each repository whose Git folder is a place's own ".git" or lies below a place
// (`GitConfigPaths::gitEntries`), the places' first, is protected in the first of these forms that
// fits in what the budget has left:
// 1. name by name: its Git folder's "commondir", and "hooks", "config" and "config.worktree" (a
//    place's are denied with its other names), its linked folders as `GitFolders::commandProtectedPaths`,
//    and the ".git" files that Git's own records in it name (a worktree's "gitdir", a submodule's
//    "core.worktree", the paths of ".gitmodules"), however many other ".git" files the walk found;
// 2. the same with its ".git/worktrees" and ".git/modules" denied whole;
// 3. its whole Git folder, so that Git inside the sandbox fails there (one log line for all of them).
// Then the ".git" files the walk found, and what the configuration of the first
// `GitConfigPaths::maxRepositories` repositories and work trees of ".git" files names
// (`GitConfigPaths::configuredPaths`): at most `GitConfigPaths::maxConfiguredPaths` of them, with one
// log line past either bound. A ".git" file or configured path outside every place, which commands
// cannot write anyway, is left out. Reads the disk and runs `git` under time limits; never throws.
Protection commandProtection(
    const std::vector<std::filesystem::path>& places, const GitConfigPaths::Options& options);

}
