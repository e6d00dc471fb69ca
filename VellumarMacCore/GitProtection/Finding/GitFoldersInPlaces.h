// Every Git folder in the run's writable places, however Git reaches it: a work tree's ".git" folder or
// the Git folder its ".git" file or link names, a bare repository, a separate Git folder, and every
// linked worktree's and submodule's Git folder inside any of them at any depth. What the guard's sweep
// at the run's end goes through, so that a Git folder no run noted is judged wherever it came from.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::GitFoldersInPlaces {

struct Found {
    std::filesystem::path gitFolder; // as the kernel resolves it
    // Its identity as the guard notes a folder's (`FileIdentity`), which stays with it when it or a
    // folder above it is renamed.
    std::string identity;
    // The ".git" files in the places that send Git to it (a separate Git folder's, a submodule's, a
    // linked worktree's), as the walk met them: their folders are its work trees, unless its
    // configuration names another.
    std::vector<std::filesystem::path> gitFiles = {};
    // It lies outside every place, where a ".git" file in one sends Git: no command could change it,
    // but its hooks still run in a work tree a command could write in.
    bool liesOutside = false;
};

struct InPlaces {
    std::vector<Found> gitFolders;
    // The folders the walk came to past its bound and did not list (`GitRepositorySearch::ListingBound`),
    // as the kernel resolves them: whatever lies below them is not among `gitFolders`.
    std::vector<std::filesystem::path> unlisted;
};

// Every Git folder in `places`, each once by identity: the search's whole walk
// (`GitRepositorySearch::gitEntries` with `GitRepositorySearch::unbudgeted`, which keeps each folder's
// listing from earlier runs), each with the ".git" files the walk met that send Git to it (and each
// Git folder outside the places that one of them sends Git to, marked so), and below each Git folder
// found, every Git folder in "worktrees/" and
// below "modules/" (a name with slashes is a folder per level), with theirs in turn, and the folder
// each one's "commondir" names, links followed where they lead into a place. No count bounds it: a
// larger tree takes longer. A folder its owner cannot list whose status changed since `runBegan` gets
// the owner's permission back and is listed. Past `bound`, a folder commands may have made is handed
// back unlisted, below a place and inside a Git folder alike. Reads the disk; throws only for memory, since a
// list cut short would pass over what lies in the rest.
InPlaces found(const std::vector<std::filesystem::path>& places, const std::filesystem::path& dataFolder,
    const timespec& runBegan, const GitRepositorySearch::ListingBound& bound = {});
// Called as each `found` begins, where set: for a test, to run out of memory there.
extern void (*listingSeam)();

// The linked worktrees' and submodules' Git folders inside `gitFolder`, as `found` adds them, at any
// depth, as the kernel resolves them; those whose way leads out of every one of `places` are left out.
std::vector<std::filesystem::path> linkedGitFolders(
    const std::filesystem::path& gitFolder, const std::vector<std::filesystem::path>& places);

}
