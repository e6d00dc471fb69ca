#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/ParallelEach.h"

#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace vellumar::FolderStamps {

namespace {

    using Folder = SearchedFolders::Folder;
    using GitFolderListing::Link;

    // Parts of the tree the threads claim one at a time: enough that none is left with the largest few
    // (a node_modules of thousands of folders beside a repository of ten).
    constexpr std::size_t kParts = 256;
    // Descriptors a thread holds at once going down a part, one for each level: folders deeper than
    // this stay unmarked rather than take descriptors the program's other work needs.
    constexpr unsigned kDeepestHeld = 32;

    void markIfHeld(Folder& folder, const struct stat& status, std::uint64_t walk)
    {
        auto stamp = GitFolderListing::stampOf(status);
        if (stamp && *stamp == folder.stamp)
            folder.heldAtWalk = walk;
    }

    bool showsNothingOfGit(const Folder& folder)
    {
        return folder.trusted && folder.dotGitType == DT_UNKNOWN && !folder.mayBeGitFolder;
    }

    // Once its subfolders are marked; whether `folder` is quiet.
    bool markQuiet(Folder& folder, bool subfoldersQuiet, std::uint64_t walk)
    {
        folder.quietBelow = subfoldersQuiet;
        return isQuiet(folder, walk);
    }

    bool allQuiet(const Folder& folder, std::uint64_t walk)
    {
        return std::all_of(folder.subfolders.begin(), folder.subfolders.end(),
            [walk](const auto& subfolder) { return isQuiet(*subfolder, walk); });
    }

    struct Part {
        std::string path;
        Folder* folder;
        Link link;
        // Whether the folders below it are marked with it, or are parts of their own.
        bool withBelow = true;
    };

    bool holdsOnlyLeaves(const Folder& folder)
    {
        return std::all_of(folder.subfolders.begin(), folder.subfolders.end(),
            [](const auto& subfolder) { return subfolder->subfolders.empty(); });
    }

    // `folder`, whose subfolders hold none of their own, and its subfolders, each looked up from `holder`
    // by its path: one name more to look up for each costs less than opening the folder and closing it
    // again, and most folders of a node_modules that hold any hold only such. Below one that is no folder
    // now (a link, say), none is marked, as below one that cannot be opened.
    bool markHolderOfLeaves(int holder, const char* name, Folder& folder, Link link, std::uint64_t walk)
    {
        struct stat status { };
        if (::fstatat(holder, name, &status, link == Link::refuse ? AT_SYMLINK_NOFOLLOW : 0) != 0
            || !S_ISDIR(status.st_mode))
            return false;
        markIfHeld(folder, status, walk);
        std::string path = std::string(name) + '/';
        const std::size_t named = path.size();
        bool subfoldersQuiet = true;
        for (const auto& subfolder : folder.subfolders) {
            path.resize(named);
            path.append(subfolder->name);
            if (::fstatat(holder, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
                markIfHeld(*subfolder, status, walk);
            subfoldersQuiet &= markQuiet(*subfolder, true, walk);
        }
        return markQuiet(folder, subfoldersQuiet, walk);
    }

    // `folder`, named `name` in the folder that `holder` (or `AT_FDCWD`) is a descriptor of, and below
    // it unless `withBelow` says otherwise: one look-up of one name each, rather than of a whole path.
    // Whether it is quiet; never where the folders below it are left to others.
    bool markFrom(int holder, const char* name, Folder& folder, Link link, bool withBelow, unsigned depth,
        std::uint64_t walk)
    {
        struct stat status { };
        if (!withBelow || folder.subfolders.empty() || depth == kDeepestHeld) {
            if (::fstatat(holder, name, &status, link == Link::refuse ? AT_SYMLINK_NOFOLLOW : 0) == 0)
                markIfHeld(folder, status, walk);
            return markQuiet(folder, withBelow && folder.subfolders.empty(), walk);
        }
        if (holdsOnlyLeaves(folder))
            return markHolderOfLeaves(holder, name, folder, link, walk);
        // O_PATH reads nothing and needs no permission on the folder itself, as a stamp does not.
        FileDescriptor itself(
            ::openat(holder, name, O_PATH | O_CLOEXEC | (link == Link::refuse ? O_NOFOLLOW : 0)));
        if (itself.get() < 0 || ::fstat(itself.get(), &status) != 0 || !S_ISDIR(status.st_mode))
            return false;
        markIfHeld(folder, status, walk);
        bool subfoldersQuiet = true;
        for (const auto& subfolder : folder.subfolders)
            subfoldersQuiet &= markFrom(
                itself.get(), subfolder->name.c_str(), *subfolder, Link::refuse, true, depth + 1, walk);
        return markQuiet(folder, subfoldersQuiet, walk);
    }

    // The tops and, while a level holds too few to share among the threads, the level below as parts of
    // their own, the folders above them marked alone.
    std::vector<Part> partsOf(const std::vector<Top>& tops)
    {
        std::vector<Part> parts;
        std::vector<Part> level;
        for (const auto& top : tops)
            level.push_back({ top.path, top.kept, top.link });
        while (true) {
            std::size_t below = 0;
            for (const auto& part : level)
                below += part.folder->subfolders.size();
            if (level.size() >= kParts || below == 0)
                break;
            std::vector<Part> next;
            next.reserve(below);
            for (auto& part : level) {
                for (const auto& subfolder : part.folder->subfolders)
                    next.push_back({ GitFolderListing::pathIn(part.path, subfolder->name), subfolder.get(),
                        Link::refuse });
                part.withBelow = false;
                parts.push_back(std::move(part));
            }
            level = std::move(next);
        }
        std::move(level.begin(), level.end(), std::back_inserter(parts));
        return parts;
    }

}

void mark(const std::vector<Top>& tops, std::uint64_t walk, std::chrono::steady_clock::time_point until)
{
    const std::vector<Part> parts = partsOf(tops);
    parallelEach(parts.size(),
        [&](std::size_t index) {
            if (std::chrono::steady_clock::now() >= until)
                return;
            const Part& part = parts[index];
            markFrom(AT_FDCWD, part.path.c_str(), *part.folder, part.link, part.withBelow, 0, walk);
        },
        { .claimedAtOnce = 1 });
    // The folders marked alone, each after the parts below it, which come later.
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (!part->withBelow)
            markQuiet(*part->folder, allQuiet(*part->folder, walk), walk);
    }
}

bool isQuiet(const SearchedFolders::Folder& folder, std::uint64_t walk)
{
    return folder.heldAtWalk == walk && folder.quietBelow && showsNothingOfGit(folder);
}

}
