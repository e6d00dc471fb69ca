// The search for the Git repositories that each writable place holds: what the run's protection covers.
// Budgeted in time per place and kept in a record across runs, so that no tree, however large, leaves a
// repository in it unguarded for good: each run goes on from where the last one stopped.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace vellumar::GitRepositorySearch {

// How long one run's walk may take in each place before it leaves the rest to the next run.
inline constexpr std::chrono::milliseconds budgetPerPlace { 2000 };
// A budget that walks each place whole, from its top, whatever an earlier run left: for the run's end,
// where no Git folder may go unjudged, and the guard's start, where none may go unguarded.
inline constexpr std::chrono::steady_clock::duration unbudgeted = std::chrono::steady_clock::duration::max();

// How far a whole walk lists what commands may have made: past `until`, on the steady clock, a folder
// below a place that no earlier walk listed is listed only where `madeByCommands` (given it as the
// kernel resolves it) says no command made it, so that however many folders commands made, the walk lists
// no more than the folders they made theirs in. One it lists not is handed back (`GitEntries::unlisted`),
// nothing below it walked.
struct ListingBound {
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max();
    std::function<bool(const std::filesystem::path& folder)> madeByCommands = nullptr;

    // Whether `folder`, as the kernel resolves it, come to now, goes unlisted.
    bool leavesUnlisted(const std::filesystem::path& folder) const
    {
        return madeByCommands && std::chrono::steady_clock::now() >= until && madeByCommands(folder);
    }
};

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
    // On a whole walk (`unbudgeted`) alone: every Git folder it met in the places, as the kernel
    // resolves it, each once: a ".git" folder, the Git folder a ".git" link or file names in a place,
    // and any other folder that is a Git folder (`GitFolderDefinition`), also inside another one. Not what
    // Git keeps inside a ".git" folder, which the walk does not enter (`GitFoldersInPlaces` adds those).
    std::vector<std::filesystem::path> gitFolders;
    // The places whose walk stopped at its budget with folders left, in their order: what a walk without
    // one (`unbudgeted`) would find there and this one did not is not known.
    std::vector<std::filesystem::path> unfinished;
    // Each folder, as the kernel resolves it, that the walk came to past its `ListingBound` and did not
    // list: what lies below it is not known.
    std::vector<std::filesystem::path> unlisted;
};

struct Options {
    // The program's data folder, where the record of each place is kept (`GitFolderRecord`); empty for
    // none, and then every walk starts afresh.
    std::filesystem::path dataFolder;
    std::chrono::steady_clock::duration budgetPerPlace = GitRepositorySearch::budgetPerPlace;
    std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
    // How long before its listing a folder must have last changed for the listing to be kept for the
    // next run (`GitFolderListing::settlingTime`).
    std::chrono::system_clock::duration settling = GitFolderListing::settlingTime;
    // A folder its owner cannot list, changed at this time or later, gets the permission back and is
    // listed (`GitFolderListing::Options::permissionBackSince`).
    std::optional<timespec> permissionBackSince;
    // For tests: runs after each folder's entries are read, before its stamp is taken.
    std::function<void(const std::filesystem::path& folder)> afterListing;
    ListingBound listingBound;
    // Out of memory, the search finds nothing, which a run's start can go on with; a sweep that judges
    // what it finds cannot: for it the failure is thrown.
    enum class OutOfMemory { findsNothing, thrown };
    OutOfMemory outOfMemory = OutOfMemory::findsNothing;
};

// The repositories and ".git" files below each of `places`, the places' own included. The Git folders
// that earlier runs found in a place come first, dropped once they are no Git folder. Then a walk,
// breadth first, following no link and entering no ".git" folder nor the "objects" and "refs" of any
// Git folder, finds: ".git" folders; any other Git folder (`GitFolderDefinition`), a repository of its
// own where it lies in no other Git folder (a bare repository's, one a "commondir" completes);
// ".git" files naming a Git folder, and that folder as a repository when it lies in the place and in no
// other Git folder (a separate Git folder; a worktree's or a submodule's lies in its repository's). The
// walk goes on from the folders the last run left, or from the place when it had finished; past the
// place's time budget, after one folder at least, it stops, with one log line at each run while it is
// unfinished. The record then holds every repository found so far and the folders left. What each folder
// held is kept for the next runs, in memory and in the data folder for the program's next start, and read
// again only where it changed (`SearchedFolders`);
// every ".git", bare repository and recorded repository is judged anew. Two runs searching the same
// place at once take turns. Reads the disk; never fails but as `Options::outOfMemory` says.
GitEntries gitEntries(const std::vector<std::filesystem::path>& places, const Options& options = {});

}
