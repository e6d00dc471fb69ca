// What the search for repositories listed in each folder of a place, kept in memory for the program's
// life and in a file across its starts, so that the next run lists again only the folders whose stamp
// moved, as Git's untracked cache does. It stands in for listing a folder, never for judging what is in
// it: a folder changed while the program was down has another stamp and is listed again. Each folder
// keeps its name, not its path.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

class SearchedFolders {
public:
    // Folders kept in all places at most; past it, the places not being walked are forgotten.
    static constexpr std::size_t maxFolders = 1'000'000;

    struct Folder {
        std::string name;
        GitFolderListing::Stamp stamp;
        // Listed, with a settled stamp: what follows holds while the stamp does.
        bool trusted = false;
        unsigned char dotGitType = DT_UNKNOWN;
        bool mayBeGitFolder = false;
        // Whether, in the walk `heldAtWalk` names, every folder below it was found quiet too
        // (`FolderStamps::isQuiet`).
        bool quietBelow = false;
        // The walk (`walk()`) in which its stamp was last found unchanged (`FolderStamps`); 0 for none.
        std::uint64_t heldAtWalk = 0;
        // Sorted by name; each owned, so that adding one keeps the others where they are.
        std::vector<std::unique_ptr<Folder>> subfolders;
    };

    // The folders kept for `place`, for this walk alone: another run's walk of the same place waits
    // until it is gone. Where the program keeps none yet, what `keptFile` holds (`keep`), unless it is
    // not whole or is for another place; none for an empty path. Any thread.
    explicit SearchedFolders(const std::filesystem::path& place, const std::filesystem::path& keptFile = {});
    ~SearchedFolders();
    SearchedFolders(const SearchedFolders&) = delete;
    SearchedFolders& operator=(const SearchedFolders&) = delete;

    Folder& place();
    // The folder at `relative` to the place, added unlisted where missing.
    Folder& at(const std::filesystem::path& relative);
    // The folder kept at `relative` (lexically normal) to `from`; none where it is not kept.
    static const Folder* find(const Folder& from, const std::filesystem::path& relative);

    // This walk's number, new to each walk of the place, which `FolderStamps` marks the folders with
    // whose stamps still hold.
    std::uint64_t walk() const { return m_walk; }

    // Brings `folder`, found at `path`, up to date: kept while its stamp is trusted and was found the
    // same in this walk, else read again, each subfolder still there keeping what is known of it and the
    // others dropped. False, and nothing below it kept, when it is no folder now or cannot be read.
    bool refresh(Folder& folder, const std::string& path, const GitFolderListing::Options& options);

    // Writes what is kept of the place to the file given when it was first kept in this program, where
    // a folder came or went, or what a listing found of Git there changed, since it was read or last
    // written there (stamps alone are not written); nothing for an empty path. A failure only
    // costs the next start's walk the listing of every folder.
    void keep();

    // Drops what the program keeps of every place, as a program start finds it, for tests; a walk under
    // way keeps its place's until it ends. Any thread.
    static void forgetAll();

    // One place's folders, shared by the program's store and the walk that holds them.
    struct Tree;

private:
    std::shared_ptr<Tree> m_tree;
    std::unique_lock<std::mutex> m_walking;
    std::uint64_t m_walk = 0;
};

}
