#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
#include "VellumarMacCore/GitProtection/GitGuardComparison.h"
#include "VellumarMacCore/GitProtection/GitGuardHeartbeat.h"
#include "VellumarMacCore/GitProtection/InnerRepositories.h"
#include "VellumarMacCore/GitProtection/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using GitNotedFiles::NotedUnit;
    using Kind = NotedFile::Kind;
    using namespace GitGuardPutBack;
    using namespace GitGuardComparison;

    // Far beyond what every repository a run may find notes; the rest of a larger record is left.
    constexpr std::size_t kRecordBytesLimit = 64 * 1024 * 1024;

    struct Held {
        int runs = 0;
        NotedUnit noted;
        fs::path record;
        // What Git's configuration named when it was noted, and the folders its hooks put first on PATH.
        std::vector<fs::path> named;
        // How many watches kept between runs look at it (`GitGuard::keepNoted`).
        int keptBy = 0;
        // Gone from beneath its places when its last run ended: kept in the record with what was
        // noted, to compare it with if it comes back during a run.
        bool gone = false;
    };

    // The guards alive for one record, and its heartbeat while there are any.
    struct Beating {
        std::set<const GitGuard*> guards;
        std::unique_ptr<GitGuardHeartbeat> heartbeat;
    };

    // What every run of this process noted, by unit key, and what watches kept between runs look at.
    struct Registry {
        std::mutex lock;
        std::map<fs::path, Held> units;
        std::map<fs::path, Beating> heartbeats; // by record
        // By record, the names each live guard keeps off, a unit per folder with each name absent.
        std::map<fs::path, std::map<const GitGuard*, std::vector<NotedUnit>>> keptOff;
    };

    Registry& registry()
    {
        static Registry shared;
        return shared;
    }

    // Beside the record, the names its live guards keep off: apart from it, since such a unit has no
    // key of its own among the repositories'.
    fs::path keptOffRecordOf(const fs::path& record)
    {
        return record.parent_path() / (record.filename().native() + "-kept-off");
    }

    // Writes `units` to `file`, or removes it when there are none; whether there were any.
    bool writeUnits(const std::vector<NotedUnit>& units, const fs::path& file)
    {
        if (!units.empty()) {
            writePrivateFile(GitNotedFiles::encoded(units), file);
            return true;
        }
        std::error_code ignored;
        fs::remove(file, ignored);
        return false;
    }

    // Replaces the record with what runs hold under it and what is gone, and the names kept off beside
    // it, or removes them when that is nothing, and its beat too when no guard beats for it: what is only
    // kept stays out, as no command can change it before a run holds it again. The caller holds the
    // registry's lock. Throws the errors of writing it.
    void writeRecord(const Registry& shared, const fs::path& record)
    {
        std::vector<NotedUnit> units;
        for (const auto& [key, held] : shared.units) {
            if (held.record == record && (held.runs > 0 || held.gone))
                units.push_back(held.noted);
        }
        std::vector<NotedUnit> keptOff;
        if (auto guards = shared.keptOff.find(record); guards != shared.keptOff.end()) {
            for (const auto& [guard, folders] : guards->second)
                keptOff.insert(keptOff.end(), folders.begin(), folders.end());
        }
        bool named = writeUnits(keptOff, keptOffRecordOf(record));
        named = writeUnits(units, record) || named;
        std::error_code ignored;
        if (!named && !shared.heartbeats.contains(record))
            fs::remove(GitGuardHeartbeat::fileOf(record), ignored);
    }

    // Has the record's heartbeat beat while `guard` lives; the first guard's starts it, with a beat
    // written before this returns, so before the record names what the guard notes. The caller holds
    // the registry's lock.
    void holdHeartbeat(Registry& shared, const fs::path& record, const GitGuard& guard)
    {
        Beating& beating = shared.heartbeats[record];
        beating.guards.insert(&guard);
        if (!beating.heartbeat)
            beating.heartbeat = std::make_unique<GitGuardHeartbeat>(GitGuardHeartbeat::fileOf(record));
    }

    // Stops the heartbeat, and waits for its thread, once no guard of the record is left. The caller
    // holds the registry's lock, which the thread never takes.
    void releaseHeartbeat(Registry& shared, const fs::path& record, const GitGuard& guard) noexcept
    {
        auto beating = shared.heartbeats.find(record);
        if (beating == shared.heartbeats.end())
            return;
        beating->second.guards.erase(&guard);
        if (beating->second.guards.empty())
            shared.heartbeats.erase(beating);
    }
    // The outermost of `places` that holds `path`, from where it is reached (`BeneathPlaces::reach`).
    std::optional<fs::path> outermostPlace(const fs::path& path, const std::vector<fs::path>& places)
    {
        std::optional<fs::path> outermost;
        for (const auto& place : places) {
            if (isStandardizedPathInside(path, place)
                && (!outermost || isStandardizedPathInside(*outermost, place)))
                outermost = place;
        }
        return outermost;
    }

    // Whether `unit`, noted beneath `before`, would be noted the same beneath `now`: each of its Git
    // folder, work tree and configured paths is reached from the same place. A link of a hook's chain
    // may lead beneath a place that the earlier run did not have, so a unit with one is noted again.
    bool notedAlikeBeneath(const NotedUnit& unit, const std::vector<fs::path>& named,
        const std::vector<fs::path>& before, const std::vector<fs::path>& now)
    {
        std::vector<fs::path> roots = named;
        for (const auto& root : { unit.gitFolder, unit.workTree }) {
            if (root)
                roots.push_back(*root);
        }
        return std::all_of(roots.begin(), roots.end(), [&](const fs::path& root) {
            return outermostPlace(root, before) == outermostPlace(root, now);
        }) && std::none_of(unit.files.begin(), unit.files.end(), [](const auto& file) {
            return file.second.kind == Kind::link;
        });
    }

    // What a unit is known to hold without being noted again, when it can be: absent to note it.
    using KeptUnit
        = std::function<std::optional<NotedUnit>(const NotedUnit& bare, const std::vector<fs::path>& named)>;

    struct UnitToHold {
        NotedUnit noted;
        // What Git's configuration named, and the folders its hooks put first on PATH: a unit is taken
        // as kept only where these are as they were.
        std::vector<fs::path> named;
    };

    // The units a guard notes, each once.
    std::vector<UnitToHold> notedUnits(const std::vector<GuardedRepository>& repositories,
        const std::vector<fs::path>& gitFiles, const std::vector<fs::path>& othersCommonDirs,
        const BeneathPlaces& places, const KeptUnit& kept)
    {
        std::vector<UnitToHold> units;
        std::set<fs::path> keys;
        auto add = [&](const std::optional<fs::path>& gitFolder, const std::optional<fs::path>& workTree,
                       const std::vector<fs::path>& named = {}, const std::vector<fs::path>& searched = {}) {
            NotedUnit unit { gitFolder, workTree, {}, {} };
            if (!keys.insert(unit.key()).second)
                return;
            const bool othersCommonDir = gitFolder
                && std::find(othersCommonDirs.begin(), othersCommonDirs.end(), *gitFolder)
                    != othersCommonDirs.end();
            // A unit noted with its "commondir" left to another is not taken for one that notes it.
            std::vector<fs::path> roots = named;
            roots.insert(roots.end(), searched.begin(), searched.end());
            auto known = othersCommonDir ? std::nullopt : kept(unit, roots);
            if (known && (!gitFolder || known->files.contains(*gitFolder / "commondir"))) {
                units.push_back({ std::move(*known), std::move(roots) });
                return;
            }
            unit = GitNotedFiles::noteUnit(gitFolder, workTree, places, named, searched);
            if (othersCommonDir)
                unit.files.erase(*gitFolder / "commondir");
            units.push_back({ std::move(unit), std::move(roots) });
        };
        for (const auto& repository : repositories) {
            add(repository.gitFolder, repository.workTree, repository.configured, repository.searchedFirst);
            for (const auto& linked : GitFolders::linkedFoldersOfGitFolder(repository.gitFolder).folders)
                add(linked, std::nullopt);
        }
        for (const auto& gitFile : gitFiles)
            add(std::nullopt, gitFile.parent_path());
        return units;
    }

}

GitGuard::GitGuard(const std::vector<GuardedRepository>& repositories, const std::vector<fs::path>& gitFiles,
    const std::vector<fs::path>& othersCommonDirs, Options options)
    : m_options(std::move(options))
    , m_places(m_options.places)
    , m_keptOff(m_options.keptOff)
{
    std::optional<std::string> unrecorded;
    try {
        // Taken as it was kept: what changed since was seen by the watch, and what Git's configuration
        // names and where it lies are as they were.
        auto kept
            = [&](const NotedUnit& bare, const std::vector<fs::path>& named) -> std::optional<NotedUnit> {
            fs::path key = bare.key();
            if (!m_options.unchangedSinceKept.contains(key))
                return std::nullopt;
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            auto held = shared.units.find(key);
            if (held == shared.units.end() || held->second.keptBy == 0 || held->second.gone
                || held->second.record != m_options.record || held->second.named != named
                || held->second.noted.gitFolder != bare.gitFolder
                || held->second.noted.workTree != bare.workTree
                || !notedAlikeBeneath(held->second.noted, named, held->second.noted.places, m_places.paths()))
                return std::nullopt;
            NotedUnit unit = held->second.noted;
            unit.places = m_places.paths();
            m_takenAsKept.insert(std::move(key));
            return unit;
        };
        std::vector<UnitToHold> units = notedUnits(repositories, gitFiles, othersCommonDirs, m_places, kept);
        m_keys.reserve(units.size());
        std::set<fs::path> holding;
        Registry& shared = registry();
        std::lock_guard lock(shared.lock);
        holdHeartbeat(shared, m_options.record, *this);
        // A Git folder an earlier run saw go is this run's to compare if it comes back; one back already
        // came back while no command ran, so it is the user's and is noted afresh.
        for (auto held = shared.units.begin(); held != shared.units.end();) {
            Presence now
                = !held->second.gone || held->second.runs > 0 || held->second.record != m_options.record
                ? Presence::beneathNoPlace
                : presence(held->second.noted, m_places);
            if (now == Presence::present) {
                held->second.gone = false;
                if (held->second.keptBy == 0) {
                    held = shared.units.erase(held);
                    continue;
                }
            }
            if (now == Presence::missing) {
                ++held->second.runs;
                holding.insert(held->first);
                m_keys.push_back(held->first);
            }
            ++held;
        }
        for (auto& unit : units) {
            fs::path key = unit.noted.key();
            if (holding.contains(key))
                continue;
            Held& held = shared.units[key];
            // What a live run noted is what the folder held before either's commands ran; what no run
            // holds is as this run found it or as it was kept.
            if (held.runs == 0) {
                held.noted = std::move(unit.noted);
                held.record = m_options.record;
                held.named = std::move(unit.named);
                held.gone = false;
            }
            ++held.runs;
            holding.insert(key);
            m_keys.push_back(std::move(key));
        }
        std::vector<NotedUnit>& keptOff = shared.keptOff[m_options.record][this];
        for (std::size_t index = 0; index < m_keptOff.folderCount(); ++index) {
            NotedUnit folder { std::nullopt, m_keptOff.folder(index), m_places.paths(), {} };
            for (const auto& name : m_keptOff.names(index))
                folder.files.emplace(m_keptOff.folder(index) / name, NotedFile {});
            keptOff.push_back(std::move(folder));
        }
        try {
            writeRecord(shared, m_options.record);
        } catch (const std::exception& error) {
            unrecorded = error.what();
        }
    } catch (const std::exception&) {
        // Out of memory: what was noted so far is guarded.
    }
    if (unrecorded)
        platform::logError("The record of what a run's Git repositories hold could not be written ("
            + *unrecorded
            + "); a change made there is put back during the run, but not after the program is killed.");
}

GitGuard::~GitGuard()
{
    logRemovedOlder(m_removedMovedAside.load());
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    releaseHeartbeat(shared, m_options.record, *this);
    if (auto guards = shared.keptOff.find(m_options.record); guards != shared.keptOff.end()) {
        guards->second.erase(this);
        if (guards->second.empty())
            shared.keptOff.erase(guards);
    }
    for (const auto& key : m_keys) {
        auto held = shared.units.find(key);
        if (held == shared.units.end() || --held->second.runs > 0)
            continue;
        // One that is gone stays in the record with what was noted, however many runs later it comes back.
        if (presence(held->second.noted, m_places) == Presence::missing)
            held->second.gone = true;
        else if (held->second.keptBy == 0)
            shared.units.erase(held);
    }
    try {
        writeRecord(shared, m_options.record);
    } catch (const std::exception&) {
        // The next start compares what the record still names, which is then unchanged.
    }
}

fs::path GitGuard::unitKey(std::size_t unit) const
{
    if (unit < m_keys.size())
        return m_keys[unit];
    return "kept off:" + m_keptOff.folder(unit - m_keys.size()).native();
}

void GitGuard::keepNoted(const std::vector<std::size_t>& units) const
{
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    for (std::size_t unit : units) {
        auto held = unit < m_keys.size() ? shared.units.find(m_keys[unit]) : shared.units.end();
        if (held != shared.units.end())
            ++held->second.keptBy;
    }
}

void GitGuard::forgetKept(const std::vector<fs::path>& keys)
{
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    for (const auto& key : keys) {
        auto held = shared.units.find(key);
        if (held != shared.units.end() && held->second.keptBy > 0 && --held->second.keptBy == 0
            && held->second.runs == 0 && !held->second.gone)
            shared.units.erase(held);
    }
}

GitGuard::Watched GitGuard::watched(std::size_t unit) const
{
    Watched watched;
    if (unit >= m_keys.size()) {
        if (unit < unitCount())
            watched.folders.emplace(
                m_keptOff.folder(unit - m_keys.size()), m_keptOff.names(unit - m_keys.size()));
        return watched;
    }
    Registry& shared = registry();
    std::lock_guard lock(shared.lock);
    auto held = unit < m_keys.size() ? shared.units.find(m_keys[unit]) : shared.units.end();
    if (held == shared.units.end())
        return watched;
    const NotedUnit& noted = held->second.noted;
    if (noted.gitFolder) {
        watched.folders[*noted.gitFolder].insert("hooks");
        auto& hooks = watched.folders[*noted.gitFolder / "hooks"];
        for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook))
            hooks.emplace(name);
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

std::vector<fs::path> GitGuard::compare(std::size_t unit)
{
    if (unit >= m_keys.size())
        return unit < unitCount() ? keepOff(unit - m_keys.size()) : std::vector<fs::path> {};
    try {
        NotedUnit noted;
        fs::path record;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            auto held = unit < m_keys.size() ? shared.units.find(m_keys[unit]) : shared.units.end();
            if (held == shared.units.end())
                return {};
            noted = held->second.noted;
        }
        Settled settled
            = settle(noted, m_places, m_options.settings, m_options.clock, [](const fs::path& gitFolder) {
                  Registry& shared = registry();
                  std::lock_guard lock(shared.lock);
                  return shared.units.contains(gitFolder);
              });
        m_removedMovedAside += settled.removedOlder;
        if (!settled.accepted.empty()) {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            if (auto held = shared.units.find(m_keys[unit]); held != shared.units.end()) {
                for (auto& [path, file] : settled.accepted)
                    held->second.noted.files.insert_or_assign(path, std::move(file));
                try {
                    writeRecord(shared, held->second.record);
                } catch (const std::exception&) {
                    // The record keeps the earlier state; the next start then puts back no more than
                    // what counts against it.
                }
            }
        }
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: the next event or comparison tries again.
        return {};
    }
}

std::vector<fs::path> GitGuard::keepOff(std::size_t index)
{
    try {
        const fs::path& folder = m_keptOff.folder(index);
        std::vector<Undone> undone;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            for (const auto& name : m_keptOff.names(index)) {
                if (auto done
                    = undo(m_places, folder / name, {}, GitNotedFiles::maxCopiedBytes, m_options.clock)) {
                    done->keptOff = true;
                    undone.push_back(std::move(*done));
                }
            }
        }
        Settled settled;
        report(undone, settled);
        m_removedMovedAside += settled.removedOlder;
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: the next event or comparison tries again.
        return {};
    }
}

std::vector<fs::path> GitGuard::compareAll()
{
    std::vector<fs::path> moved;
    for (std::size_t unit = 0; unit < unitCount(); ++unit) {
        auto some = compare(unit);
        moved.insert(moved.end(), some.begin(), some.end());
    }
    return moved;
}

void GitGuard::restoreLeftBehind(
    const fs::path& record, const GitCountedSettings::Reader& settings, const Clock& clock)
{
    try {
        GitNotedFiles::Decoded read;
        GitNotedFiles::Decoded keptOff;
        // What the killed runs noted: a repository inside one of theirs that none noted came during them.
        std::set<fs::path> recorded;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            // A write the killed process had begun, which no other can be doing while the lock is held.
            removeTemporaryLeftovers(record.parent_path(),
                [name = record.filename().native(), keptOffName = keptOffRecordOf(record).filename().native(),
                    beat = GitGuardHeartbeat::fileOf(record).filename().native()](std::string_view target) {
                    return target == name || target == keptOffName || target == beat;
                });
            read = GitNotedFiles::decoded(readPrivateFile(record, kRecordBytesLimit));
            keptOff = GitNotedFiles::decoded(readPrivateFile(keptOffRecordOf(record), kRecordBytesLimit));
            if (auto guards = shared.keptOff.find(record); guards != shared.keptOff.end()) {
                for (const auto& [guard, folders] : guards->second)
                    std::erase_if(keptOff.units, [&](const NotedUnit& unit) {
                        return std::find(folders.begin(), folders.end(), unit) != folders.end();
                    });
            }
            for (const auto& unit : read.units)
                recorded.insert(unit.key());
            std::erase_if(
                read.units, [&](const NotedUnit& unit) { return shared.units.contains(unit.key()); });
        }
        if (read.damaged || keptOff.damaged)
            platform::logError("The record of what the last runs' Git repositories held, " + record.string()
                + ", is damaged; what could be read of it is put back, and a change in the rest stays.");
        const auto commandsEndedBy = GitGuardHeartbeat::commandsEndedBy(GitGuardHeartbeat::fileOf(record));
        std::map<std::vector<fs::path>, BeneathPlaces> opened;
        std::vector<NotedUnit> missing;
        std::size_t removedOlder = 0;
        for (auto& unit : read.units) {
            const BeneathPlaces& places = opened.try_emplace(unit.places, unit.places).first->second;
            removedOlder += settle(
                unit, places, settings, clock,
                [&](const fs::path& gitFolder) { return recorded.contains(gitFolder); }, commandsEndedBy)
                                .removedOlder;
            if (presence(unit, places) == Presence::missing)
                missing.push_back(std::move(unit));
        }
        for (const auto& unit : keptOff.units) {
            const BeneathPlaces& places = opened.try_emplace(unit.places, unit.places).first->second;
            removedOlder += keepOffAfterKill(unit, places, clock, commandsEndedBy);
        }
        logRemovedOlder(removedOlder);
        Registry& shared = registry();
        std::lock_guard lock(shared.lock);
        for (auto& unit : missing)
            shared.units.try_emplace(unit.key(), Held { 0, std::move(unit), record, {}, 0, true });
        writeRecord(shared, record);
    } catch (const std::exception&) {
        // Out of memory, or the record cannot be replaced: the next start tries again.
    }
}

}
