#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"

#include "VellumarMacCore/Foundations/FileStamp.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/KeptBytes.h"

#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
        // The data folders whose file this program has read.
        std::set<std::string> readFrom;
        // Whether an entry was kept since a file was last read or written.
        bool changed = false;
    };

    Store& store()
    {
        static Store shared;
        return shared;
    }

    // The file: this line, then each entry as its key, its output, how many files it was read from and
    // each file's path and stamp, every text led by its length, in this machine's byte order: the file
    // never leaves it.
    constexpr std::string_view kFileHeader = "git read cache 1\n";
    constexpr std::size_t kFileBytesLimit = 64 * 1024 * 1024;

    std::string encoded(const std::map<std::string, Entry>& entries)
    {
        using namespace KeptBytes;
        std::string bytes(kFileHeader);
        for (const auto& [key, entry] : entries) {
            appendText(bytes, key);
            appendText(bytes, entry.output);
            append(bytes, static_cast<std::uint64_t>(entry.files.size()));
            for (const auto& [file, stamp] : entry.files) {
                appendText(bytes, file);
                appendStamp(bytes, stamp);
            }
        }
        return bytes;
    }

    // The entries `bytes` holds; absent where they are not whole or hold more than `maxEntries`.
    std::optional<std::map<std::string, Entry>> decoded(std::string_view bytes)
    {
        KeptBytes::Reader reader(bytes);
        if (!reader.skipped(kFileHeader))
            return std::nullopt;
        std::map<std::string, Entry> entries;
        while (!reader.atEnd()) {
            std::string key;
            Entry entry;
            std::uint64_t files = 0;
            if (entries.size() == maxEntries || !reader.takeText(key) || !reader.takeText(entry.output)
                || !reader.take(files) || files > bytes.size())
                return std::nullopt;
            for (std::uint64_t index = 0; index < files; ++index) {
                std::string file;
                FileStamp stamp;
                if (!reader.takeText(file) || !reader.takeStamp(stamp))
                    return std::nullopt;
                entry.files.emplace_back(std::move(file), stamp);
            }
            entries.insert_or_assign(std::move(key), std::move(entry));
        }
        return entries;
    }

    fs::path keptFile(const fs::path& dataFolder) { return dataFolder / keptFileName; }

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
    shared.changed = true;
}

void readKept(const fs::path& dataFolder)
{
    Store& shared = store();
    {
        std::lock_guard lock(shared.lock);
        if (!shared.readFrom.insert(dataFolder.native()).second)
            return;
    }
    try {
        auto kept = decoded(readPrivateFile(keptFile(dataFolder), kFileBytesLimit));
        if (!kept)
            return;
        std::lock_guard lock(shared.lock);
        if (shared.entries.size() + kept->size() > maxEntries)
            return;
        // What this program kept since is newer.
        shared.entries.merge(*kept);
    } catch (const std::exception&) {
        // Missing, or out of memory: every file is read again.
    }
}

void writeKept(const fs::path& dataFolder)
{
    try {
        Store& shared = store();
        std::string bytes;
        {
            std::lock_guard lock(shared.lock);
            if (!shared.changed)
                return;
            bytes = encoded(shared.entries);
            shared.changed = false;
        }
        // Lost at a crash, it costs the next start's first run the reads it saved, nothing more.
        writePrivateFile(bytes, keptFile(dataFolder), Durability::untilRestart);
    } catch (const std::exception&) {
        // As lost.
    }
}

void forgetAll()
{
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    shared.entries.clear();
    shared.readFrom.clear();
    shared.changed = false;
}

}
