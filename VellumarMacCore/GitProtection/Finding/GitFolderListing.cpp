#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::GitFolderListing {

namespace {

    namespace fs = std::filesystem;
    using TimePoint = std::chrono::system_clock::time_point;

    TimePoint timeOf(const timespec& time)
    {
        return TimePoint(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
    }

    // The clock the kernel stamps changes from, so that a change made after this reading is never
    // stamped earlier than it.
    TimePoint coarseNow()
    {
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        return timeOf(now);
    }

    unsigned char typeOf(int folder, const dirent& entry)
    {
        if (entry.d_type != DT_UNKNOWN)
            return entry.d_type;
        struct stat status { };
        if (::fstatat(folder, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return DT_UNKNOWN;
        return S_ISDIR(status.st_mode) ? DT_DIR
            : S_ISREG(status.st_mode)  ? DT_REG
            : S_ISLNK(status.st_mode)  ? DT_LNK
                                       : DT_UNKNOWN;
    }

}

std::string pathIn(const std::string& folder, const std::string& name)
{
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder);
    if (!path.ends_with('/'))
        path.push_back('/');
    return path.append(name);
}

std::optional<Stamp> stampOf(const struct stat& status)
{
    if (!S_ISDIR(status.st_mode))
        return std::nullopt;
    return Stamp { status.st_dev, status.st_ino, status.st_ctim };
}

namespace {

    // The folder opened for listing, its owner's permission given back where `options` says; -1 where
    // it cannot be.
    int openedToList(const std::string& folder, const Options& options)
    {
        const int flags = O_DIRECTORY | O_CLOEXEC | (options.link == Link::refuse ? O_NOFOLLOW : 0);
        int descriptor = ::open(folder.c_str(), O_RDONLY | flags);
        if (descriptor >= 0 || errno != EACCES || !options.permissionBackSince)
            return descriptor;
        FileDescriptor itself(::open(folder.c_str(), O_PATH | flags));
        struct stat status { };
        const timespec& since = *options.permissionBackSince;
        if (itself.get() < 0 || ::fstat(itself.get(), &status) != 0
            || std::pair(status.st_ctim.tv_sec, status.st_ctim.tv_nsec)
                < std::pair(since.tv_sec, since.tv_nsec)
            || !BeneathPlaces::ownerMayAct(itself.get(), folder))
            return -1;
        return ::open(folder.c_str(), O_RDONLY | flags);
    }

}

std::optional<Listing> read(const std::string& folder, const Options& options)
{
    int descriptor = openedToList(folder, options);
    if (descriptor < 0)
        return std::nullopt;
    const TimePoint readStart = coarseNow();
    std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(descriptor), ::closedir);
    if (!stream) {
        ::close(descriptor);
        return std::nullopt;
    }
    Listing listing;
    GitFolderDefinition::Entries entries;
    while (const dirent* entry = ::readdir(stream.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        entries.saw(name);
        unsigned char type = typeOf(descriptor, *entry);
        if (name == ".git")
            listing.dotGitType = type;
        else if (type == DT_DIR)
            listing.subfolders.emplace_back(name);
    }
    std::sort(listing.subfolders.begin(), listing.subfolders.end());
    listing.mayBeGitFolder = entries.mayBeGitFolder();
    if (options.afterReading)
        options.afterReading(folder);
    struct stat status { };
    if (::fstat(descriptor, &status) != 0)
        return std::nullopt;
    listing.stamp = { status.st_dev, status.st_ino, status.st_ctim };
    listing.settled = timeOf(status.st_ctim) < readStart - options.settling;
    return listing;
}

}
