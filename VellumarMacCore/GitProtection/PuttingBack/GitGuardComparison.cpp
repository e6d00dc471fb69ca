#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardComparison.h"

#include "Platform/Log.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/GitProtection/Judging/SettingsTakenOut.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>

namespace vellumar::GitGuardComparison {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using GitNotedFiles::NotedUnit;
    using Kind = NotedFile::Kind;
    using namespace GitGuardPutBack;

    constexpr std::string_view kGitCannotRead
        = "it is no regular file, which Git would wait on or fail to read";
    constexpr std::string_view kTooLargeToJudge = "it is larger than the 64 MB the guard judges";
    static_assert(GitNotedFiles::maxConfigurationBytes == 64 * 1024 * 1024);

    // Whether the change from `before` to `after` at `path` could make Git run something: absent when it
    // cannot, else what counted (the settings, or the hook), empty where the path says it all.
    std::optional<std::string> counts(const NotedUnit& noted, const fs::path& path, const NotedFile& before,
        const NotedFile& after, const GitCountedSettings::Repository& repository)
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
        if (noted.isHead(path))
            return GitNotedFiles::gitReadsAsHead(after) ? std::nullopt
                                                        : std::optional<std::string>(kGitCannotRead);
        if (noted.isHook(path))
            return "the hook " + path.filename().string()
                + (before.kind == Kind::absent ? " was added" : " changed");
        if (!noted.isConfiguration(path))
            return std::string();
        if (after.kind == Kind::large)
            return std::string(kTooLargeToJudge);
        if (after.kind != Kind::file)
            return std::string(kGitCannotRead);
        // A configuration that was not there reads as an empty one.
        if (before.kind != Kind::file && before.kind != Kind::absent)
            return std::string();
        return GitCountedSettings::judged(before.content, after.content, repository);
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

    // Whether Git runs what is at `path` only as a program (`Undone::runOnlyAsProgram`).
    bool runOnlyAsProgram(const NotedUnit& noted, const fs::path& path)
    {
        auto folder = noted.files.find(path.parent_path());
        return noted.isHook(path)
            || (folder != noted.files.end() && folder->second.kind == Kind::searchedFolder);
    }

    // The configuration `now` without the settings that count against `before`, as a command's new Git
    // folder's takes its place; nothing where Git cannot read either, or no such file is left.
    NotedFile withoutWhatCounted(
        const NotedFile& before, const NotedFile& now, const GitCountedSettings::Repository& repository)
    {
        if (!repository.settings)
            return {};
        auto was = before.kind == Kind::file ? repository.settings(before.content)
                                             : std::optional<std::string>("");
        auto is = now.kind == Kind::file && was ? repository.settings(now.content) : std::nullopt;
        if (!is)
            return {};
        const auto settingsBefore = GitCountedSettings::settingsOf(*was);
        auto kept = SettingsTakenOut::withoutCounted(now.content,
            GitCountedSettings::countedKeys(settingsBefore, GitCountedSettings::settingsOf(*is), repository),
            settingsBefore, repository);
        return kept ? NotedFile { Kind::file, std::move(kept->configuration), now.mode } : NotedFile {};
    }

    bool isBelow(const fs::path& path, const std::vector<fs::path>& folders)
    {
        return std::any_of(folders.begin(), folders.end(),
            [&](const fs::path& folder) { return path != folder && isPathInside(path, folder); });
    }

}

namespace {

    // Undoes the change at `path`, as `undo` does; where it took the place of the unit's hooks folder,
    // found elsewhere, the user's hooks come back to their name instead (`broughtBack`), so that their
    // pre-commit does not silently stop running.
    std::optional<Undone> undoneAt(LiveRuns::Locked& locked, const fs::path& dataFolder,
        const NotedUnit& noted, const fs::path& path, const NotedFile& before, const BeneathPlaces& places,
        const GitGuardPutBack::Clock& clock, KeptMovedAside::InRun* run, bool& broughtAFolderBack,
        const MadeFromNow& withoutWhatCounted)
    {
        auto found = noted.gitFolder && path == *noted.gitFolder / "hooks"
            ? GitFolderWhereabouts::elsewhere(dataFolder, noted, path, places)
            : std::nullopt;
        if (found
            && GitFolderWhereabouts::tradedBack(locked, dataFolder, noted, path, *found, places, clock)) {
            broughtAFolderBack = true;
            return std::nullopt;
        }
        if (auto done = found
                ? GitFolderWhereabouts::broughtBack(locked, dataFolder, *found, path, places, clock)
                : std::nullopt) {
            broughtAFolderBack = true;
            return done;
        }
        auto done = undo(
            dataFolder, places, path, before, noted.copyLimit(path), clock, run, nullptr, withoutWhatCounted);
        // Where the two cannot trade, the user's hooks follow what took their name.
        if (found && done && done->moved.name && GitFolderWhereabouts::movedBack(*found, places))
            broughtAFolderBack = true;
        return done;
    }

    // Compares the unit where it was noted, as `settle` does once its Git folder is at its name.
    Settled settledAtItsName(LiveRuns& liveRuns, const NotedUnit& noted, const BeneathPlaces& places,
        const GitCountedSettings::Reader& settings, const GitGuardPutBack::Clock& clock,
        const std::function<bool(const fs::path&)>& isGuarded,
        const std::function<bool(const fs::path&)>& isWritable, KeptMovedAside::InRun* run,
        std::optional<std::chrono::nanoseconds> commandsEndedBy,
        const std::function<bool(const fs::path&)>& isBeingWritten, bool& broughtAFolderBack,
        bool* movedMeanwhile = nullptr)
    {
        Settled settled;
        // By path, each folder before what it holds: what was noted there, and what counted.
        std::map<fs::path, std::pair<NotedFile, std::string>> counted;
        std::vector<fs::path> ends;
        // A remote that is a local path is plain where it leads into a Git folder the guard knew, or
        // outside every writable place.
        const GitCountedSettings::Repository repository { noted.gitFolder.value_or(fs::path()),
            noted.workTree, isGuarded, settings, isWritable };
        auto judge = [&](const fs::path& path, const NotedFile& before, const NotedFile& after) {
            // After a kill, an empty name may be a put-back cut short: the record's copy goes back.
            if (!run && after.kind == Kind::absent
                && (before.kind == Kind::file || before.kind == Kind::link)) {
                counted.try_emplace(path, before, std::string());
                ends.push_back(path);
            } else if (auto reason = counts(noted, path, before, after, repository)) {
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
            NotedFile after = GitNotedFiles::noteInUnit(noted, path, *reached);
            // Asked once read, so that a write begun before the read shows: a rewrite that truncates first
            // would go aside half written, the same bytes then written into what went aside. A link or a
            // folder is made whole at once.
            if (after != before && (after.kind == Kind::file || after.kind == Kind::large) && isBeingWritten
                && isBeingWritten(path))
                return;
            // Git moving a work tree's Git folder writes the ".git" file at its name after the move: one
            // finished since the caller found the folder at neither name leads to it, and nothing here is
            // judged until it is compared where it is.
            if (movedMeanwhile && path == noted.gitFolder && after.kind == Kind::file
                && GitFolderWhereabouts::elsewhere(liveRuns.folder(), noted, path, places)) {
                *movedMeanwhile = true;
                ends.push_back(path);
                return;
            }
            judge(path, before, after);
        };
        // Each folder before what it holds.
        for (const auto& [path, before] : noted.files)
            look(path, before);
        if (movedMeanwhile && *movedMeanwhile)
            return settled;
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
                if (!noted.files.contains(entry) && !MovedAsideByGuard::isOne(liveRuns.folder(), entry))
                    look(entry, NotedFile {});
            }
        }
        if (counted.empty())
            return settled;
        std::vector<Undone> undone;
        std::vector<std::string> usersChanges;
        {
            auto locked = liveRuns.locked();
            for (auto& [path, judged] : counted) {
                if (commandsEndedBy && !noted.isConfiguration(path)
                    && changedAfter(places, path, *commandsEndedBy)) {
                    usersChanges.push_back(usersChangeLine(path, judged.second));
                    continue;
                }
                MadeFromNow without = nullptr;
                if (noted.isConfiguration(path))
                    without = [&before = judged.first, &repository](const NotedFile& now) {
                        return withoutWhatCounted(before, now, repository);
                    };
                auto done = undoneAt(locked, liveRuns.folder(), noted, path, judged.first, places, clock, run,
                    broughtAFolderBack, without);
                if (done) {
                    done->reason = std::move(judged.second);
                    done->runOnlyAsProgram = runOnlyAsProgram(noted, path);
                    undone.push_back(std::move(*done));
                }
            }
        }
        // Each is told of what went aside, which a command may have written again since it was read.
        for (auto& done : undone) {
            auto wentAside
                = counts(noted, done.path, counted.at(done.path).first, done.wentAside, repository);
            if (wentAside && !wentAside->empty())
                done.reason = std::move(*wentAside);
        }
        for (const auto& line : usersChanges)
            platform::logError(line);
        report(undone, settled);
        return settled;
    }

    void merge(Settled& into, Settled&& from)
    {
        into.moved.insert(into.moved.end(), std::make_move_iterator(from.moved.begin()),
            std::make_move_iterator(from.moved.end()));
        for (auto& [path, file] : from.accepted)
            into.accepted.insert_or_assign(path, std::move(file));
    }

    // `settle`; once more where what is at the Git folder's name came to lead to it meanwhile, when
    // `mayLookAgain`.
    Settled settledWherever(LiveRuns& liveRuns, const NotedUnit& noted, const BeneathPlaces& places,
        const GitCountedSettings::Reader& settings, const GitGuardPutBack::Clock& clock,
        const std::function<bool(const fs::path&)>& isGuarded,
        const std::function<bool(const fs::path&)>& isWritable, KeptMovedAside::InRun* run,
        std::optional<std::chrono::nanoseconds> commandsEndedBy,
        const std::function<bool(const fs::path&)>& isBeingWritten, bool mayLookAgain)
    {
        auto atItsName = [&](const NotedUnit& unit, bool* movedMeanwhile = nullptr) {
            bool broughtAFolderBack = false;
            Settled settled = settledAtItsName(liveRuns, unit, places, settings, clock, isGuarded, isWritable,
                run, commandsEndedBy, isBeingWritten, broughtAFolderBack, movedMeanwhile);
            // What lies in a folder brought back is compared there once it is back.
            if (broughtAFolderBack)
                merge(settled,
                    settledAtItsName(liveRuns, unit, places, settings, clock, isGuarded, isWritable, run,
                        commandsEndedBy, isBeingWritten, broughtAFolderBack));
            return settled;
        };
        auto found = noted.gitFolder
            ? GitFolderWhereabouts::elsewhere(liveRuns.folder(), noted, *noted.gitFolder, places)
            : std::nullopt;
        if (found) {
            auto locked = liveRuns.locked();
            if (GitFolderWhereabouts::tradedBack(
                    locked, liveRuns.folder(), noted, *noted.gitFolder, *found, places, clock))
                found.reset();
        }
        if (!found) {
            bool movedMeanwhile = false;
            Settled settled = atItsName(noted, mayLookAgain ? &movedMeanwhile : nullptr);
            return movedMeanwhile ? settledWherever(liveRuns, noted, places, settings, clock, isGuarded,
                       isWritable, run, commandsEndedBy, isBeingWritten, false)
                                  : settled;
        }
        auto reached = places.reach(*noted.gitFolder);
        if (found->namedFromItsName
            || (reached && !reached->throughLink
                && GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes).kind
                    == Kind::absent)) {
            // Moved, with nothing at its name or a ".git" file there that leads to it: compared where it is
            // now, what did not count noted at the names the unit keeps.
            Settled moved = atItsName(GitFolderWhereabouts::movedUnit(noted, found->from, found->moved));
            std::map<fs::path, NotedFile> accepted;
            for (auto& [path, file] : moved.accepted)
                accepted.emplace(
                    GitFolderWhereabouts::movedPath(path, found->moved, found->from), std::move(file));
            moved.accepted = std::move(accepted);
            moved.comparedElsewhere = found->now;
            return moved;
        }
        // The user's Git folder trades places with what took its name, which then goes aside.
        std::optional<Undone> back;
        {
            auto locked = liveRuns.locked();
            back = GitFolderWhereabouts::broughtBack(
                locked, liveRuns.folder(), *found, *noted.gitFolder, places, clock);
        }
        if (back) {
            Settled settled = atItsName(noted);
            report({ *back }, settled);
            return settled;
        }
        // Where the two cannot trade, what took the name goes aside first.
        Settled settled = atItsName(noted);
        bool movedBack = false;
        {
            auto locked = liveRuns.locked();
            movedBack = GitFolderWhereabouts::movedBack(*found, places);
        }
        if (movedBack)
            merge(settled, atItsName(noted));
        return settled;
    }

}

Settled settle(LiveRuns& liveRuns, const NotedUnit& noted, const BeneathPlaces& places,
    const GitCountedSettings::Reader& settings, const GitGuardPutBack::Clock& clock,
    const std::function<bool(const fs::path&)>& isGuarded,
    const std::function<bool(const fs::path&)>& isWritable, KeptMovedAside::InRun* run,
    std::optional<std::chrono::nanoseconds> commandsEndedBy,
    const std::function<bool(const fs::path&)>& isBeingWritten)
{
    return settledWherever(liveRuns, noted, places, settings, clock, isGuarded, isWritable, run,
        commandsEndedBy, isBeingWritten, true);
}

Settled settleCounted(LiveRuns& liveRuns, std::vector<NewGitFolders::Counted> counted,
    const BeneathPlaces& places, const NewGitFolders::Judging& judging, const GitGuardPutBack::Clock& clock,
    KeptMovedAside::InRun* run)
{
    std::vector<Undone> undone;
    std::vector<std::size_t> configurations; // of `undone`
    std::vector<std::string> usersChanges;
    for (auto& each : counted) {
        auto locked = liveRuns.locked();
        if (judging.commandsEndedBy && !each.isConfiguration
            && changedAfter(places, each.path, *judging.commandsEndedBy)) {
            usersChanges.push_back(usersChangeLine(each.path, each.reason));
            continue;
        }
        // What a command wrote meanwhile stays in its place too, but for what counted.
        MadeFromNow madeFromNow = nullptr;
        if (!each.takenOut.empty())
            madeFromNow = [&each](const NotedFile& now) { return NewGitFolders::keptOf(each, now); };
        if (auto done = undo(liveRuns.folder(), places, each.path, each.instead,
                each.isConfiguration ? GitNotedFiles::maxConfigurationBytes : GitNotedFiles::maxCopiedBytes,
                clock, run, madeFromNow, madeFromNow)) {
            done->reason = std::move(each.reason);
            done->putInstead = each.instead.kind != Kind::absent && !each.insteadIsNoted;
            done->unknownBefore = each.unknownBefore;
            done->settingsTakenOut = !each.takenOut.empty() && done->putBack;
            if (each.isConfiguration && done->wentAside.kind == Kind::file)
                configurations.push_back(undone.size());
            undone.push_back(std::move(*done));
        }
    }
    // Each configuration is told of what went aside, which a command may have written again since it
    // was judged.
    for (std::size_t index : configurations) {
        Undone& done = undone[index];
        if (auto judged
            = NewGitFolders::judgedAsItWentAside(done.path.parent_path(), done.path, done.wentAside, judging))
            done.reason = std::move(judged->reason);
    }
    for (const auto& line : usersChanges)
        platform::logError(line);
    Settled settled;
    report(undone, settled);
    return settled;
}

bool keepOffAfterKill(LiveRuns& liveRuns, const NotedUnit& folder, const BeneathPlaces& places,
    const GitGuardPutBack::Clock& clock, std::optional<std::chrono::nanoseconds> commandsEndedBy)
{
    std::vector<Undone> undone;
    for (const auto& [path, nothing] : folder.files) {
        if (commandsEndedBy && changedAfter(places, path, *commandsEndedBy)) {
            platform::logError(usersChangeLine(path, ""));
            continue;
        }
        auto locked = liveRuns.locked();
        if (auto done
            = undo(liveRuns.folder(), places, path, nothing, GitNotedFiles::maxCopiedBytes, clock, nullptr)) {
            done->keptOff = true;
            undone.push_back(std::move(*done));
        }
    }
    Settled settled;
    report(undone, settled);
    return anyStayed(settled.moved);
}

Presence presence(const fs::path& key, const BeneathPlaces& places)
{
    auto reached = places.reach(key);
    if (!reached)
        return Presence::beneathNoPlace;
    return reached->throughLink
            || GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes).kind == Kind::absent
        ? Presence::missing
        : Presence::present;
}

}
