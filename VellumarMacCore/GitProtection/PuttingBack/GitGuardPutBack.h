// How the guard undoes a change: the change is moved aside beside its name, never lost, what was noted
// is put back in its place so that no instant, and so no kill, finds the name without the user's version
// or the record's copy of it, what is kept of the files moved aside is bounded (`KeptMovedAside`), and
// each undoing gets its log line.
#pragma once

#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/PuttingBack/KeptMovedAside.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitGuardPutBack {

// The time a change goes aside at, in its name.
using Clock = std::function<std::chrono::system_clock::time_point()>;

// A change undone: where it waits ("<name>.refused-<time>-<random>", or the name itself where what was
// noted replaced it in place), and what counted (the settings or the hook), empty where the name says it.
struct MovedChange {
    std::filesystem::path path;
    std::string reason;
    // Where the guard could not undo it, the change stays at `path`, its own name (where the Git
    // folders of a place could not be listed, `path` is the place): the user is to be told.
    struct Stayed {
        // What the log says of it, whole: the path, what counted, and what was done instead.
        std::string told;
        // The work tree holding it, or the Git folder where there is none, or else its folder.
        std::filesystem::path repository;
        // Not a change but a place (`path`) whose windows the record of when commands could write could
        // not take: everything there counts as written by commands at every time until it can.
        bool placeUnrecorded = false;

        friend bool operator==(const Stayed&, const Stayed&) = default;
    };
    std::optional<Stayed> stayed = std::nullopt;

    friend bool operator==(const MovedChange&, const MovedChange&) = default;
};

// What one move aside did, for its log line.
struct Undone {
    std::filesystem::path path;
    MovedAside moved;
    GitNotedFiles::NotedFile::Kind noted = GitNotedFiles::NotedFile::Kind::absent;
    bool putBack = false;
    // The file had other hard links, which keep the change: only this name was replaced or removed.
    bool replacedShared = false;
    // The name held nothing where a copy of what was noted was kept: that copy was put back.
    bool wasMissing = false;
    // What went aside, as read at the name just before: what counted is told of these bytes, which a
    // command may have written again since they were judged.
    GitNotedFiles::NotedFile wentAside = {};
    // What took the name's place is the configuration without the settings that counted, not what the
    // run found.
    bool settingsTakenOut = false;
    // The settings or the hook that counted, when there is more to say than the path.
    std::string reason;
    // The other files moved aside from the same name that were removed (`KeptMovedAside`): those that
    // held the same bytes, and the run's own past the bound of a flood.
    std::vector<std::string> removedSameBytes;
    std::vector<std::string> removedInFlood;
    // A name kept off (`KeptOffNames`), where nothing was.
    bool keptOff = false;
    // What was there when the run started is not known (`NewGitFolders::Counted::unknownBefore`).
    bool unknownBefore = false;
    // What was put back is what is to take the change's place (`NewGitFolders::Counted::instead`), not
    // what the run found there.
    bool putInstead = false;
    // What a change that stayed (`stayed`) is left as: a regular file, without execute permission.
    enum class StayedAs { asItIs, executeTaken, neverExecutable };
    StayedAs stayedAs = StayedAs::asItIs;
    // Git runs what is at the name only as a program, which needs an execute bit: one of Git's hooks in a
    // Git folder's "hooks", or an entry a hook's shell finds first on PATH. Anything else (a configuration,
    // a file the configuration names) Git may read, or hand to a shell, whatever its permission.
    bool runOnlyAsProgram = false;

    // Whether the change stays at its name: it could not be moved aside, nor was what was noted put
    // back in its place.
    bool stayed() const noexcept { return !moved.name && !putBack; }
};

// What undoing a unit's changes came to.
struct Settled {
    std::vector<MovedChange> moved;
    // The changes that do not count, by path: what later changes compare with.
    std::map<std::filesystem::path, GitNotedFiles::NotedFile> accepted;
    // Where the unit's Git folder was compared, found at another name with nothing at its own.
    std::optional<std::filesystem::path> comparedElsewhere;
};

// Undoes the change at `path`, reached beneath a place, when it still differs from `noted`: what was
// noted takes the name's place and the change goes aside in one step (`exchangeAside`), or where there
// is no copy to put back, the change goes aside alone; a name that holds nothing gets the copy of what
// was noted back. Where neither can be done (`Undone::stayed`), a regular file there loses its execute
// permission, through the open folder and no link, which keeps every byte: Git runs no hook without it,
// nor a shell a program on PATH; what Git reads, a configuration, it still reads. A file with other hard
// links is not moved, since moved aside it would be made private under all its names: this name is replaced
// or removed, and the change stays at the others. The folder gets its owner's permission back first
// (`BeneathPlaces::ownerMayAct`). `run` bounds a flood within a run; absent at the next start after a kill,
// which is no run. The caller holds the lock of the registry of live runs (`LiveRuns::locked`), so that two
// runs never undo the same change twice. What goes aside is noted in `dataFolder` as the guard's own
// (`MovedAsideByGuard`). What takes a name's place made from what is there just before it goes aside, where
// what was judged a moment before may have been written again: a configuration without the settings that
// counted. `withoutWhatCounted` makes that of a configuration that can neither go aside nor be traded (a file
// system without hard links that refuses renameat2's flags): it then replaces the change, which keeps
// everything else, rather than the change staying.
using MadeFromNow = std::function<GitNotedFiles::NotedFile(const GitNotedFiles::NotedFile& now)>;
std::optional<Undone> undo(const std::filesystem::path& dataFolder, const BeneathPlaces& places,
    const std::filesystem::path& path, const GitNotedFiles::NotedFile& noted, std::size_t copyLimit,
    const Clock& clock, KeptMovedAside::InRun* run, const MadeFromNow& madeFromNow = nullptr,
    const MadeFromNow& withoutWhatCounted = nullptr);

// Logs each change undone and adds where it went, with what counted, to `settled`; one that stayed is
// added at its own name, with what the log says of it and the repository holding it.
void report(const std::vector<Undone>& undone, Settled& settled);

// Whether any of `moved` stayed: the record is to keep what was noted, for the next start to try again.
bool anyStayed(const std::vector<MovedChange>& moved);

// Logs that the Git folders in each of `places` could not be gone through, for `why`, so that what
// commands left there is not judged, and tells each place as a change that stayed. Never throws: where
// memory for the words is lacking too, fewer are told.
std::vector<MovedChange> notLookedThrough(
    const std::vector<std::filesystem::path>& places, std::string_view why) noexcept;

// The instants within a put-back where a kill must lose nothing of the user's: the copy of what was
// noted made beside the change, the two traded in place, a folder of the user's traded back to its
// name with what took it (`GitFolderWhereabouts::broughtBack`), and each step taken of a trade where the
// file system cannot trade in one.
enum class Step { copyMade, traded, folderTraded, tradeStepTaken };
// Called at each `Step` of every put-back where set: for a test, in a process of its own, to stop it
// there.
extern void (*stepSeam)(Step);
// Calls `stepSeam` where set.
void reachedStep(Step step);

}
