#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardStampedUnits.h"

#include "VellumarMacCore/Foundations/FileStamp.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/Finding/KeptBytes.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardKeptUnits.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace vellumar::GitGuardStampedUnits {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;

    // How far the wall clock may seem set back against the clock since boot before nothing kept is
    // trusted: less than the second a stamp must lie before its noting, so that no write after the
    // noting can come to bear a time that a stamp kept holds. Within it lie a slewing clock's drift over
    // hours and the few microseconds the two clocks are read apart.
    constexpr std::chrono::nanoseconds kClockSetBackTolerance = std::chrono::milliseconds(500);

    // The wall clock minus the clock since boot: the same within one boot until someone sets the former.
    std::int64_t clockOffset(const LiveRunsHeartbeat::Beat& beat)
    {
        return (beat.wallTime - beat.bootTime).count();
    }

    bool setBackSince(std::int64_t thenOffset, const LiveRunsHeartbeat::Beat& now)
    {
        return thenOffset - clockOffset(now) > kClockSetBackTolerance.count();
    }

    // A unit as kept: what `Stamped::kept` holds, read back.
    struct Entry {
        std::string key;
        // Encoded, as the registry of live runs holds it (`GitNotedFiles::encoded`).
        std::string payload;
        std::vector<fs::path> named;
        // The search path for the user's programs it was noted with, where it notes a folder its hooks put
        // first on PATH: which entries there were noted depends on it.
        std::optional<std::string> searchPath;
        std::int64_t clockOffset = 0;
        // Of each of its files in the order the payload holds them (`stampsOf`).
        std::vector<FileStamp> stamps;
    };

    // A unit's bytes in the kept file: its key, its payload, what it was noted for, its search path
    // where it has one, the clock's offset when it was noted and each file's stamp, every text led by its
    // length (`KeptBytes`).
    std::string encoded(const Entry& entry)
    {
        using namespace KeptBytes;
        std::string bytes;
        appendText(bytes, entry.key);
        appendText(bytes, entry.payload);
        append(bytes, static_cast<std::uint64_t>(entry.named.size()));
        for (const auto& path : entry.named)
            appendText(bytes, path.native());
        append(bytes, static_cast<std::uint8_t>(entry.searchPath.has_value()));
        appendText(bytes, entry.searchPath.value_or(""));
        append(bytes, entry.clockOffset);
        append(bytes, static_cast<std::uint64_t>(entry.stamps.size()));
        for (const auto& stamp : entry.stamps)
            appendStamp(bytes, stamp);
        // Held for the program's life, without the room that appending left.
        bytes.shrink_to_fit();
        return bytes;
    }

    // The next unit's bytes, read back; false where they are not whole.
    bool took(KeptBytes::Reader& reader, Entry& entry)
    {
        std::uint64_t named = 0;
        std::uint8_t hasSearchPath = 0;
        std::string searchPath;
        std::uint64_t stamps = 0;
        if (!reader.takeText(entry.key) || !reader.takeText(entry.payload) || !reader.takeCount(named))
            return false;
        for (std::uint64_t path = 0; path < named; ++path) {
            std::string text;
            if (!reader.takeText(text))
                return false;
            entry.named.emplace_back(std::move(text));
        }
        if (!reader.take(hasSearchPath) || !reader.takeText(searchPath) || !reader.take(entry.clockOffset)
            || !reader.takeCount(stamps))
            return false;
        if (hasSearchPath == 1)
            entry.searchPath = std::move(searchPath);
        for (std::uint64_t index = 0; index < stamps; ++index) {
            if (!reader.takeStamp(entry.stamps.emplace_back()))
                return false;
        }
        return true;
    }

    struct Kept {
        bool read = false;
        // Whether a unit was kept or dropped since the file was read or written.
        bool changed = false;
        std::string bootID;
        KeptBytes::Records units;
    };

    struct Store {
        std::mutex lock;
        // By the registry of live runs, the data folder.
        std::map<std::string, Kept> byRegistry;
    };

    Store& store()
    {
        static Store shared;
        return shared;
    }

    // The stamp of each of the unit's files, in its order, reached beneath `places` through no link; of
    // its Git folder the identity and type alone, since everyday Git work there moves its times and each
    // name in it that the unit notes has a stamp of its own. Absent where one cannot be read.
    std::optional<std::vector<FileStamp>> stampsOf(const NotedUnit& unit, const BeneathPlaces& places)
    {
        struct Folder {
            FileDescriptor descriptor;
            bool throughLink = false;
        };
        std::map<fs::path, Folder> folders;
        std::vector<FileStamp> stamps;
        stamps.reserve(unit.files.size());
        for (const auto& [path, noted] : unit.files) {
            auto folder = folders.find(path.parent_path());
            if (folder == folders.end()) {
                auto reached = places.reach(path);
                if (!reached)
                    return std::nullopt;
                folder = folders
                             .emplace(path.parent_path(),
                                 Folder { std::move(reached->folder), reached->throughLink })
                             .first;
            }
            if (folder->second.throughLink)
                return std::nullopt;
            FileStamp& stamp = stamps.emplace_back();
            // A folder missing on the way holds nothing, as noting it found.
            if (folder->second.descriptor.get() >= 0) {
                struct stat status { };
                if (::fstatat(folder->second.descriptor.get(), path.filename().c_str(), &status,
                        AT_SYMLINK_NOFOLLOW)
                    == 0)
                    stamp = stampOf(status);
                else if (errno != ENOENT)
                    return std::nullopt;
            }
            if (path == unit.gitFolder) {
                stamp.size = 0;
                stamp.modified = stamp.changed = {};
            }
        }
        return stamps;
    }

    // The file: this line, the boot it was written in, how many units it holds, then each unit's bytes
    // (`encoded`).
    constexpr std::string_view kFileHeader = "git guard stamped units 2\n";
    constexpr std::size_t kFileBytesLimit = 256 * 1024 * 1024;

    // The units `bytes` holds, written in the boot `bootID`; absent where they are not whole, hold more
    // than `maxUnits` or are of another boot, whose clock tells nothing of this one's.
    std::optional<KeptBytes::Records> decoded(std::string_view bytes, const std::string& bootID)
    {
        KeptBytes::Reader reader(bytes);
        std::string writtenIn;
        std::uint64_t count = 0;
        if (!reader.skipped(kFileHeader) || !reader.takeText(writtenIn) || writtenIn != bootID
            || !reader.takeCount(count) || count > maxUnits)
            return std::nullopt;
        KeptBytes::Records units;
        for (std::uint64_t index = 0; index < count; ++index) {
            const KeptBytes::Reader before = reader;
            Entry entry;
            if (!took(reader, entry))
                return std::nullopt;
            units.insert_or_assign(
                std::move(entry.key), std::make_shared<const std::string>(reader.takenSince(before)));
        }
        if (!reader.atEnd())
            return std::nullopt;
        return units;
    }

    fs::path keptFile(const fs::path& liveRuns) { return liveRuns / keptFileName; }

    // What is kept for `liveRuns`, read from its file the first time. Called with the store's lock held.
    Kept& keptFor(Store& shared, const fs::path& liveRuns, const std::string& bootID)
    {
        Kept& kept = shared.byRegistry[liveRuns.native()];
        if (kept.read)
            return kept;
        kept.read = true;
        kept.bootID = bootID;
        try {
            auto units = decoded(readPrivateFile(keptFile(liveRuns), kFileBytesLimit), bootID);
            if (units && kept.units.size() + units->size() <= maxUnits)
                kept.units.merge(*units);
        } catch (const std::exception&) {
            // Missing, unreadable or out of memory: every unit is noted again.
        }
        return kept;
    }

}

Stamped stamped(const NotedUnit& unit, const std::vector<fs::path>& named, const BeneathPlaces& places,
    const LiveRunsHeartbeat::Beat& notingBegan)
{
    Stamped result { unit.key().native(), std::nullopt };
    if (unit.gitFolder && !unit.files.contains(*unit.gitFolder))
        return result;
    auto stamps = stampsOf(unit, places);
    const auto settled
        = std::chrono::system_clock::time_point(
              std::chrono::duration_cast<std::chrono::system_clock::duration>(notingBegan.wallTime))
        - std::chrono::seconds(1);
    if (!stamps || std::any_of(stamps->begin(), stamps->end(), [&](const FileStamp& stamp) {
            return stamp.changedSince(settled);
        }))
        return result;
    Entry entry { result.key, GitNotedFiles::encoded({ unit }), named, std::nullopt, clockOffset(notingBegan),
        std::move(*stamps) };
    if (std::any_of(unit.files.begin(), unit.files.end(), [](const auto& file) {
            return file.second.kind == GitNotedFiles::NotedFile::Kind::searchedFolder;
        }))
        entry.searchPath = HookSearchPath::usersSearchPath();
    result.kept = encoded(entry);
    return result;
}

void keep(std::vector<Stamped> units, const fs::path& liveRuns, const LiveRunsHeartbeat::Beat& notingBegan)
{
    const LiveRunsHeartbeat::Beat now = LiveRunsHeartbeat::now();
    const bool clockSetBack = now.bootID != notingBegan.bootID || setBackSince(clockOffset(notingBegan), now);
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    Kept& kept = keptFor(shared, liveRuns, notingBegan.bootID);
    for (auto& [key, bytes] : units) {
        if (!bytes || clockSetBack) {
            kept.changed = kept.units.erase(key) > 0 || kept.changed;
            continue;
        }
        if (kept.units.size() >= maxUnits && !kept.units.contains(key))
            kept.units.clear();
        kept.units.insert_or_assign(std::move(key), std::make_shared<const std::string>(std::move(*bytes)));
        kept.changed = true;
    }
}

std::optional<NotedUnit> taken(const NotedUnit& bare, const std::vector<fs::path>& named,
    const fs::path& liveRuns, const BeneathPlaces& places, const LiveRunsHeartbeat::Beat& now)
{
    std::shared_ptr<const std::string> bytes;
    {
        Store& shared = store();
        std::lock_guard lock(shared.lock);
        Kept& kept = keptFor(shared, liveRuns, now.bootID);
        auto found = kept.units.find(bare.key().native());
        if (found == kept.units.end() || kept.bootID != now.bootID)
            return std::nullopt;
        bytes = found->second;
    }
    // Read back outside the lock: a run's start takes a thousand units on several threads.
    KeptBytes::Reader reader(*bytes);
    Entry entry;
    if (!took(reader, entry) || entry.named != named || setBackSince(entry.clockOffset, now)
        || (entry.searchPath && *entry.searchPath != HookSearchPath::usersSearchPath()))
        return std::nullopt;
    auto read = GitNotedFiles::decoded(entry.payload);
    if (read.damaged || read.units.size() != 1)
        return std::nullopt;
    NotedUnit unit = std::move(read.units.front());
    if (unit.gitFolder != bare.gitFolder || unit.workTree != bare.workTree
        || !GitGuardKeptUnits::notedAlikeBeneath(unit, named, unit.places, places.paths())
        || stampsOf(unit, places) != entry.stamps)
        return std::nullopt;
    unit.places = places.paths();
    return unit;
}

void writeKept(const fs::path& liveRuns)
{
    try {
        std::string head(kFileHeader);
        std::vector<std::shared_ptr<const std::string>> units;
        {
            Store& shared = store();
            std::lock_guard lock(shared.lock);
            auto kept = shared.byRegistry.find(liveRuns.native());
            if (kept == shared.byRegistry.end() || !kept->second.changed)
                return;
            KeptBytes::appendText(head, kept->second.bootID);
            KeptBytes::append(head, static_cast<std::uint64_t>(kept->second.units.size()));
            units = KeptBytes::recordsOf(kept->second.units);
            kept->second.changed = false;
        }
        // Lost at a crash, it costs the next start's first run its noting, nothing more.
        KeptBytes::write(head, units, keptFile(liveRuns));
    } catch (const std::exception&) {
        // As lost.
    }
}

void forgetAll()
{
    Store& shared = store();
    std::lock_guard lock(shared.lock);
    shared.byRegistry.clear();
}

}
