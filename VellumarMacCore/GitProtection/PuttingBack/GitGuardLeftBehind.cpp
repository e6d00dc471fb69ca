#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitGuardComparison.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <exception>
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

    // A Git folder inside a killed run's repository that no run noted came during the run: what counts in
    // it is judged against an empty repository, whenever it changed, as at a run's end.
    void judgeInnerAfterKill(LiveRuns& registry, const std::vector<LiveRuns::Entry>& units,
        const std::set<fs::path>& recorded, std::map<std::vector<fs::path>, BeneathPlaces>& opened,
        const GitCountedSettings::Reader& settings, const GitGuard::Clock& clock)
    {
        std::map<std::vector<fs::path>, std::vector<fs::path>> tops;
        for (const auto& entry : units) {
            const NotedUnit unit = GitGuardEntries::unitOf(entry.payload);
            if (unit.workTree)
                tops[unit.places].push_back(*unit.workTree);
            if (unit.gitFolder)
                tops[unit.places].push_back(*unit.gitFolder);
        }
        for (const auto& [places, folders] : tops) {
            // A whole walk of its own, with no record of the search's: the start leaves nothing behind
            // but what the runs after it write.
            const auto found = GitFoldersInPlaces::found(places, {});
            std::vector<fs::path> inner;
            for (const auto& folder : found) {
                if (!recorded.contains(folder.gitFolder)
                    && std::any_of(folders.begin(), folders.end(),
                        [&](const fs::path& top) { return isPathInside(folder.gitFolder, top); }))
                    inner.push_back(folder.gitFolder);
            }
            const NewGitFolders::Judging judging { .isKnownGitFolder
                = [&](const fs::path& gitFolder) { return recorded.contains(gitFolder); },
                .settings = settings };
            GitGuardComparison::settleNew(
                registry, inner, opened.try_emplace(places, places).first->second, judging, clock, nullptr);
        }
    }

}

void GitGuard::restoreLeftBehind(
    const fs::path& liveRuns, const GitCountedSettings::Reader& settings, const Clock& clock)
{
    try {
        LiveRuns& registry = LiveRuns::in(liveRuns);
        std::vector<LiveRuns::Entry> units;
        std::vector<LiveRuns::Entry> keptOff;
        // What the killed runs noted: a repository inside one of theirs that none noted came during them.
        std::set<fs::path> recorded;
        {
            auto locked = registry.locked();
            const LiveRuns::OlderRecord olderUnitsRecord[]
                = { { liveRuns / olderRecordName, olderGuardedUnits } };
            const LiveRuns::OlderRecord olderKeptOffRecord[]
                = { { liveRuns / kOlderKeptOffName, olderKeptOffNames } };
            units = locked.leftBehind(Held::guardedUnit, olderUnitsRecord);
            keptOff = locked.leftBehind(Held::keptOffName, olderKeptOffRecord);
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
        for (auto& entry : units) {
            const NotedUnit unit = GitGuardEntries::unitOf(entry.payload);
            const BeneathPlaces& places = opened.try_emplace(unit.places, unit.places).first->second;
            GitGuardComparison::settle(
                registry, unit, places, settings, clock,
                [&](const fs::path& gitFolder) { return recorded.contains(gitFolder); }, nullptr,
                commandsEndedBy);
            if (GitGuardComparison::presence(unit, places) == GitGuardComparison::Presence::missing)
                missing.push_back(std::move(entry));
        }
        judgeInnerAfterKill(registry, units, recorded, opened, settings, clock);
        for (const auto& entry : keptOff) {
            const NotedUnit name = GitGuardEntries::unitOf(entry.payload);
            const BeneathPlaces& places = opened.try_emplace(name.places, name.places).first->second;
            GitGuardComparison::keepOffAfterKill(registry, name, places, clock, commandsEndedBy);
        }
        auto locked = registry.locked();
        for (auto& entry : missing)
            locked.retain(Held::guardedUnit, std::move(entry));
        locked.write(Held::guardedUnit);
        locked.write(Held::keptOffName);
        fs::remove(olderBeat, error);
    } catch (const std::exception&) {
        // Out of memory, or the record cannot be replaced: the next start tries again.
    }
}

}
