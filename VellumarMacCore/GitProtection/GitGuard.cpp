#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
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
    // The lock also serialises every move aside and put back, which only touch files, so that two runs
    // never undo the same change twice.
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

    // A name in the folder no one else picks, for a file made whole before it takes its real name.
    std::string preparedName(const std::string& name)
    {
        static std::atomic<unsigned> counter = 0;
        return "." + name + ".put-back-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    // Puts `noted` at `name` in the open folder, made whole under another name first and then renamed
    // without replacing anything, or over what is there when `replacing`. False when there is nothing to
    // put back or it cannot be.
    bool putBack(int folderFD, const std::string& name, const NotedFile& noted, bool replacing = false)
    {
        if (noted.kind != Kind::file && noted.kind != Kind::link)
            return false;
        const std::string prepared = preparedName(name);
        bool made = false;
        if (noted.kind == Kind::link) {
            made = ::symlinkat(noted.content.c_str(), folderFD, prepared.c_str()) == 0;
        } else {
            FileDescriptor file(::openat(
                folderFD, prepared.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            made = file.get() >= 0;
            for (std::size_t written = 0; made && written < noted.content.size();) {
                ssize_t count
                    = ::write(file.get(), noted.content.data() + written, noted.content.size() - written);
                made = count > 0;
                written += made ? static_cast<std::size_t>(count) : 0;
            }
            made = made && ::fchmod(file.get(), noted.mode) == 0;
        }
        if (made
            && ::renameat2(
                   folderFD, prepared.c_str(), folderFD, name.c_str(), replacing ? 0 : RENAME_NOREPLACE)
                == 0)
            return true;
        ::unlinkat(folderFD, prepared.c_str(), 0);
        return false;
    }

    // What one move aside did, for its log line.
    struct Undone {
        fs::path path;
        MovedAside moved;
        Kind noted = Kind::absent;
        bool putBack = false;
        // The file had other hard links, which keep the change: only this name was replaced or removed.
        bool replacedShared = false;
        // The settings or the hook that counted, when there is more to say than the path.
        std::string reason;
        // The older files moved aside from the same name that were removed.
        std::size_t removedOlder = 0;
        // A name kept off (`KeptOffNames`), where nothing was.
        bool keptOff = false;
    };

    bool keptACopy(Kind kind) { return kind == Kind::file || kind == Kind::link; }

    std::string logLine(const Undone& undone)
    {
        std::string line = undone.path.string()
            + (undone.keptOff
                    ? " appeared during a Claude Code run, where direnv, an editor, Claude Code or"
                      " Git would act on it later"
                    : " changed during a Claude Code run in a way that could make Git run a program")
            + (undone.reason.empty() ? "" : " (" + undone.reason + ")") + "; ";
        if (undone.replacedShared) {
            if (!undone.putBack)
                return line + "it could not be put back.";
            return line + "the change stays at the file's other hard links, and "
                + (keptACopy(undone.noted) ? "what the run found was put back at this name."
                                           : "this name, which the run did not find, was removed.");
        }
        if (!undone.moved.name)
            return line + "it could not be moved aside ("
                + std::generic_category().message(undone.moved.error) + ").";
        line += "the change was moved aside as " + (undone.path.parent_path() / *undone.moved.name).string();
        if (undone.putBack)
            return line + ", and what the run found there was put back.";
        if (undone.noted == Kind::absent)
            return line + "; there was none when the run started.";
        return line
            + (keptACopy(undone.noted) ? ", but what the run found there could not be put back."
                                       : ", and nothing could be put back (the run kept no copy of it).");
    }

    // Gives the open folder its owner's write permission back when a command took it away, so that
    // the guard can act in it: what commands made in the user's folders is the user's. True when it did.
    bool madeWritable(int folderFD, const fs::path& folder)
    {
        struct stat status { };
        if (::fstat(folderFD, &status) != 0 || status.st_uid != ::geteuid() || (status.st_mode & S_IWUSR))
            return false;
        FileDescriptor open(::openat(folderFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (open.get() < 0 || ::fchmod(open.get(), (status.st_mode & 07777) | S_IWUSR) != 0)
            return false;
        platform::logError(folder.string()
            + " had been made read-only during a Claude Code run; its owner's write permission was given back"
              " so that a change there could be undone.");
        return true;
    }

    // Undoes the change at `path`, reached beneath a place, when it still differs from `noted`: moves it
    // aside and puts `noted` back. A file with other hard links is not moved, since moved aside it would
    // be made private under all its names: this name is replaced or removed, and the change stays at the
    // others. The caller holds the registry's lock.
    std::optional<Undone> undo(const BeneathPlaces& places, const fs::path& path, const NotedFile& noted,
        std::size_t copyLimit, const GitGuard::Clock& clock)
    {
        auto reached = places.reach(path);
        if (!reached || reached->folder.get() < 0 || reached->throughLink)
            return std::nullopt;
        NotedFile now = GitNotedFiles::noteReached(*reached, copyLimit);
        if (now == noted || now.kind == Kind::absent)
            return std::nullopt;
        const int folder = reached->folder.get();
        const std::string& name = reached->name;
        madeWritable(folder, path.parent_path());
        struct stat status { };
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
            && status.st_nlink > 1) {
            bool replaced = keptACopy(noted.kind) ? putBack(folder, name, noted, true)
                                                  : ::unlinkat(folder, name.c_str(), 0) == 0;
            return Undone { path, {}, noted.kind, replaced, true };
        }
        Undone undone { path, moveAside(folder, name, GitGuard::refusedLabel, clock()), noted.kind };
        if (undone.moved.name) {
            undone.putBack = putBack(folder, name, noted);
            undone.removedOlder = removeOlderMovedAside(
                folder, *undone.moved.name, GitGuard::refusedLabel, GitGuard::keptMovedAside);
        }
        return undone;
    }

    struct Settled {
        std::vector<fs::path> moved;
        // The changes that do not count, by path: what later changes compare with.
        std::map<fs::path, NotedFile> accepted;
        std::size_t removedOlder = 0;
    };

    bool isMovedAside(const fs::path& path)
    {
        return isMovedAsideName(path.filename().native(), GitGuard::refusedLabel);
    }

    void logRemovedOlder(std::size_t removed)
    {
        if (removed > 0)
            platform::logError(std::to_string(removed) + " older moved-aside files (\"."
                + GitGuard::refusedLabel + "-\") were removed; the newest "
                + std::to_string(GitGuard::keptMovedAside) + " of each name are kept.");
    }

    // Whether the change from `before` to `after` at `path` could make Git run something: absent when it
    // cannot, else what counted (the settings, or the hook), empty where the path says it all.
    std::optional<std::string> counts(const NotedUnit& noted, const fs::path& path, const NotedFile& before,
        const NotedFile& after, const GitCountedSettings::Reader& settings)
    {
        if (after == before || after.kind == Kind::absent)
            return std::nullopt;
        // A new folder runs nothing itself: what it holds is judged. In a folder Git's configuration
        // names, every new entry counts, as nothing beneath a new one is noted to judge.
        if (before.kind == Kind::absent && after.kind == Kind::other && !noted.isNamedEntry(path))
            return std::nullopt;
        // So too a folder that comes where Git's configuration names one that was not there, and a folder
        // a hook puts first on PATH, made or swapped: each entry there is judged.
        if ((before.kind == Kind::namedAbsent && after.kind == Kind::namedFolder)
            || (before.kind == Kind::searchedFolder && after.kind == Kind::searchedFolder))
            return std::nullopt;
        if (noted.isHook(path))
            return "the hook " + path.filename().string()
                + (before.kind == Kind::absent ? " was added" : " changed");
        // A configuration that was not there reads as an empty one.
        if (!noted.isConfiguration(path) || (before.kind != Kind::file && before.kind != Kind::absent)
            || after.kind != Kind::file)
            return std::string();
        return GitCountedSettings::judged(settings, before.content, after.content);
    }

    // Whether what is at `path` now, reached beneath a place, last changed after `instant`, by its
    // status-change time, which the kernel alone sets. Never a folder: its time moves with every entry
    // anyone makes in it.
    bool changedAfter(const BeneathPlaces& places, const fs::path& path, std::chrono::nanoseconds instant)
    {
        auto reached = places.reach(path);
        struct stat status { };
        if (!reached || reached->throughLink || reached->folder.get() < 0
            || ::fstatat(reached->folder.get(), reached->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0
            || S_ISDIR(status.st_mode))
            return false;
        return std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec)
            > instant;
    }

    std::string usersChangeLine(const fs::path& path, const std::string& reason)
    {
        return path.string()
            + " changed after the program was killed during a Claude Code run, later than"
              " the run's commands could still write"
            + (reason.empty() ? "" : " (" + reason + ")") + "; it is the user's own change and stays.";
    }

    // Logs each change undone and adds where it went to `settled`.
    void report(const std::vector<Undone>& undone, Settled& settled)
    {
        for (const auto& done : undone) {
            settled.removedOlder += done.removedOlder;
            platform::logError(logLine(done));
            if (done.moved.name)
                settled.moved.push_back(done.path.parent_path() / *done.moved.name);
            else if (done.replacedShared && done.putBack)
                settled.moved.push_back(done.path);
        }
    }

    bool isBelow(const fs::path& path, const std::vector<fs::path>& folders)
    {
        return std::any_of(folders.begin(), folders.end(),
            [&](const fs::path& folder) { return path != folder && isPathInside(path, folder); });
    }

    // Compares the unit with what is there now, reached beneath the places alone, and undoes what
    // counts; with `isGuarded`, also what came in the repositories inside it that no run noted. A folder
    // noted by its identity that changed, or a link met on the way that was not noted, is itself the
    // change: what lies beyond it is not looked at. With `commandsEndedBy`, a file or link of the unit's
    // own, but its configuration, that changed later than that is left as it is, with a log line.
    Settled settle(const NotedUnit& noted, const BeneathPlaces& places,
        const GitCountedSettings::Reader& settings, const GitGuard::Clock& clock,
        const std::function<bool(const fs::path&)>& isGuarded = nullptr,
        std::optional<std::chrono::nanoseconds> commandsEndedBy = std::nullopt)
    {
        Settled settled;
        // By path, each folder before what it holds: what was noted there, and what counted.
        std::map<fs::path, std::pair<NotedFile, std::string>> counted;
        std::vector<fs::path> ends;
        auto judge = [&](const fs::path& path, const NotedFile& before, const NotedFile& after) {
            if (auto reason = counts(noted, path, before, after, settings)) {
                counted.try_emplace(path, before, std::move(*reason));
                ends.push_back(path);
            } else if (after != before && after.kind != Kind::absent) {
                settled.accepted.emplace(path, after);
            }
        };
        auto look = [&](const fs::path& path, const NotedFile& before) {
            if (isBelow(path, ends))
                return;
            auto reached = places.reach(path);
            if (!reached)
                return;
            // A link that was noted leads where it led; its own comparison and its end's tell the rest.
            if (reached->throughLink) {
                if (!noted.files.contains(reached->path) && !isBelow(reached->path, ends)) {
                    counted.try_emplace(reached->path, NotedFile {}, "a folder on the way is a link");
                    ends.push_back(reached->path);
                }
                return;
            }
            judge(path, before, GitNotedFiles::noteInUnit(noted, path, *reached));
        };
        // Each folder before what it holds.
        for (const auto& [path, before] : noted.files)
            look(path, before);
        // A hook that is new; a file a new hook link leads to is nobody's change.
        if (noted.gitFolder) {
            for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook)) {
                fs::path hook = *noted.gitFolder / "hooks" / std::string(name);
                if (!noted.files.contains(hook))
                    look(hook, NotedFile {});
            }
        }
        // An entry that is new, but for what was moved aside there: any in a folder Git's configuration
        // names, and one named as a program of the user's in a folder a hook puts first on PATH.
        for (const auto& [path, before] : noted.files) {
            if ((!before.isNamed() && before.kind != Kind::searchedFolder) || isBelow(path, ends))
                continue;
            for (const auto& name : before.isNamed()
                    ? GitNotedFiles::entriesBeneath(places, path)
                    : GitNotedFiles::shadowingEntriesBeneath(noted, places, path)) {
                fs::path entry = path / name;
                if (!noted.files.contains(entry) && !isMovedAside(entry))
                    look(entry, NotedFile {});
            }
        }
        // What came in an inner repository is judged against an empty one, whoever made it.
        std::set<fs::path> inner;
        if (isGuarded) {
            for (auto& found : InnerRepositories::counted(noted, isGuarded, settings)) {
                inner.insert(found.path);
                counted.try_emplace(std::move(found.path), NotedFile {}, std::move(found.reason));
            }
        }
        if (counted.empty())
            return settled;
        std::vector<Undone> undone;
        std::vector<std::string> usersChanges;
        {
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            for (auto& [path, judged] : counted) {
                if (commandsEndedBy && !inner.contains(path) && !noted.isConfiguration(path)
                    && changedAfter(places, path, *commandsEndedBy)) {
                    usersChanges.push_back(usersChangeLine(path, judged.second));
                    continue;
                }
                if (auto done = undo(places, path, judged.first, noted.copyLimit(path), clock)) {
                    done->reason = std::move(judged.second);
                    undone.push_back(std::move(*done));
                }
            }
        }
        for (const auto& line : usersChanges)
            platform::logError(line);
        report(undone, settled);
        return settled;
    }

    // Whether the unit's Git folder, or its ".git" file, is gone from beneath the places: the record
    // then keeps what was noted, to compare it with if it comes back during a run.
    // Moves aside what came at the names `folder` keeps off, as a run's guard does, but what came later
    // than `commandsEndedBy`, which is the user's; how many older moved-aside files were removed.
    std::size_t keepOffAfterKill(const NotedUnit& folder, const BeneathPlaces& places,
        const GitGuard::Clock& clock, std::optional<std::chrono::nanoseconds> commandsEndedBy)
    {
        std::vector<Undone> undone;
        for (const auto& [path, nothing] : folder.files) {
            if (commandsEndedBy && changedAfter(places, path, *commandsEndedBy)) {
                platform::logError(usersChangeLine(path, ""));
                continue;
            }
            Registry& shared = registry();
            std::lock_guard lock(shared.lock);
            if (auto done = undo(places, path, nothing, GitNotedFiles::maxCopiedBytes, clock)) {
                done->keptOff = true;
                undone.push_back(std::move(*done));
            }
        }
        Settled settled;
        report(undone, settled);
        return settled.removedOlder;
    }

    enum class Presence { beneathNoPlace, present, missing };
    Presence presence(const NotedUnit& unit, const BeneathPlaces& places)
    {
        auto reached = places.reach(unit.key());
        if (!reached)
            return Presence::beneathNoPlace;
        return reached->throughLink
                || GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes).kind == Kind::absent
            ? Presence::missing
            : Presence::present;
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
