// One folder's entries as the search for repositories needs them, kept for the program's life and read
// again only where the folder changed (its identity, modification and change times, as Git's untracked
// cache tells it), so that each run walks a large tree with one look per folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::GitFolderListing {

// Folders kept at most; past it every folder is read again.
inline constexpr std::size_t maxFolders = 1'000'000;

struct Entry {
    std::string name;
    unsigned char type; // as dirent's d_type; looked up where the file system gives none
};

enum class Link { follow, refuse };

// How long before a read a folder must have last changed for what it holds to be kept: a second change
// within one tick of the file system's clock would leave its times as they were.
inline constexpr std::chrono::seconds settlingTime { 1 };

// The entries of `folder` that are folders, links, or named ".git", "HEAD", "objects" or "refs" (what
// tells a repository); plain files by other names are left out. `Link::refuse` lists nothing when the
// folder is now a link. Empty when it cannot be read. What a folder that changed within `settling` of
// the read holds is read again next time. Any thread; never throws but for memory.
std::vector<Entry> entries(const std::filesystem::path& folder, Link link,
    std::chrono::system_clock::duration settling = settlingTime);

}
