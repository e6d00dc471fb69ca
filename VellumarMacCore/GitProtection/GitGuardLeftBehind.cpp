#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/CommandWriteWindows.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/KnownGitFolders.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardComparison.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <system_error>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;
    using Held = LiveRuns::Kind;

    // Beside the older builds' record: the names their live guards kept off, and their heartbeat.
    constexpr std::string_view kOlderKeptOffName = "git-guard-kept-off";
    constexpr std::string_view kOlderHeartbeatName = "git-guard-heartbeat";
    // Far beyond what every repository a run may find notes; the rest of a larger record is left.
    constexpr std::size_t kOlderRecordBytesLimit = 64 * 1024 * 1024;

    GitNotedFiles::Decoded olderUnits(const fs::path& record)
    {
        return GitNotedFiles::decoded(readPrivateFile(record, kOlderRecordBytesLimit));
    }

    LiveRuns::Decoded olderGuardedUnits(const fs::path& record)
    {
        auto read = olderUnits(record);
        LiveRuns::Decoded entries { {}, read.damaged };
        for (const auto& unit : read.units)
            entries.entries.push_back(GitGuardEntries::entryOf(unit));
        return entries;
    }

    // An older build noted each folder's names kept off as one unit; here each name is an entry.
    LiveRuns::Decoded olderKeptOffNames(const fs::path& record)
    {
        auto read = olderUnits(record);
        LiveRuns::Decoded entries { {}, read.damaged };
        for (const auto& folder : read.units) {
            for (const auto& [path, nothing] : folder.files)
                entries.entries.push_back(GitGuardEntries::keptOffEntryOf(path, folder.places));
        }
        return entries;
    }

    // What the next start knows of the killed runs, for going through their places.
    struct KilledRuns {
        // Every Git folder a run noted, at the name it noted it: its own comparison's.
        const std::set<fs::path>& recorded;
        // Where those comparisons found a Git folder at another name, and compared it.
        const std::set<fs::path>& comparedElsewhere;
        // What the killed runs noted, by the identity of its Git folder.
        const std::map<std::string, NotedUnit>& byIdentity;
        const GitCountedSettings::Reader& settings;
        const GitGuard::Clock& clock;
        std::optional<std::chrono::nanoseconds> commandsEndedBy;
        // When commands of any run could write, the killed runs' closed.
        const CommandWriteWindows& windows;
        const std::filesystem::path& dataFolder;
        // Whether a Git folder known before the runs was compared by another (`GitGuardSweep::Options`).
        std::function<bool(const fs::path&)> isComparedByAnother = nullptr;
    };

    timespec timespecOf(std::chrono::nanoseconds time)
    {
        return { static_cast<time_t>(time.count() / 1'000'000'000),
            static_cast<long>(time.count() % 1'000'000'000) };
    }

    // Closes the killed runs' windows when their commands had ended, or now where no beat tells. Whether
    // they were written: where not, the places stay in the record of live runs, for the next start to
    // close them again.
    bool closedWindows(const fs::path& dataFolder, const std::vector<LiveRuns::Entry>& places,
        std::optional<std::chrono::nanoseconds> commandsEndedBy)
    {
        timespec ended {};
        ::clock_gettime(CLOCK_REALTIME, &ended);
        if (commandsEndedBy)
            ended = timespecOf(*commandsEndedBy);
        try {
            CommandWriteWindows windows;
            for (const auto& entry : places)
                windows.add(entry.key, { GitGuardEntries::placeHeldOf(entry.payload).built, ended });
            CommandWriteWindows::record(dataFolder, windows);
        } catch (const std::exception& error) {
            platform::logError(std::string("The record of when commands could write could not be written (")
                + error.what()
                + "); until it can, whatever changes in a new Git repository in the places of the runs "
                  "killed before this start counts as a command's.");
            return false;
        }
        return true;
    }

    // Goes through every Git folder in the killed runs' places as a run's end does: one a killed run
    // noted, found at another name, is compared with what was noted of it there unless its own comparison
    // found it there, and one no run noted before the first guard holding its place had noted is judged
    // against an empty repository, counting what changed when a command could write. The places whose
    // guards were built at one time are walked together. Returns what went aside or stayed.
    std::vector<GitGuardPutBack::MovedChange> sweepAfterKill(
        LiveRuns& registry, const std::vector<LiveRuns::Entry>& places, const KilledRuns& killed)
    {
        std::map<std::pair<std::time_t, long>, std::vector<fs::path>> placesBuiltAt;
        std::map<std::pair<std::time_t, long>, timespec> knownFrom;
        for (const auto& entry : places) {
            const auto held = GitGuardEntries::placeHeldOf(entry.payload);
            const std::pair built { held.built.tv_sec, held.built.tv_nsec };
            placesBuiltAt[built].emplace_back(entry.key);
            // Of places held by guards built at one time, the earliest noted: what was noted later is
            // not known to all of them.
            auto [known, first] = knownFrom.try_emplace(built, held.knownFrom);
            if (!first
                && std::pair(held.knownFrom.tv_sec, held.knownFrom.tv_nsec)
                    < std::pair(known->second.tv_sec, known->second.tv_nsec))
                known->second = held.knownFrom;
        }
        auto isCompared = [&](const fs::path& gitFolder) {
            return killed.recorded.contains(gitFolder) || killed.comparedElsewhere.contains(gitFolder);
        };
        std::vector<GitGuardPutBack::MovedChange> moved;
        for (const auto& [built, paths] : placesBuiltAt) {
            const KnownGitFolders known(killed.dataFolder, knownFrom.at(built));
            // A whole walk of its own, with no record of the search's: the start leaves nothing behind
            // but what the runs after it write.
            auto found = GitFoldersInPlaces::found(
                paths, {}, { built.first, built.second }, GitGuardSweep::listingBoundFromNow(killed.windows));
            auto some = GitGuardSweep::swept(registry, found.gitFolders, BeneathPlaces(paths),
                { .isComparedHere = isCompared,
                    .notedWithIdentity = [&](const std::string& identity) -> std::optional<NotedUnit> {
                        auto noted = killed.byIdentity.find(identity);
                        return noted == killed.byIdentity.end() ? std::nullopt : std::optional(noted->second);
                    },
                    .isComparedByAnother = killed.isComparedByAnother,
                    .judging = { .isKnownGitFolder
                        = [&](const fs::path& gitFolder) { return known.contains(gitFolder); },
                        .settings = killed.settings,
                        .windows = killed.windows,
                        .commandsEndedBy = killed.commandsEndedBy },
                    .clock = killed.clock,
                    .unlisted = std::move(found.unlisted) });
            moved.insert(moved.end(), some.begin(), some.end());
        }
        return moved;
    }

}

std::vector<GitGuard::MovedChange> GitGuard::sweepStayedPlaces(const fs::path& liveRuns,
    const std::vector<LiveRuns::Entry>& places, const GitCountedSettings::Reader& settings,
    const Clock& clock)
{
    LiveRuns& registry = LiveRuns::in(liveRuns);
    std::set<fs::path> recorded;
    for (const auto& key : registry.locked().keys(Held::guardedUnit))
        recorded.emplace(key);
    // The runs that left them ended, and closed their windows in the record: what changed outside
    // those is the user's.
    const CommandWriteWindows windows = CommandWriteWindows::read(liveRuns);
    return sweepAfterKill(registry, places,
        { .recorded = recorded,
            .comparedElsewhere = {},
            .byIdentity = {},
            .settings = settings,
            .clock = clock,
            .windows = windows,
            .dataFolder = liveRuns,
            // The runs that knew them compared them with what they had noted as they ended.
            .isComparedByAnother = [](const fs::path&) { return true; } });
}

void GitGuard::restoreLeftBehind(
    const fs::path& liveRuns, const GitCountedSettings::Reader& settings, const Clock& clock)
{
    try {
        LiveRuns& registry = LiveRuns::in(liveRuns);
        std::vector<LiveRuns::Entry> units;
        std::vector<LiveRuns::Entry> keptOff;
        std::vector<LiveRuns::Entry> writablePlaces;
        // Every Git folder a run noted, at the name it noted it.
        std::set<fs::path> recorded;
        {
            auto locked = registry.locked();
            // Each folder a killed trade left away from its name is back before any is compared.
            GitFolderWhereabouts::finishTrades(locked, liveRuns, clock);
            const LiveRuns::OlderRecord olderUnitsRecord[]
                = { { liveRuns / olderRecordName, olderGuardedUnits } };
            const LiveRuns::OlderRecord olderKeptOffRecord[]
                = { { liveRuns / kOlderKeptOffName, olderKeptOffNames } };
            units = locked.leftBehind(Held::guardedUnit, olderUnitsRecord);
            keptOff = locked.leftBehind(Held::keptOffName, olderKeptOffRecord);
            // An older build held no places: its runs' Git folders are compared as noted alone.
            writablePlaces = locked.leftBehind(Held::writablePlace);
            for (const auto& key : locked.keys(Held::guardedUnit))
                recorded.emplace(key);
            for (const auto& unit : units)
                recorded.emplace(unit.key);
        }
        // An older build's beat speaks for its record until this start has carried it over.
        const fs::path olderBeat = liveRuns / kOlderHeartbeatName;
        std::error_code error;
        const auto commandsEndedBy = LiveRunsHeartbeat::commandsEndedBy(
            fs::exists(LiveRuns::heartbeatOf(liveRuns), error) ? LiveRuns::heartbeatOf(liveRuns) : olderBeat);
        std::map<std::vector<fs::path>, BeneathPlaces> opened;
        std::vector<LiveRuns::Entry> missing;
        std::vector<LiveRuns::Entry> stayed;
        std::map<std::string, NotedUnit> byIdentity;
        std::set<fs::path> comparedElsewhere;
        // Known to every killed run: what was noted before the first of them had noted. An older
        // build's runs knew none.
        std::optional<timespec> knownFrom;
        for (const auto& entry : writablePlaces) {
            const timespec held = GitGuardEntries::placeHeldOf(entry.payload).knownFrom;
            if (!knownFrom
                || std::pair(held.tv_sec, held.tv_nsec) < std::pair(knownFrom->tv_sec, knownFrom->tv_nsec))
                knownFrom = held;
        }
        const KnownGitFolders known(liveRuns, knownFrom.value_or(timespec {}));
        const bool windowsWritten = closedWindows(liveRuns, writablePlaces, commandsEndedBy);
        const CommandWriteWindows windows = CommandWriteWindows::read(liveRuns);
        for (auto& entry : units) {
            NotedUnit unit = GitGuardEntries::unitOf(entry.payload);
            const BeneathPlaces& places = opened.try_emplace(unit.places, unit.places).first->second;
            auto settled = GitGuardComparison::settle(
                registry, unit, places, settings, clock,
                [&](const fs::path& gitFolder) { return known.contains(gitFolder); },
                [&](const fs::path& path) { return windows.holds(path); }, nullptr, commandsEndedBy);
            if (settled.comparedElsewhere)
                comparedElsewhere.insert(std::move(*settled.comparedElsewhere));
            if (GitGuardComparison::presence(unit.key(), places) == GitGuardComparison::Presence::missing)
                missing.push_back(std::move(entry));
            else if (GitGuardPutBack::anyStayed(settled.moved))
                stayed.push_back(std::move(entry));
            if (auto folder = unit.gitFolder ? unit.files.find(*unit.gitFolder) : unit.files.end();
                folder != unit.files.end())
                byIdentity.emplace(folder->second.content, std::move(unit));
        }
        const bool sweptStayed = GitGuardPutBack::anyStayed(sweepAfterKill(registry, writablePlaces,
            { .recorded = recorded,
                .comparedElsewhere = comparedElsewhere,
                .byIdentity = byIdentity,
                .settings = settings,
                .clock = clock,
                .commandsEndedBy = commandsEndedBy,
                .windows = windows,
                .dataFolder = liveRuns }));
        std::vector<LiveRuns::Entry> keptOffStayed;
        for (auto& entry : keptOff) {
            const NotedUnit name = GitGuardEntries::unitOf(entry.payload);
            const BeneathPlaces& places = opened.try_emplace(name.places, name.places).first->second;
            if (GitGuardComparison::keepOffAfterKill(registry, name, places, clock, commandsEndedBy))
                keptOffStayed.push_back(std::move(entry));
        }
        // What stayed is tried again at the next start, and a unit by the next run that guards it too.
        auto locked = registry.locked();
        for (auto& entry : missing)
            locked.retain(Held::guardedUnit, std::move(entry));
        for (auto& entry : stayed)
            keepStayed(registry, locked, std::move(entry));
        for (auto& entry : keptOffStayed)
            locked.retain(Held::keptOffName, std::move(entry));
        if (sweptStayed || !windowsWritten) {
            for (auto& entry : writablePlaces)
                locked.retain(Held::writablePlace, std::move(entry));
        }
        locked.write(Held::guardedUnit);
        locked.write(Held::keptOffName);
        locked.write(Held::writablePlace);
        fs::remove(olderBeat, error);
    } catch (const std::exception& error) {
        // Out of memory, or the record cannot be replaced: the next start tries again.
        platform::logError(
            std::string("What Claude Code runs left in the repositories they guarded could not "
                        "all be gone through at this start (")
            + error.what() + "); the next start tries again.");
    }
}

}
