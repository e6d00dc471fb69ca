#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"

#include "VellumarMacCore/Foundations/FileStamp.h"

#include <map>
#include <mutex>
#include <sys/stat.h>

namespace vellumar::GitReadCache {

namespace {

    namespace fs = std::filesystem;
    using TimePoint = std::chrono::system_clock::time_point;

    FileStamp stampOf(const std::string& file)
    {
        struct stat status { };
        if (::stat(file.c_str(), &status) != 0)
            return {};
        return vellumar::stampOf(status);
    }

    struct Entry {
        std::string output;
        // By their paths' bytes: a path's parts, each a path of its own, would cost four times as much
        // over a thousand repositories.
        std::vector<std::pair<std::string, FileStamp>> files;
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
    for (const auto& file : files) {
        FileStamp stamp = stampOf(file.native());
        if (stamp.exists && stamp.changedSince(settled))
            return;
        entry.files.emplace_back(file.native(), stamp);
    }
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    if (shared.entries.size() >= maxEntries && !shared.entries.contains(key))
        shared.entries.clear();
    shared.entries.insert_or_assign(key, std::move(entry));
}

}
