#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"

#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/FileStamp.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/KeptBytes.h"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
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

    // An entry as kept: its key, the output and the stamp of each file it was read from by the file's
    // path.
    struct Entry {
        std::string key;
        std::string output;
        std::vector<std::pair<std::string, FileStamp>> files;
    };

    struct Store {
        std::mutex lock;
        KeptBytes::Records entries;
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

    // The file: this line, then each entry's bytes: its key, its output, how many files it was read from
    // and each file's path and stamp, every text led by its length.
    // Version 3 has the layout of version 2 and keys that hold their shared parts as digests
    // (`sharedKeyPart`): none of what version 2 kept would be found again.
    constexpr std::string_view kFileHeader = "git read cache 3\n";
    constexpr std::size_t kFileBytesLimit = 64 * 1024 * 1024;

    std::string encoded(const Entry& entry)
    {
        using namespace KeptBytes;
        std::string bytes;
        appendText(bytes, entry.key);
        appendText(bytes, entry.output);
        append(bytes, static_cast<std::uint64_t>(entry.files.size()));
        for (const auto& [file, stamp] : entry.files) {
            appendText(bytes, file);
            appendStamp(bytes, stamp);
        }
        // Held for the program's life, without the room that appending left.
        bytes.shrink_to_fit();
        return bytes;
    }

    // The next entry's bytes, read back; false where they are not whole.
    bool took(KeptBytes::Reader& reader, Entry& entry)
    {
        std::uint64_t files = 0;
        if (!reader.takeText(entry.key) || !reader.takeText(entry.output) || !reader.takeCount(files))
            return false;
        for (std::uint64_t index = 0; index < files; ++index) {
            auto& [file, stamp] = entry.files.emplace_back();
            if (!reader.takeText(file) || !reader.takeStamp(stamp))
                return false;
        }
        return true;
    }

    // The entries `bytes` holds; absent where they are not whole or hold more than `maxEntries`.
    std::optional<KeptBytes::Records> decoded(std::string_view bytes)
    {
        KeptBytes::Reader reader(bytes);
        if (!reader.skipped(kFileHeader))
            return std::nullopt;
        KeptBytes::Records entries;
        while (!reader.atEnd()) {
            const KeptBytes::Reader before = reader;
            Entry entry;
            if (entries.size() == maxEntries || !took(reader, entry))
                return std::nullopt;
            entries.insert_or_assign(
                std::move(entry.key), std::make_shared<const std::string>(reader.takenSince(before)));
        }
        return entries;
    }

    fs::path keptFile(const fs::path& dataFolder) { return dataFolder / keptFileName; }

}

std::string sharedKeyPart(std::string_view text)
{
    const platform::SHA256Digest digest = platform::sha256(text);
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::optional<std::string> cached(const std::string& key)
{
    std::shared_ptr<const std::string> bytes;
    {
        Store& shared = store();
        std::lock_guard lock(shared.lock);
        auto found = shared.entries.find(key);
        if (found == shared.entries.end())
            return std::nullopt;
        bytes = found->second;
    }
    KeptBytes::Reader reader(*bytes);
    Entry entry;
    if (!took(reader, entry))
        return std::nullopt;
    for (const auto& [file, stamp] : entry.files) {
        if (!(stampOf(file) == stamp))
            return std::nullopt;
    }
    return std::move(entry.output);
}

void keep(const std::string& key, std::string output, std::vector<fs::path> files, TimePoint readStart)
{
    Entry entry { key, std::move(output), {} };
    const TimePoint settled = readStart - std::chrono::seconds(1);
    for (const auto& file : files) {
        FileStamp stamp = stampOf(file.native());
        if (stamp.exists && stamp.changedSince(settled))
            return;
        entry.files.emplace_back(file.native(), stamp);
    }
    auto bytes = std::make_shared<const std::string>(encoded(entry));
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    if (shared.entries.size() >= maxEntries && !shared.entries.contains(key))
        shared.entries.clear();
    shared.entries.insert_or_assign(key, std::move(bytes));
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
        std::vector<std::shared_ptr<const std::string>> entries;
        {
            std::lock_guard lock(shared.lock);
            if (!shared.changed)
                return;
            entries = KeptBytes::recordsOf(shared.entries);
            shared.changed = false;
        }
        KeptBytes::write(kFileHeader, entries, keptFile(dataFolder));
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
