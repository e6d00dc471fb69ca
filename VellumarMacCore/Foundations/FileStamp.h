// What tells one state of a file from any later one, as Git's index and untracked cache tell it: which
// file it is, its type and permissions, its size and its times. For what is kept while the program runs
// and read again only where a file changed.
#pragma once

#include <sys/stat.h>

#include <chrono>

namespace vellumar {

struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};

    friend bool operator==(const FileStamp& a, const FileStamp& b)
    {
        auto same = [](const timespec& x, const timespec& y) {
            return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
        };
        return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.mode == b.mode
            && a.size == b.size && same(a.modified, b.modified) && same(a.changed, b.changed);
    }

    // Whether either time is `settled` or later: a write within the same tick of the file system's clock
    // as the look would leave the times as they were, so such a state cannot be trusted yet.
    bool changedSince(std::chrono::system_clock::time_point settled) const
    {
        auto timeOf = [](const timespec& time) {
            return std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
        };
        return timeOf(modified) >= settled || timeOf(changed) >= settled;
    }
};

inline FileStamp stampOf(const struct stat& status)
{
    return { true, status.st_dev, status.st_ino, status.st_mode, status.st_size, status.st_mtim,
        status.st_ctim };
}

}
