// The stamps of the folders a walk keeps from earlier ones, taken all at once before the walk goes
// through them, on a few threads, each folder looked up by its name in its holder's descriptor (the
// folders of one that holds only folders with none below them, by their two names in its holder's): a
// walk of a large tree whose folders are unchanged spends most of its time in the kernel's look-ups of
// them, and a whole path from the root costs a look-up for each of its names.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"
#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vellumar::FolderStamps {

// A folder the walk starts from, at its path.
struct Top {
    std::string path;
    SearchedFolders::Folder* kept;
    // `Link::follow` where the folder may be a link, as a place may; below it, none is followed.
    GitFolderListing::Link link;
};

// Marks with `walk` (`SearchedFolders::Folder::heldAtWalk`) each folder kept at or below `tops` whose
// stamp is the kept one: the same folder, unchanged since it was listed. One that is no folder now, is a
// link below its top, cannot be looked up, or lies deeper below its top than a walk's threads hold
// descriptors for, stays unmarked, and the walk reads it again. Past `until`, on the steady clock
// (checked before each part of the tree), the rest stays unmarked: a walk out of time stops anyway.
// Marks too which of them are quiet (`isQuiet`). Reads the kept folders and writes their marks only,
// from several threads, so nothing else may touch them meanwhile; returns once every thread is done.
// Never throws but for memory.
void mark(const std::vector<Top>& tops, std::uint64_t walk,
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

// Whether `folder` and every folder below it were marked in `walk`, are trusted and show nothing of Git
// (no ".git", no entries of a Git folder): the walk has nothing to do there. In a developer's folder
// that is nearly all of it, a hundred thousand folders of packages.
bool isQuiet(const SearchedFolders::Folder& folder, std::uint64_t walk);

}
