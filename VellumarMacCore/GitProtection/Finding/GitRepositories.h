// The Git repositories in a run's writable places as the run finds them when it starts, and how each
// is kept from having the user's Git, run outside the sandbox later, execute anything commands planted.
// Found once per run, so that the sandbox's deny list, the run's "commondir" placeholders and its guard
// name the same repositories.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"
#include "VellumarMacCore/GitProtection/Finding/GuardedRepository.h"

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace vellumar::GitRepositories {

// The sequencer's state (`WhatGitRuns::Kind::sequencerState`: what a stopped rebase, cherry-pick or
// revert runs on "--continue") is rare when a run starts; past this many folders of it the rest stays
// writable,
// with one log line, so that a command that made it everywhere cannot swell the sandbox.
inline constexpr std::size_t maxSequencerPaths = 64;

// What Git's configuration names is noted by the guard with a repository found; only where none is found
// (the user's own global settings naming a file in a place that holds no repository) is it denied in
// the sandbox, this many paths at most.
inline constexpr std::size_t maxUnguardedConfiguredPaths = 64;

// What is set aside before the places' own repositories are protected name by name.
inline constexpr std::size_t reservedPaths = maxUnguardedConfiguredPaths + maxSequencerPaths;
static_assert(reservedPaths < GitFolders::gitPathBudget);

class GuardPart;

struct Protection {
    // What the sandbox denies to commands, all within `GitFolders::gitPathBudget`.
    std::vector<std::filesystem::path> deniedPaths;
    // The Git folder (".git" resolved) of each place's own repository protected name by name. Its
    // "commondir" is among `deniedPaths`, so the run puts a placeholder there.
    std::vector<std::filesystem::path> gitFolders;
    // Every repository found, the places' own first: what the run's `GitGuard` notes and watches.
    std::vector<GuardedRepository> guarded;
    // The ".git" files the walk found that the places' own repositories do not name: noted by the
    // guard as well.
    std::vector<std::filesystem::path> guardedGitFiles;
    // What the hooks put first on PATH at the work tree of each of `guardedGitFiles` whose Git folder lies
    // outside every place, where no guarded repository holds it, by the ".git" file: noted with it.
    std::map<std::filesystem::path, std::vector<std::filesystem::path>> searchedFirstOfGitFiles;
    // Set while what only the guard takes is still to be found (`sandboxPart`): `guarded` then holds
    // each repository without its linked folders, what its configuration names and what its hooks put
    // first on PATH, and `searchedFirstOfGitFiles` is empty. Copies share it.
    std::shared_ptr<GuardPart> guardPart;
};

// Each repository whose Git folder is a place's own ".git" is protected in the sandbox in the first of
// these forms that fits in what the budget has left:
// 1. name by name: its Git folder's "commondir" (its other names are denied with the place's own), its
//    linked folders as `GitFolders::commandProtectedPaths`, and the ".git" files that Git's own records
//    in it name (a worktree's "gitdir", a submodule's "core.worktree", the paths of ".gitmodules");
// 2. the same with its ".git/worktrees" and ".git/modules" denied whole;
// 3. its whole Git folder, so that Git inside the sandbox fails there (one log line for all of them).
// Every other repository whose Git folder lies below a place (`GitRepositorySearch::gitEntries`) costs the
// sandbox nothing: the guard notes and watches it with the places' own, and so each ".git" file the
// walk found that no place's repository names. Denied as well: the sequencer's state that exists now
// in the Git folder of any repository found or its linked folders (at most `maxSequencerPaths`, with one
// log line past it). What the configuration of every repository and work tree of a ".git" file names
// (`GitConfigPaths::configuredPaths`) is handed to the guard with the repository that names it
// (`GuardedRepository::configured`), and denied only where no repository is guarded; what the hooks
// put first on PATH at each work tree Git would use (`GitFolders::workTreesOf`: the one "core.worktree"
// names, a ".git" file's too), with the repository whose Git folder holds the one its hooks run for
// (`GuardedRepository::searchedFirst`), or with the ".git" file whose Git folder lies outside every place
// (`Protection::searchedFirstOfGitFiles`). A path outside
// every place, which commands cannot write anyway, is left out. Reads the disk and runs `git`, each with
// `GitConfigPaths::gitReadOptions`; where one did not tell what a configuration names, nothing is
// returned, with one log line. Never throws.
Protection commandProtection(
    const std::vector<std::filesystem::path>& places, const GitConfigPaths::Options& options);

// The same in two parts, so that a run can write its settings and start Claude Code with the first
// (all the sandbox denies) while the second, which only the guard takes, is found: the first here,
// never throwing. Its search of each place stops at `GitConfigPaths::Options::searchBudgetPerPlace`.
Protection sandboxPart(
    const std::vector<std::filesystem::path>& places, const GitConfigPaths::Options& options);

// The second: `protection` whole for what the guard takes of it (`guarded`, `guardedGitFiles`,
// `searchedFirstOfGitFiles`), found at the first call for any of its copies and kept as long as one of
// them; `protection` itself where nothing is left to find. The places whose search the first part's
// budget left unfinished are searched to their end first, and what is found there guarded as the rest.
// Throws, with one log line, where Git did not tell what a configuration read for either part names
// (`GitConfigPaths::Named::unread`): the run then stops before its first command. Any thread; throws
// otherwise only for memory.
const Protection& forGuard(const Protection& protection);

}
