#include "VellumarMacCore/GitProtection/PuttingBack/KeptMovedAside.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <algorithm>
#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::KeptMovedAside {

namespace {

    namespace fs = std::filesystem;

    std::optional<std::string> linkTarget(int folderFD, const std::string& name)
    {
        std::array<char, 4096> target {};
        ssize_t length = ::readlinkat(folderFD, name.c_str(), target.data(), target.size());
        return length < 0 ? std::nullopt
                          : std::optional(std::string(target.data(), static_cast<std::size_t>(length)));
    }

    // Whether the two names hold files of the same bytes, or links to the same target. A file past the
    // copy limit is never taken for the same: what goes aside may be a file of any size, and it is kept
    // rather than read whole.
    bool holdTheSame(int folderFD, const std::string& one, const std::string& other)
    {
        struct stat first { };
        struct stat second { };
        if (::fstatat(folderFD, one.c_str(), &first, AT_SYMLINK_NOFOLLOW) != 0
            || ::fstatat(folderFD, other.c_str(), &second, AT_SYMLINK_NOFOLLOW) != 0
            || (first.st_mode & S_IFMT) != (second.st_mode & S_IFMT) || first.st_size != second.st_size)
            return false;
        if (S_ISLNK(first.st_mode)) {
            auto target = linkTarget(folderFD, one);
            return target && target == linkTarget(folderFD, other);
        }
        auto read = [&](const std::string& name) {
            return BoundedFile::whole(
                folderFD, name, GitNotedFiles::maxCopiedBytes, BoundedFile::Links::refused);
        };
        const BoundedFile::Read reads[] = { read(one), read(other) };
        return reads[0].outcome == BoundedFile::Read::Outcome::whole
            && reads[1].outcome == BoundedFile::Read::Outcome::whole && reads[0].bytes == reads[1].bytes;
    }

    // The names in the open folder moved aside from `original`, but `except`.
    std::vector<std::string> siblings(int folderFD, const std::string& original, const std::string& except)
    {
        std::vector<std::string> names;
        FileDescriptor listed(::openat(folderFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DIR* entries = listed.get() < 0 ? nullptr : ::fdopendir(listed.get());
        if (!entries)
            return names;
        listed.release();
        while (const dirent* entry = ::readdir(entries)) {
            if (entry->d_name != except
                && movedAsideFrom(entry->d_name, MovedAsideByGuard::refusedLabel) == original)
                names.emplace_back(entry->d_name);
        }
        ::closedir(entries);
        return names;
    }

    bool isStill(int folderFD, const std::string& name, const struct stat& was)
    {
        struct stat status { };
        return ::fstatat(folderFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && !S_ISDIR(status.st_mode) && status.st_dev == was.st_dev && status.st_ino == was.st_ino
            && status.st_ctim.tv_sec == was.st_ctim.tv_sec && status.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
    }

}

std::vector<std::string> removeSameBytes(int folderFD, const std::string& moved)
{
    std::vector<std::string> removed;
    auto original = movedAsideFrom(moved, MovedAsideByGuard::refusedLabel);
    // A folder keeps none, and the folder it lies in is not listed for it: a run that moves thousands of
    // folders aside in one would list it again for each.
    struct stat status { };
    if (!original || ::fstatat(folderFD, moved.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0
        || S_ISDIR(status.st_mode))
        return removed;
    for (auto& sibling : siblings(folderFD, *original, moved)) {
        if (holdTheSame(folderFD, moved, sibling) && ::unlinkat(folderFD, sibling.c_str(), 0) == 0)
            removed.push_back(std::move(sibling));
    }
    return removed;
}

std::vector<std::string> InRun::boundFlood(int folderFD, const fs::path& changed, const std::string& moved)
{
    std::vector<std::string> removed;
    struct stat status { };
    if (::fstatat(folderFD, moved.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(status.st_mode))
        return removed;
    std::vector<Made>& made = m_made[changed];
    // What is gone from its name already, removed for its bytes or by anyone, no longer counts.
    std::erase_if(made, [&](const Made& file) { return !isStill(folderFD, file.name, file.status); });
    made.push_back({ moved, status });
    while (made.size() > 1 + keptNewest) {
        // The first stays: what the run found first is likeliest to be a change of the user's own.
        if (::unlinkat(folderFD, made[1].name.c_str(), 0) == 0)
            removed.push_back(made[1].name);
        made.erase(made.begin() + 1);
    }
    return removed;
}

}
