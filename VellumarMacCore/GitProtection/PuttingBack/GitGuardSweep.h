// What the guard does with every Git folder in the places once commands can write there no more, at a
// run's end and at the next start after a kill: one a run noted, found at another name (it or a folder
// above it renamed), is compared with what was noted of it there; one no run noted is judged against an
// empty repository; and in each, wherever it is and whoever noted it, a rebase, cherry-pick or revert
// left stopped is judged (`StoppedSequences`), what Git could wait on in it (`UnreadableEntries`), and the
// folders its hooks put first on PATH (`HookPathEntries`), also for one outside the places whose work tree
// lies in one.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitGuardSweep {

struct Options {
    // Whether the Git folder at this name is compared as the unit noted there, or was by the comparison
    // of a unit that found it there: it is passed over. Called from several threads at once.
    std::function<bool(const std::filesystem::path&)> isComparedHere;
    // What was noted of the Git folder with this identity (`GitFoldersInPlaces::Found::identity`),
    // where a unit compared here noted it. Called from several threads at once.
    std::function<std::optional<GitNotedFiles::NotedUnit>(const std::string& identity)> notedWithIdentity;
    // Whether a unit compared here notes this folder as one its hooks put first on PATH: passed over, as
    // its comparison judges it. Absent where none does.
    std::function<bool(const std::filesystem::path&)> isNotedPutFirst = nullptr;
    // Whether another compares the Git folder at this name with what it noted (a live run, or a watch
    // kept after one): one known before the run (`NewGitFolders::Judging::isKnownGitFolder`) is then
    // passed over. Absent where none does.
    std::function<bool(const std::filesystem::path&)> isComparedByAnother = nullptr;
    // `commandsEndedBy` also holds for one found at another name.
    NewGitFolders::Judging judging;
    GitGuardPutBack::Clock clock;
    // The run sweeping, which bounds its floods of one name; null at the next start after a kill.
    KeptMovedAside::InRun* run = nullptr;
    // When this is: what is judged only once commands can write no more is passed over during the run,
    // the stopped sequences (one a command may be going through changes at each of its steps) and the
    // folders the hooks put first on PATH (an install may be filling one).
    enum class Moment { duringRun, runsEnd };
    Moment moment = Moment::runsEnd;
    // At a run's end, what is judged is what began to be judged before this; a Git folder whose judging had
    // not begun by then, or whose walk (`UnreadableEntries`) was still going, is closed instead
    // (`NewGitFolders::closed`), and so are the hooks that put folders first on PATH that were not judged by
    // then (`HookPathEntries::closed`), so that no number of Git folders, files or configurations a command
    // left holds the end longer than the bound and one Git folder's judging past it.
    std::chrono::steady_clock::time_point judgedBy = std::chrono::steady_clock::time_point::max();
    // The folders the walk that found the Git folders came to past its bound and did not list
    // (`GitFoldersInPlaces::InPlaces::unlisted`): each goes aside whole, as what a command may have made.
    std::vector<std::filesystem::path> unlisted = {};
};

// How long a run's end judges the Git folders it found (`Options::judgedBy`): far past what a place of a
// thousand repositories takes on a busy machine. Tests may shorten it.
extern std::chrono::steady_clock::duration judgingBound;
// Why what the run's end closed past `judgingBound` went aside, for the log line and the bot: it had not
// come to `what`.
std::string pastTheBound(std::string_view what = "this Git folder");
// How long a whole walk of the places for their Git folders, at a run's end or a start after a kill, lists
// every folder it comes to (`GitRepositorySearch::ListingBound`): far past what a developer's folder of a
// million folders takes on a busy machine. Tests may shorten it.
extern std::chrono::steady_clock::duration listingBound;
// `GitRepositorySearch::ListingBound` from now: folders made while a command of a run in `windows` could
// write are listed for `listingBound` at most.
GitRepositorySearch::ListingBound listingBoundFromNow(const CommandWriteWindows& windows);

// Goes through `found` as above, what the guard moved aside passed over (`MovedAsideByGuard`), and moves
// aside what counts as `GitGuardComparison::settle` and `settleCounted` do, beneath `places`. What does
// not count in a Git folder
// found at another name is not taken: the unit stays noted as it was, at its name. Returns what went
// aside. Never throws but for memory.
std::vector<GitGuardPutBack::MovedChange> swept(LiveRuns& liveRuns,
    const std::vector<GitFoldersInPlaces::Found>& found, const BeneathPlaces& places, const Options& options);

}
