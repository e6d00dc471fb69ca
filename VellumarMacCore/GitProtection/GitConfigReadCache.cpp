#include "VellumarMacCore/GitProtection/GitConfigReadCache.h"

#include <map>
#include <mutex>
#include <sys/stat.h>

namespace vellumar::GitConfigReadCache {

namespace {

    namespace fs = std::filesystem;
    using TimePoint = std::chrono::system_clock::time_point;

    // What tells a file apart from any later state of it, as Git's index and untracked cache tell it.
    struct Stamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        mode_t mode = 0;
        off_t size = 0;
        timespec modified {};
        timespec changed {};

        friend bool operator==(const Stamp& a, const Stamp& b)
        {
            auto same = [](const timespec& x, const timespec& y) {
                return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
            };
            return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.mode == b.mode
                && a.size == b.size && same(a.modified, b.modified) && same(a.changed, b.changed);
        }
    };

    Stamp stampOf(const fs::path& file)
    {
        struct stat status { };
        if (::stat(file.c_str(), &status) != 0)
            return {};
        return { true, status.st_dev, status.st_ino, status.st_mode, status.st_size, status.st_mtim,
            status.st_ctim };
    }

    TimePoint timeOf(const timespec& time)
    {
        return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
            std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
    }

    struct Entry {
        std::string output;
        std::vector<std::pair<fs::path, Stamp>> files;
    };

    struct Store {
        std::mutex lock;
        std::map<std::string, Entry> entries;
    };

    Store& store()
    {
        static Store shared;
        return shared;
    }

}

std::optional<std::string> cached(const std::string& key)
{
    Entry entry;
    {
        Store& shared = store();
        std::lock_guard lock(shared.lock);
        auto found = shared.entries.find(key);
        if (found == shared.entries.end())
            return std::nullopt;
        entry = found->second;
    }
    for (const auto& [file, stamp] : entry.files) {
        if (!(stampOf(file) == stamp))
            return std::nullopt;
    }
    return std::move(entry.output);
}

void keep(const std::string& key, std::string output, std::vector<fs::path> files, TimePoint readStart)
{
    Entry entry { std::move(output), {} };
    const TimePoint settled = readStart - std::chrono::seconds(1);
    for (auto& file : files) {
        Stamp stamp = stampOf(file);
        if (stamp.exists && (timeOf(stamp.modified) >= settled || timeOf(stamp.changed) >= settled))
            return;
        entry.files.emplace_back(std::move(file), stamp);
    }
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    if (shared.entries.size() >= maxEntries && !shared.entries.contains(key))
        shared.entries.clear();
    shared.entries.insert_or_assign(key, std::move(entry));
}

}
