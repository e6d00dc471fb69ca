#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardComparison.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardKeptUnits.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardStampedUnits.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using GitNotedFiles::NotedUnit;
    using Kind = NotedFile::Kind;
    using Held = LiveRuns::Kind;
    using namespace GitGuardPutBack;
    using namespace GitGuardComparison;
    using GitGuardEntries::unitOf;

    // The units `GitGuard::keepStayed` kept in the record in this process, by data folder and key.
    struct KeptStayed {
        std::mutex lock;
        std::set<std::pair<fs::path, std::string>> units;
    };
    KeptStayed& keptStayed()
    {
        static KeptStayed kept;
        return kept;
    }

    // Whether another compares the Git folder at its name with what it noted: a run of this process, or
    // a watch kept after one.
    bool isComparedByAnother(LiveRuns& liveRuns, const fs::path& gitFolder)
    {
        return liveRuns.locked().find(Held::guardedUnit, gitFolder.native())
            || GitGuardKeptUnits::contains(gitFolder);
    }

    // What a unit is known to hold without being noted again, when it can be: absent to note it.
    using KeptUnit
        = std::function<std::optional<NotedUnit>(const NotedUnit& bare, const std::vector<fs::path>& named)>;

    struct UnitToHold {
        // As the registry of live runs holds it, encoded at once: the units read back, their paths split
        // into parts, would take four times as much, with thousands of repositories.
        LiveRuns::Entry noted;
        // What Git's configuration named, and the folders its hooks put first on PATH: a unit is taken
        // as kept only where these are as they were.
        std::vector<fs::path> named;
    };

    // The units a guard notes, each once, and their Git folders. What a watch kept of each is looked up
    // on a few threads, since with a thousand repositories each lookup reads a unit back; the units
    // noted anew are noted one after another, in order. `kept` is called from several threads at once.
    // What is noted anew is kept across the program's starts (`GitGuardStampedUnits`) for the registry in
    // `liveRuns`, noting having begun at `notingBegan`.
    std::vector<UnitToHold> notedUnits(const std::vector<GuardedRepository>& repositories,
        const std::vector<fs::path>& gitFiles,
        const std::map<fs::path, std::vector<fs::path>>& searchedOfGitFiles,
        const std::vector<fs::path>& othersCommonDirs, const BeneathPlaces& places, const KeptUnit& kept,
        const fs::path& liveRuns, const LiveRunsHeartbeat::Beat& notingBegan,
        std::vector<fs::path>& gitFolders)
    {
        struct Wanted {
            NotedUnit bare;
            std::vector<fs::path> named;
            std::vector<fs::path> searched;
            bool othersCommonDir = false;
        };
        std::vector<Wanted> wanted;
        std::set<fs::path> keys;
        auto add = [&](const std::optional<fs::path>& gitFolder, const std::optional<fs::path>& workTree,
                       const std::vector<fs::path>& named = {}, const std::vector<fs::path>& searched = {}) {
            NotedUnit unit { gitFolder, workTree, {}, {} };
            if (!keys.insert(unit.key()).second)
                return;
            if (gitFolder)
                gitFolders.push_back(*gitFolder);
            const bool othersCommonDir = gitFolder
                && std::find(othersCommonDirs.begin(), othersCommonDirs.end(), *gitFolder)
                    != othersCommonDirs.end();
            wanted.push_back({ std::move(unit), named, searched, othersCommonDir });
        };
        for (const auto& repository : repositories) {
            add(repository.gitFolder, repository.workTree, repository.configured, repository.searchedFirst);
            for (const auto& linked : repository.linkedFolders
                    ? *repository.linkedFolders
                    : GitFoldersInPlaces::linkedGitFolders(repository.gitFolder, places.paths()))
                add(linked, std::nullopt);
        }
        for (const auto& gitFile : gitFiles) {
            auto searched = searchedOfGitFiles.find(gitFile);
            add(std::nullopt, gitFile.parent_path(), {},
                searched != searchedOfGitFiles.end() ? searched->second : std::vector<fs::path> {});
        }
        std::vector<UnitToHold> units(wanted.size());
        std::vector<char> taken(wanted.size());
        parallelEach(wanted.size(), [&](std::size_t index) {
            const Wanted& unit = wanted[index];
            std::vector<fs::path>& roots = units[index].named = unit.named;
            roots.insert(roots.end(), unit.searched.begin(), unit.searched.end());
            // A unit noted with its "commondir" left to another is not taken for one that notes it.
            auto known = unit.othersCommonDir ? std::nullopt : kept(unit.bare, roots);
            const auto& gitFolder = unit.bare.gitFolder;
            if (known && (!gitFolder || known->files.contains(*gitFolder / "commondir"))) {
                units[index].noted = GitGuardEntries::entryOf(*known);
                taken[index] = true;
            }
        });
        std::vector<GitGuardStampedUnits::Stamped> notedAnew;
        for (std::size_t index = 0; index < wanted.size(); ++index) {
            if (taken[index])
                continue;
            const Wanted& unit = wanted[index];
            NotedUnit noted = GitNotedFiles::noteUnit(
                unit.bare.gitFolder, unit.bare.workTree, places, unit.named, unit.searched);
            if (unit.othersCommonDir)
                noted.files.erase(*unit.bare.gitFolder / "commondir");
            units[index].noted = GitGuardEntries::entryOf(noted);
            // One noted with its "commondir" left to another is not for a run that notes it.
            if (!unit.othersCommonDir)
                notedAnew.push_back(
                    GitGuardStampedUnits::stamped(noted, units[index].named, places, notingBegan));
        }
        GitGuardStampedUnits::keep(std::move(notedAnew), liveRuns, notingBegan);
        return units;
    }

    // Each place whose windows could not be written, told once until a write succeeds.
    std::vector<GitGuard::MovedChange> judgedAtEveryTime(
        const fs::path& liveRuns, const std::vector<fs::path>& places)
    {
        std::vector<GitGuard::MovedChange> told;
        for (auto& [place, why] : CommandWriteWindows::untold(liveRuns, places)) {
            std::string line = "When commands could write in " + place.string() + " could not be recorded ("
                + why
                + "): until it can be, everything there counts as written by commands at every time, so "
                  "whatever changes in a Git repository there goes aside, the user's own changes included. "
                  "It is tried again at each Claude Code run's end and when the program next starts.";
            platform::logError(line);
            told.push_back({ place, "when commands could write there could not be recorded",
                GitGuard::MovedChange::Stayed { std::move(line), place, true } });
        }
        return told;
    }

}

GitGuard::GitGuard(const std::vector<GuardedRepository>& repositories, const std::vector<fs::path>& gitFiles,
    const std::vector<fs::path>& othersCommonDirs, Options options)
    : m_options(std::move(options))
    , m_run(m_options.liveRuns)
    , m_places(m_options.places)
    , m_keptOff(m_options.keptOff)
    , m_knownGitFolders(m_options.liveRuns, {})
{
    ::clock_gettime(CLOCK_REALTIME_COARSE, &m_built);
    std::optional<std::string> unrecorded;
    try {
        LiveRuns& liveRuns = m_run.registry();
        // Taken as it was kept: what changed since was seen by the watch, or moved a stamp of its files,
        // and what Git's configuration names and where it lies are as they were. A unit the record keeps
        // as gone is not. Any thread.
        const LiveRunsHeartbeat::Beat notingBegan = LiveRunsHeartbeat::now();
        std::mutex takenLock;
        auto kept
            = [&](const NotedUnit& bare, const std::vector<fs::path>& named) -> std::optional<NotedUnit> {
            fs::path key = bare.key();
            const bool watched = m_options.unchangedSinceKept.contains(key);
            auto unit = watched ? GitGuardKeptUnits::taken(bare, m_options.liveRuns, named, m_places.paths())
                                : std::nullopt;
            const bool byWatch = unit.has_value();
            if (!unit)
                unit = GitGuardStampedUnits::taken(bare, named, m_options.liveRuns, m_places, notingBegan);
            if (!unit || liveRuns.locked().isUnheld(Held::guardedUnit, key.native()))
                return std::nullopt;
            if (byWatch) {
                std::lock_guard lock(takenLock);
                m_takenAsKept.insert(std::move(key));
            }
            return unit;
        };
        // Before anything is noted: what stays is noted as it is, as the user's.
        std::map<std::string, GitGuardEntries::PlaceHeld> stayedPlaces;
        {
            std::vector<LiveRuns::Entry> unheld;
            for (auto& entry : liveRuns.locked().unheld(Held::writablePlace)) {
                if (std::ranges::count(m_places.paths(), fs::path(entry.key)))
                    unheld.push_back(std::move(entry));
            }
            if (!unheld.empty())
                m_movedAtStart
                    = sweepStayedPlaces(m_options.liveRuns, unheld, m_options.settings, m_options.clock);
            if (anyStayed(m_movedAtStart)) {
                m_sweepStayed = true;
                for (const auto& entry : unheld)
                    stayedPlaces.emplace(entry.key, GitGuardEntries::placeHeldOf(entry.payload));
            }
        }
        std::vector<fs::path> gitFolders;
        std::vector<UnitToHold> units = notedUnits(repositories, gitFiles, m_options.searchedFirstOfGitFiles,
            othersCommonDirs, m_places, kept, m_options.liveRuns, notingBegan, gitFolders);
        const timespec knownFrom = KnownGitFolders::note(m_options.liveRuns, gitFolders);
        m_knownGitFolders = KnownGitFolders(m_options.liveRuns, knownFrom);
        m_keys.reserve(units.size());
        std::set<fs::path> holding;
        std::vector<std::size_t> heldAsStayed;
        auto locked = liveRuns.locked();
        // A Git folder an earlier run saw go is this run's to compare if it comes back; one back already
        // came back while no command ran, so it is the user's and is noted afresh.
        // One kept because a change in it stayed is this run's to compare with what was noted, as it is.
        for (auto& gone : locked.unheld(Held::guardedUnit)) {
            Presence now = presence(gone.key, m_places);
            const bool stayed = now == Presence::present && tookStayed(liveRuns, gone.key);
            if (now == Presence::present && !stayed)
                locked.forget(Held::guardedUnit, gone.key);
            if (now != Presence::missing && !stayed)
                continue;
            if (stayed)
                heldAsStayed.push_back(m_keys.size());
            holding.insert(gone.key);
            m_keys.emplace_back(gone.key);
            m_named.emplace_back();
            locked.hold(Held::guardedUnit, std::move(gone));
        }
        // What a live run noted is what the folder held before either's commands ran; what no run holds
        // is as this run found it or as it was kept.
        for (auto& unit : units) {
            fs::path key = unit.noted.key;
            if (!holding.insert(key).second)
                continue;
            locked.hold(Held::guardedUnit, std::move(unit.noted));
            m_keys.push_back(std::move(key));
            m_named.push_back(std::move(unit.named));
        }
        // The places too, so that the next start after a kill goes through every Git folder in them.
        // One where a change stayed again keeps when its Git folders were first known: the Git folder
        // holding it, noted by this run, is still one nobody had noted for the next to go through. One
        // whose windows wait for a write keeps when the first of them began, so that the next start after
        // a kill, or a restart before the write succeeds, closes one window from then.
        for (const auto& place : m_places.paths()) {
            auto stayed = stayedPlaces.find(place.native());
            GitGuardEntries::PlaceHeld held { .built = m_built,
                .knownFrom = stayed == stayedPlaces.end() ? knownFrom : stayed->second.knownFrom };
            const std::string* retained = locked.find(Held::writablePlace, place.native());
            if (retained && CommandWriteWindows::waitsForAWrite(m_options.liveRuns, place))
                held.built = std::min(held.built, GitGuardEntries::placeHeldOf(*retained).built,
                    [](const timespec& left, const timespec& right) {
                        return std::pair(left.tv_sec, left.tv_nsec) < std::pair(right.tv_sec, right.tv_nsec);
                    });
            locked.hold(Held::writablePlace, GitGuardEntries::placeEntryOf(place, held));
            m_placeKeys.push_back(place.native());
        }
        for (std::size_t index = 0; index < m_keptOff.folderCount(); ++index) {
            for (const auto& name : m_keptOff.names(index)) {
                auto entry
                    = GitGuardEntries::keptOffEntryOf(m_keptOff.folder(index) / name, m_places.paths());
                m_keptOffKeys.push_back(entry.key);
                locked.hold(Held::keptOffName, std::move(entry));
            }
        }
        m_lastComparisons.resize(unitCount());
        for (std::size_t unit : heldAsStayed)
            m_lastComparisons[unit].stayed = true;
        try {
            locked.write(Held::guardedUnit);
            locked.write(Held::keptOffName);
            locked.write(Held::writablePlace);
        } catch (const std::exception& error) {
            unrecorded = error.what();
        }
    } catch (const std::exception&) {
        // Out of memory: what was noted so far is guarded.
    }
    try {
        // Here, while Claude Code starts, rather than at the run's end, where a reply waits for it.
        knownUnits();
    } catch (const std::exception&) {
        // Out of memory: the first judging tries again.
    }
    if (unrecorded)
        platform::logError("The record of what a run's Git repositories hold could not be written ("
            + *unrecorded
            + "); a change made there is put back during the run, but not after the program is killed.");
}

GitGuard::~GitGuard()
{
    auto locked = m_run.registry().locked();
    // The windows closed before the places are let go, so that a judging between knows them still.
    bool windowsUnwritten = false;
    try {
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        CommandWriteWindows windows;
        for (const auto& place : m_places.paths())
            windows.add(place, { m_built, now });
        CommandWriteWindows::record(m_options.liveRuns, windows);
    } catch (const std::exception& error) {
        // This process judges the places at every time until a write succeeds, and the places stay in
        // the record of live runs for the next start to close their windows, as after a kill.
        windowsUnwritten = true;
        platform::logError(std::string("The record of when commands could write could not be written (")
            + error.what()
            + "); until it can, whatever changes in a new Git repository in the places of this run counts as "
              "a command's.");
    }
    // What stayed, or could not be compared or gone through, stays in the record for the next start to
    // try again, as after a kill.
    std::vector<LastComparison> lastComparisons;
    {
        std::lock_guard lock(m_lastComparisonsLock);
        lastComparisons = std::move(m_lastComparisons);
    }
    auto stayed = [&](std::size_t unit) {
        return unit < lastComparisons.size()
            && (lastComparisons[unit].stayed || lastComparisons[unit].failed);
    };
    bool keptOffStayed = false;
    for (std::size_t index = 0; index < m_keptOff.folderCount(); ++index)
        keptOffStayed = keptOffStayed || stayed(m_keys.size() + index);
    for (const auto& key : m_keptOffKeys) {
        if (auto last = locked.release(Held::keptOffName, key); last && keptOffStayed)
            locked.retain(Held::keptOffName, std::move(*last));
    }
    for (const auto& key : m_placeKeys) {
        if (auto last = locked.release(Held::writablePlace, key); last && (m_sweepStayed || windowsUnwritten))
            locked.retain(Held::writablePlace, std::move(*last));
    }
    for (std::size_t index = 0; index < m_keys.size(); ++index) {
        auto last = locked.release(Held::guardedUnit, m_keys[index].native());
        if (!last)
            continue;
        GitGuardKeptUnits::refresh(*last);
        // One that is gone stays in the record with what was noted, however many runs later it comes back.
        if (presence(m_keys[index], m_places) == Presence::missing)
            locked.retain(Held::guardedUnit, std::move(*last));
        else if (stayed(index))
            keepStayed(m_run.registry(), locked, std::move(*last));
    }
    try {
        locked.write(Held::guardedUnit);
        locked.write(Held::keptOffName);
        locked.write(Held::writablePlace);
    } catch (const std::exception&) {
        // The next start compares what the record still names, which is then unchanged.
    }
    GitGuardStampedUnits::writeKept(m_options.liveRuns);
    // What the sweep read of Git's configuration, which only the next run's start would write: a
    // program that ends after this run read it again at its next start's first end.
    GitReadCache::writeKept(m_options.liveRuns);
}

fs::path GitGuard::unitKey(std::size_t unit) const
{
    if (unit < m_keys.size())
        return m_keys[unit];
    return "kept off:" + m_keptOff.folder(unit - m_keys.size()).native();
}

void GitGuard::keepNoted(const std::vector<std::size_t>& units) const
{
    std::vector<std::pair<std::size_t, LiveRuns::Entry>> noted;
    {
        auto locked = m_run.registry().locked();
        for (std::size_t unit : units) {
            if (const std::string* payload
                = unit < m_keys.size() ? locked.find(Held::guardedUnit, m_keys[unit].native()) : nullptr)
                noted.emplace_back(unit, LiveRuns::Entry { m_keys[unit].native(), *payload });
        }
    }
    for (const auto& [unit, copy] : noted)
        GitGuardKeptUnits::keep(copy, m_options.liveRuns, m_named[unit]);
}

void GitGuard::forgetKept(const std::vector<fs::path>& keys) { GitGuardKeptUnits::forget(keys); }

GitGuard::Watched GitGuard::watched(std::size_t unit) const
{
    Watched watched;
    if (unit >= m_keys.size()) {
        if (unit < unitCount())
            watched.folders.emplace(
                m_keptOff.folder(unit - m_keys.size()), m_keptOff.names(unit - m_keys.size()));
        return watched;
    }
    std::string payload;
    {
        auto locked = m_run.registry().locked();
        const std::string* held = locked.find(Held::guardedUnit, m_keys[unit].native());
        if (!held)
            return watched;
        payload = *held;
    }
    const NotedUnit noted = unitOf(payload);
    if (noted.gitFolder) {
        watched.folders[*noted.gitFolder].insert("hooks");
        watched.hookFolders.push_back(*noted.gitFolder / "hooks");
        watched.folders.try_emplace(watched.hookFolders.back());
    }
    for (const auto& [path, file] : noted.files) {
        if (file.isNamed() || file.kind == Kind::searchedFolder)
            watched.wholeFolders.push_back(path);
        watched.folders[path.parent_path()].insert(path.filename().string());
        if (file.kind == Kind::file || file.kind == Kind::link || file.kind == Kind::large)
            watched.files.push_back(path);
    }
    return watched;
}

std::vector<GitGuard::MovedChange> GitGuard::compare(
    std::size_t unit, const std::function<bool(const fs::path&)>& isBeingWritten)
{
    if (unit >= m_keys.size())
        return unit < unitCount() ? keepOff(unit - m_keys.size()) : std::vector<MovedChange> {};
    try {
        LiveRuns& liveRuns = m_run.registry();
        const std::string& key = m_keys[unit].native();
        NotedUnit noted;
        {
            auto locked = liveRuns.locked();
            const std::string* payload = locked.find(Held::guardedUnit, key);
            if (!payload)
                return {};
            noted = unitOf(*payload);
        }
        if (std::chrono::steady_clock::now() >= m_judgedBy.load()) {
            const NewGitFolders::Judging closing = judging();
            Settled closed = settleCounted(liveRuns,
                NewGitFolders::closedUnit(
                    noted, m_places, closing,
                    [&](const fs::path& path) { return MovedAsideByGuard::isOne(liveRuns.folder(), path); },
                    GitGuardSweep::pastTheBound()),
                m_places, closing, m_options.clock, &m_movedInRun);
            lastCompared(unit, { .stayed = anyStayed(closed.moved) });
            return std::move(closed.moved);
        }
        Settled settled = settle(
            liveRuns, noted, m_places, m_options.settings, m_options.clock,
            [&](const fs::path& gitFolder) { return m_knownGitFolders.contains(gitFolder); },
            [&](const fs::path& path) { return commandWriteWindows().holds(path); }, &m_movedInRun,
            std::nullopt, isBeingWritten);
        lastCompared(
            unit, { .elsewhere = std::move(settled.comparedElsewhere), .stayed = anyStayed(settled.moved) });
        if (!settled.accepted.empty()) {
            auto locked = liveRuns.locked();
            if (const std::string* payload = locked.find(Held::guardedUnit, key)) {
                NotedUnit now = unitOf(*payload);
                for (auto& [path, file] : settled.accepted)
                    now.files.insert_or_assign(path, std::move(file));
                locked.update(Held::guardedUnit, key, GitGuardEntries::entryOf(now).payload);
                try {
                    locked.write(Held::guardedUnit);
                } catch (const std::exception&) {
                    // The record keeps the earlier state; the next start then puts back no more than
                    // what counts against it.
                }
            }
        }
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: the next event tries again, and the run's end in any case.
        lastCompared(unit, { .failed = true });
        return {};
    }
}

void GitGuard::lastCompared(std::size_t unit, LastComparison last)
{
    std::lock_guard lock(m_lastComparisonsLock);
    if (unit < m_lastComparisons.size())
        m_lastComparisons[unit] = std::move(last);
}

std::vector<fs::path> GitGuard::comparedAgainAtTheEnd() const
{
    std::vector<fs::path> keys;
    std::lock_guard lock(m_lastComparisonsLock);
    for (std::size_t unit = 0; unit < m_lastComparisons.size(); ++unit) {
        if (m_lastComparisons[unit].failed || m_lastComparisons[unit].elsewhere
            || m_lastComparisons[unit].stayed)
            keys.push_back(unitKey(unit));
    }
    return keys;
}

std::vector<GitGuard::MovedChange> GitGuard::keepOff(std::size_t index)
{
    try {
        const fs::path& folder = m_keptOff.folder(index);
        std::vector<Undone> undone;
        {
            auto locked = m_run.registry().locked();
            for (const auto& name : m_keptOff.names(index)) {
                if (auto done = undo(m_options.liveRuns, m_places, folder / name, {},
                        GitNotedFiles::maxCopiedBytes, m_options.clock, &m_movedInRun)) {
                    done->keptOff = true;
                    undone.push_back(std::move(*done));
                }
            }
        }
        Settled settled;
        report(undone, settled);
        lastCompared(m_keys.size() + index, { .stayed = anyStayed(settled.moved) });
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: the next event tries again, and the run's end in any case.
        lastCompared(m_keys.size() + index, { .failed = true });
        return {};
    }
}

const GitGuard::KnownUnits& GitGuard::knownUnits()
{
    // Built once and never changed after, so that it is read without the lock.
    std::lock_guard lock(m_knownLock);
    if (!m_known) {
        KnownUnits known { .keys = { m_keys.begin(), m_keys.end() } };
        auto locked = m_run.registry().locked();
        for (std::size_t unit = 0; unit < m_keys.size(); ++unit) {
            const std::string* payload = locked.find(Held::guardedUnit, m_keys[unit].native());
            if (!payload)
                continue;
            NotedUnit noted = unitOf(*payload);
            for (const auto& [path, file] : noted.files) {
                if (file.kind == Kind::searchedFolder)
                    known.putFirst.insert(path);
            }
            if (!noted.gitFolder)
                continue;
            if (auto folder = noted.files.find(*noted.gitFolder); folder != noted.files.end())
                known.byIdentity.emplace(folder->second.content, unit);
        }
        m_known = std::move(known);
    }
    return *m_known;
}

void GitGuard::endBegins()
{
    auto unset = std::chrono::steady_clock::time_point::max();
    m_judgedBy.compare_exchange_strong(unset, std::chrono::steady_clock::now() + GitGuardSweep::judgingBound);
}

std::vector<GitGuard::MovedChange> GitGuard::sweep()
{
    endBegins();
    const auto judgedBy = m_judgedBy.load();
    try {
        std::set<fs::path> comparedElsewhere;
        {
            std::lock_guard lock(m_lastComparisonsLock);
            for (const auto& last : m_lastComparisons) {
                if (last.elsewhere)
                    comparedElsewhere.insert(*last.elsewhere);
            }
        }
        const NewGitFolders::Judging judging = this->judging();
        auto inPlaces = GitFoldersInPlaces::found(m_options.places, m_options.liveRuns, m_built,
            GitGuardSweep::listingBoundFromNow(judging.windows));
        auto moved = judgeAt(Moment::runsEnd, inPlaces.gitFolders, comparedElsewhere, judging, judgedBy,
            std::move(inPlaces.unlisted));
        if (anyStayed(moved))
            m_sweepStayed = true;
        moved.insert(moved.begin(), m_movedAtStart.begin(), m_movedAtStart.end());
        auto told = judgedAtEveryTime(m_options.liveRuns, m_places.paths());
        moved.insert(moved.end(), told.begin(), told.end());
        return moved;
    } catch (const std::bad_alloc&) {
        m_sweepStayed = true;
        return notLookedThrough(m_places.paths(), "out of memory");
    } catch (const std::exception& error) {
        m_sweepStayed = true;
        return notLookedThrough(m_places.paths(), error.what());
    }
}

std::vector<GitGuard::MovedChange> GitGuard::judge(
    const std::vector<GitFoldersInPlaces::Found>& found, const std::set<fs::path>& comparedElsewhere)
{
    try {
        return judgeAt(Moment::duringRun, found, comparedElsewhere, judging());
    } catch (const std::exception&) {
        // Out of memory: what went aside so far stays aside, and the run's end judges again.
        return {};
    }
}

void GitGuard::keepStayed(LiveRuns& registry, LiveRuns::Locked& locked, LiveRuns::Entry entry)
{
    {
        KeptStayed& kept = keptStayed();
        std::lock_guard lock(kept.lock);
        kept.units.emplace(registry.folder(), entry.key);
    }
    locked.retain(Held::guardedUnit, std::move(entry));
}

bool GitGuard::tookStayed(const LiveRuns& registry, const std::string& key)
{
    KeptStayed& kept = keptStayed();
    std::lock_guard lock(kept.lock);
    return kept.units.erase({ registry.folder(), key }) > 0;
}

std::vector<GitGuard::MovedChange> GitGuard::judgeAt(Moment moment,
    const std::vector<GitFoldersInPlaces::Found>& found, const std::set<fs::path>& comparedElsewhere,
    const NewGitFolders::Judging& judging, std::chrono::steady_clock::time_point judgedBy,
    std::vector<fs::path> unlisted)
{
    using SweepMoment = GitGuardSweep::Options::Moment;
    LiveRuns& liveRuns = m_run.registry();
    const KnownUnits& known = knownUnits();
    auto notedWithIdentity = [&](const std::string& identity) -> std::optional<NotedUnit> {
        auto unit = known.byIdentity.find(identity);
        if (unit == known.byIdentity.end())
            return std::nullopt;
        auto locked = liveRuns.locked();
        const std::string* payload = locked.find(Held::guardedUnit, m_keys[unit->second].native());
        return payload ? std::optional(unitOf(*payload)) : std::nullopt;
    };
    return GitGuardSweep::swept(liveRuns, found, m_places,
        { .isComparedHere =
                [&](const fs::path& gitFolder) {
                    return known.keys.contains(gitFolder) || comparedElsewhere.contains(gitFolder);
                },
            .notedWithIdentity = notedWithIdentity,
            .isNotedPutFirst = [&](const fs::path& folder) { return known.putFirst.contains(folder); },
            .isComparedByAnother
            = [&](const fs::path& gitFolder) { return isComparedByAnother(liveRuns, gitFolder); },
            .judging = judging,
            .clock = m_options.clock,
            .run = &m_movedInRun,
            .moment = moment == Moment::runsEnd ? SweepMoment::runsEnd : SweepMoment::duringRun,
            .judgedBy = judgedBy,
            .unlisted = std::move(unlisted) });
}

CommandWriteWindows GitGuard::commandWriteWindows()
{
    auto locked = m_run.registry().locked();
    CommandWriteWindows windows = CommandWriteWindows::read(m_options.liveRuns);
    constexpr timespec open { std::numeric_limits<time_t>::max(), 0 };
    for (const auto& place : locked.keys(Held::writablePlace)) {
        if (const std::string* payload = locked.find(Held::writablePlace, place))
            windows.add(place, { GitGuardEntries::placeHeldOf(*payload).built, open });
    }
    return windows;
}

NewGitFolders::Judging GitGuard::judging()
{
    return { .isKnownGitFolder
        = [this](const fs::path& gitFolder) { return m_knownGitFolders.contains(gitFolder); },
        .settings = m_options.settings,
        .windows = commandWriteWindows() };
}

std::vector<GitGuard::MovedChange> GitGuard::compareAll()
{
    std::vector<MovedChange> moved;
    for (std::size_t unit = 0; unit < unitCount(); ++unit) {
        auto some = compare(unit);
        moved.insert(moved.end(), some.begin(), some.end());
    }
    return moved;
}

}
