#include "VellumarMacCore/GitProtection/GitFolderListing.h"

#include "VellumarMacCore/Foundations/FileStamp.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::GitFolderListing {

namespace {

    namespace fs = std::filesystem;

    constexpr std::array<std::string_view, 4> kTellingNames = { ".git", "HEAD", "objects", "refs" };

    struct Listed {
        FileStamp stamp;
        std::vector<Entry> entries;
    };

    struct Store {
        std::mutex lock;
        std::map<fs::path, Listed> folders;
    };

    Store& store()
    {
        static Store shared;
        return shared;
    }

    bool keeps(const std::string_view name, unsigned char type)
    {
        return type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN
            || std::find(kTellingNames.begin(), kTellingNames.end(), name) != kTellingNames.end();
    }

    std::vector<Entry> read(int descriptor)
    {
        std::vector<Entry> entries;
        std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(descriptor), ::closedir);
        if (!stream) {
            ::close(descriptor);
            return entries;
        }
        while (const dirent* entry = ::readdir(stream.get())) {
            std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat status { };
                if (::fstatat(::dirfd(stream.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
                    type = S_ISDIR(status.st_mode) ? DT_DIR
                        : S_ISREG(status.st_mode)  ? DT_REG
                        : S_ISLNK(status.st_mode)  ? DT_LNK
                                                   : DT_UNKNOWN;
            }
            if (keeps(name, type))
                entries.push_back({ std::string(name), type });
        }
        return entries;
    }

}

std::vector<Entry> entries(const fs::path& folder, Link link, std::chrono::system_clock::duration settling)
{
    struct stat status { };
    int looked = link == Link::follow ? ::stat(folder.c_str(), &status) : ::lstat(folder.c_str(), &status);
    if (looked != 0 || !S_ISDIR(status.st_mode))
        return {};
    const FileStamp stamp = stampOf(status);
    Store& shared = store();
    {
        std::lock_guard lock(shared.lock);
        if (auto found = shared.folders.find(folder);
            found != shared.folders.end() && found->second.stamp == stamp)
            return found->second.entries;
    }
    const auto readStart = std::chrono::system_clock::now();
    int descriptor = ::open(
        folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link == Link::refuse ? O_NOFOLLOW : 0));
    if (descriptor < 0)
        return {};
    struct stat opened { };
    bool same = ::fstat(descriptor, &opened) == 0 && opened.st_dev == status.st_dev
        && opened.st_ino == status.st_ino;
    std::vector<Entry> found = read(descriptor);
    const auto settled = readStart - settling;
    if (same && !stamp.changedSince(settled)) {
        std::lock_guard lock(shared.lock);
        if (shared.folders.size() >= maxFolders)
            shared.folders.clear();
        shared.folders.insert_or_assign(folder, Listed { stamp, found });
    }
    return found;
}

}
