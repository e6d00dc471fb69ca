// Puts back what could make Git run something in the repositories of a run's writable places: what a
// command (or anyone else) changed there during the run, the user's Git would otherwise run later,
// outside the sandbox. The sandbox cannot tell which process wrote, so every change it counts is
// undone: moved aside, never lost, and logged.
//
// A change counts when it could make Git run something: a new or changed hook (or a link on the way
// from a hook to the file it leads to, or that file), a new or changed file in what Git's configuration
// names (a new entry in a folder it names too), a new or changed "commondir" or ".git" file, and in a
// configuration file every setting added, changed or removed but those on the everyday list
// (`GitCountedSettings::judged`), and a new or changed entry of a folder a hook puts first on PATH whose
// name is one of the user's programs. A repository is known by what it is: a Git folder or its "hooks"
// that is now a link or another folder is itself the change, as is a ".git" file become a folder, and a
// work tree is known by its Git folder alone. A file removed runs nothing and stays removed; a Git
// folder gone is kept with what was noted, and compared with that if it comes back during a run. At the
// run's end every Git folder in the places is gone through (`sweep`): one noted is known by its identity
// wherever it moved, and one nobody noted is judged against an empty repository.
//
// Everything is read and undone beneath the run's writable places alone, from each place's folder
// opened once, through no link (`BeneathPlaces`): a folder a command swaps for a link sends nothing
// elsewhere, and what lies beneath no place, which no command can write, is left alone.
//
// The names kept off (`KeptOffNames`) are reached and moved aside the same way, whatever comes to be
// there: a file, a folder or a link, as it is.
//
// A process killed during a run cannot put anything back, so what each run noted is held in the registry
// of live runs (`LiveRuns`), in its record before the run starts, and the program's next start puts back
// from it. A change made there once the killed run's commands had ended is the user's own, and stays
// (`LiveRunsHeartbeat`).
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/Finding/CommandWriteWindows.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GuardedRepository.h"
#include "VellumarMacCore/GitProtection/Finding/KnownGitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"
#include "VellumarMacCore/GitProtection/PuttingBack/KeptMovedAside.h"
#include "VellumarMacCore/GitProtection/PuttingBack/KeptOffNames.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class GitGuard {
public:
    using Clock = GitGuardPutBack::Clock;

    static constexpr std::string_view refusedLabel = MovedAsideByGuard::refusedLabel;
    // The record in which older builds noted the units, in the data folder, read once by the first
    // start after an upgrade.
    static constexpr std::string_view olderRecordName = "git-guard";

    struct Options {
        // The run's writable places: the guard notes, compares and acts beneath them alone, reaching
        // each path from the place's folder opened once, through no link.
        std::vector<std::filesystem::path> places;
        // The folder of the registry of live runs (`LiveRuns::in`): the data folder.
        std::filesystem::path liveRuns;
        GitCountedSettings::Reader settings;
        Clock clock = std::chrono::system_clock::now;
        // Paths that must not come to exist during the run (`KeptOffNames`): whatever appears at one
        // goes aside whole. Each folder holding some is one more unit, after the repositories'.
        std::vector<std::filesystem::path> keptOff = {};
        // The units that a watch kept on them since an earlier run ended saw no change in, by key
        // (`GitGuardWatch::unchangedSinceKept`): taken as that run left them instead of noted again,
        // where they were noted with the same configured paths beneath the same places.
        std::set<std::filesystem::path> unchangedSinceKept = {};
        // The folders the hooks put first on PATH at the work tree of each of the ".git" files given whose
        // Git folder lies outside every place (`GitRepositories::Protection::searchedFirstOfGitFiles`).
        std::map<std::filesystem::path, std::vector<std::filesystem::path>> searchedFirstOfGitFiles = {};
    };

    // Notes the files of each repository's Git folder, of the linked folders of its work tree
    // (`GitFoldersInPlaces::linkedGitFolders`, however many) and its work tree's ".git", and of each ".git"
    // file in `gitFiles` (`GitNotedFiles::noteUnit`). Where another run of this process noted a Git folder or
    // ".git" file already, this one takes what that run noted, which is what the folder held before either's
    // commands ran. One an earlier run, of this process or before its start, noted from files whose stamps
    // are all as they were is taken as noted then (`GitGuardStampedUnits`); what is noted anew is kept so.
    // The "commondir" of each of `othersCommonDirs` is left to whoever holds it: a placeholder
    // (`CommonDirPlaceholders`), which the sandbox keeps and the run removes, or Claude Code in its working
    // directory's Git folder. Everything noted is in the record before this returns, or the failure is
    // logged. Reads the disk; never throws.
    GitGuard(const std::vector<GuardedRepository>& repositories,
        const std::vector<std::filesystem::path>& gitFiles,
        const std::vector<std::filesystem::path>& othersCommonDirs, Options options);
    // Lets go of what this run noted, and of its places; the record then names what the other runs hold,
    // and what this run could not settle: a unit whose last comparison ran out of memory or found a
    // change that stayed (`MovedChange::stayed`), with what was noted of it, the names kept off where
    // something stayed, and the places where the sweep did, for the next start to try again.
    ~GitGuard();
    GitGuard(const GitGuard&) = delete;
    GitGuard& operator=(const GitGuard&) = delete;

    // How many Git folders and ".git" files this guard notes, and folders it keeps names off.
    std::size_t unitCount() const noexcept { return m_keys.size() + m_keptOff.folderCount(); }
    // The unit's key: a noted unit's among every run's (`NotedUnit::key`), absolute; a folder's that
    // keeps names off, one that names no file, since what it keeps off is this run's own.
    std::filesystem::path unitKey(std::size_t unit) const;
    // Whether the unit was taken from `Options::unchangedSinceKept` rather than noted.
    bool takenAsKept(std::size_t unit) const
    {
        return unit < m_keys.size() && m_takenAsKept.contains(m_keys[unit]);
    }

    // For a watch that stays on the noted units after the run (`GitGuardWatch::keep`): what was noted
    // of them stays known once no run holds them, out of the record of live runs, since what changes
    // while no command runs is the user's, until `forgetKept`. Any thread.
    void keepNoted(const std::vector<std::size_t>& units) const;
    // Lets go of what `keepNoted` kept, by key, for a watch that no longer looks at the units.
    static void forgetKept(const std::vector<std::filesystem::path>& keys);

    // What a watch of the unit looks at: each folder holding its noted files, with the names there that
    // matter (a name coming, going or renamed), and each noted file that is there, configuration and
    // hooks alike (a write through another hard link or through a link shows only on the file).
    struct Watched {
        std::map<std::filesystem::path, std::set<std::string>> folders;
        // Folders where every name matters: those Git's configuration names.
        std::vector<std::filesystem::path> wholeFolders;
        // Folders where each of Git's hook names matters (`WhatGitRuns::isHookName`): the Git folder's
        // "hooks", among `folders` too.
        std::vector<std::filesystem::path> hookFolders;
        std::vector<std::filesystem::path> files;
    };
    Watched watched(std::size_t unit) const;

    using MovedChange = GitGuardPutBack::MovedChange;

    // Compares the unit's files with what was noted and moves aside each change that counts as
    // "<name>.refused-<time>-<random>" (0600, 0700 where its owner could run it), putting back what was
    // noted, with one log line each; a change that does not count becomes what later changes compare with. A
    // file with other hard links is not moved (that would make it private under every name): what was noted
    // replaces it at this name, and the change stays at the others. Returns the changes moved aside, and each
    // name so replaced. A file that `isBeingWritten` says its writer is not done with is left for a later
    // comparison. One that runs out of memory counts as not made (`comparedAgainAtTheEnd`). Any thread, at
    // once with others. Never throws.
    std::vector<MovedChange> compare(
        std::size_t unit, const std::function<bool(const std::filesystem::path&)>& isBeingWritten = nullptr);
    // The same for every unit.
    std::vector<MovedChange> compareAll();
    // For the run's end, before its last comparisons: from now on it has `GitGuardSweep::judgingBound`,
    // for those comparisons and `sweep` together. A unit compared past it is closed unread instead
    // (`NewGitFolders::closedUnit`), so that no number or size of files a command left holds the end
    // longer than the bound and one unit's comparison past it. Called again, it changes nothing. Any
    // thread.
    void endBegins();
    // The units, by key, whose last comparison no watch can vouch for, for the run's end to compare
    // again: it ran out of memory, found the Git folder at another name, where nothing the unit notes is
    // watched, or found a change that stayed, which no event need show again (a unit the record kept so
    // counts as one from the start). Any thread.
    std::vector<std::filesystem::path> comparedAgainAtTheEnd() const;

    // Judges Git folders found in the places. One this run noted at another name (it or a folder above
    // it renamed) is compared with what was noted of it, carried over to its new name, and stays noted
    // at its old one; one known before this run began (`KnownGitFolders`) that another run holds or a
    // watch keeps is left to it. Any other is new, and what counts in it against an empty repository
    // (`NewGitFolders`), changed when a command of any run could write there (`CommandWriteWindows`), is
    // moved aside as `compare` moves a change (`GitGuardSweep::swept`). What the guard moved aside is
    // skipped, as is a unit at its own name and a Git folder in `comparedElsewhere`. Returns what went
    // aside. Any thread; never throws.
    std::vector<MovedChange> judge(const std::vector<GitFoldersInPlaces::Found>& found,
        const std::set<std::filesystem::path>& comparedElsewhere = {});
    // For the run's end, after `compareAll`: judges every Git folder in the places
    // (`GitFoldersInPlaces::found`, the whole walk), but for one a unit's last comparison found at
    // another name and compared there, as `compareAll` has just done. During the run such a folder is
    // judged again, since the unit's watch looks at its old names. Then, and only then, the stopped
    // sequences of every Git folder found are judged too, a unit's at its own name included
    // (`StoppedSequences`), what Git could wait on in it (`UnreadableEntries`), and the programs in the
    // folders its hooks put first on PATH (`HookPathEntries`); a Git folder it comes to past
    // `GitGuardSweep::judgingBound` from the end's start (`endBegins`, or else its own) is closed unread
    // instead. Where the Git folders cannot be
    // listed or judged (out of memory), each place is told as not looked through (`MovedChange::Stayed`), and
    // the places stay in the record for the next start to go through. Any thread; never throws.
    std::vector<MovedChange> sweep();

    // For the program's start, before its first run: compares what the registry of live runs in
    // `liveRuns` hands back as left behind (`LiveRuns::Locked::leftBehind`, an older build's record
    // included), and puts it back the same way; the record then names only what is held now. A
    // changed file or link whose status-change time is later than the killed runs' commands could write
    // (`LiveRunsHeartbeat::commandsEndedBy`) is the user's and stays, with a log line; a configuration
    // or a folder is put back whenever it changed, since the user's own Git rewrites a configuration
    // whole, a command's settings with it, and a folder's time moves with every entry made in it. Then
    // every Git folder in the places the killed runs held goes through what `sweep` does (a whole walk,
    // no record of the search written): one a killed run noted, at another name, is compared there, and
    // one no run noted is judged against an empty repository, what changed from the time the place's
    // first guard was built on, the user's later changes left as above. The killed runs' times of
    // writing are closed there (`CommandWriteWindows`). An older build's record holds no places. What
    // stays again stays in the record, for the next start and, a unit, for the next run of this process
    // that guards it. Never throws.
    static void restoreLeftBehind(const std::filesystem::path& liveRuns,
        const GitCountedSettings::Reader& settings, const Clock& clock = std::chrono::system_clock::now);

private:
    // Moves aside what is at the kept-off names of one folder, as `compare` does a unit's changes.
    std::vector<MovedChange> keepOff(std::size_t index);
    // How a unit's last comparison went: whether it ran out of memory, and where it found the Git folder
    // at another name and compared it.
    struct LastComparison {
        bool failed = false;
        std::optional<std::filesystem::path> elsewhere = std::nullopt;
        // A change it found stayed (`MovedChange::stayed`).
        bool stayed = false;
    };
    // Notes it, where memory allowed a place for the unit; moving `last` in allocates nothing.
    void lastCompared(std::size_t unit, LastComparison last);
    // The units' keys, and the unit this run noted by its Git folder's identity
    // (`GitFoldersInPlaces::Found::identity`), as the guard noted them.
    struct KnownUnits {
        std::map<std::string, std::size_t> byIdentity;
        std::set<std::filesystem::path> keys;
        // Every folder a unit notes as one its hooks put first on PATH: its comparison judges it.
        std::set<std::filesystem::path> putFirst;
    };
    const KnownUnits& knownUnits();
    // `judge`, or at the run's end the sweep's, which judges the stopped sequences, what Git could wait
    // on and the folders the hooks put first on PATH too, closes what it comes to after `judgedBy`, and
    // moves aside the folders its walk did not list (`GitGuardSweep::Options::unlisted`).
    enum class Moment { duringRun, runsEnd };
    std::vector<MovedChange> judgeAt(Moment moment, const std::vector<GitFoldersInPlaces::Found>& found,
        const std::set<std::filesystem::path>& comparedElsewhere, const NewGitFolders::Judging& judging,
        std::chrono::steady_clock::time_point judgedBy = std::chrono::steady_clock::time_point::max(),
        std::vector<std::filesystem::path> unlisted = {});
    // When a command of any run could write in each place, this run's and every live one's still open.
    CommandWriteWindows commandWriteWindows();
    // How what a command may have left is judged: by the Git folders known before this run, Git's
    // settings, and `commandWriteWindows`.
    NewGitFolders::Judging judging();
    // Keeps the unit's entry, which no run holds now, in the record, where a change it found stayed: the
    // next start compares it again with what was noted, as after a kill, and so does the next run of this
    // process that guards it (`tookStayed`).
    static void keepStayed(LiveRuns& registry, LiveRuns::Locked& locked, LiveRuns::Entry entry);
    // Whether the unit was kept by `keepStayed` in this process, and is no longer.
    static bool tookStayed(const LiveRuns& registry, const std::string& key);
    // Goes through the places as the next start does (`restoreLeftBehind`), where a sweep of a run that
    // has ended left a change standing and no run holds them now: what stayed in a Git folder nobody had
    // noted would otherwise be noted as the user's by the next run over the place. Returns what went
    // aside or stayed again. Never throws but for memory.
    static std::vector<MovedChange> sweepStayedPlaces(const std::filesystem::path& liveRuns,
        const std::vector<LiveRuns::Entry>& places, const GitCountedSettings::Reader& settings,
        const Clock& clock);

    Options m_options;
    LiveRuns::Run m_run;
    std::vector<std::filesystem::path> m_keys; // in the registry of live runs
    // By unit, what Git's configuration named and the folders its hooks put first on PATH, for
    // `keepNoted`.
    std::vector<std::vector<std::filesystem::path>> m_named;
    std::set<std::filesystem::path> m_takenAsKept;
    std::vector<std::string> m_keptOffKeys; // in the registry of live runs
    std::vector<std::string> m_placeKeys; // in the registry of live runs
    BeneathPlaces m_places;
    KeptOffNames m_keptOff;
    // What this run moved aside, to bound a flood of one name.
    KeptMovedAside::InRun m_movedInRun;
    // When the guard began to note, by the clock the kernel stamps a change from: this run's commands
    // can write from then on.
    timespec m_built {};
    // The Git folders some run noted before this run's commands could write.
    KnownGitFolders m_knownGitFolders;
    mutable std::mutex m_lastComparisonsLock;
    std::vector<LastComparison> m_lastComparisons; // by unit
    // The sweep could not judge everything, or what it judged stayed: the places stay in the record.
    std::atomic<bool> m_sweepStayed = false;
    // What going through the places an earlier run's sweep left standing moved aside or left standing
    // again as this run began (`sweepStayedPlaces`): told with what this run's sweep moves.
    std::vector<MovedChange> m_movedAtStart;
    // Past this, a unit is closed unread rather than compared (`endBegins`).
    std::atomic<std::chrono::steady_clock::time_point> m_judgedBy
        = std::chrono::steady_clock::time_point::max();
    std::mutex m_knownLock;
    std::optional<KnownUnits> m_known;
};

}
