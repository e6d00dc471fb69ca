// How the guard settles what changed in a unit since it was noted: what counts as a change that could
// make Git run something is put back, what is the user's own after a kill stays, and which units are
// gone is told.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>

namespace vellumar::GitGuardComparison {

// Compares the unit with what is there now, reached beneath the places alone, and undoes what
// counts (`GitGuardPutBack::undo`, under the lock of `liveRuns`). `isGuarded` tells the Git folders known
// before the run, and `isWritable` the paths where a command could write, for where a remote that is a
// local path may lead (`GitCountedSettings::Repository`). A folder noted by its identity that changed,
// or a link met on the way that was not noted, is itself the change: what lies beyond it is not looked at.
// `run` is the run settling, which bounds its floods of one name; where it is null, this is the next start
// after a kill, which puts back a noted file whose name is empty (a put-back the kill cut short) and, with
// `commandsEndedBy`, leaves a file or link of the unit's own, but its configuration, that changed later
// than that as it is, with a log line. A file that differs from what was noted but that `isBeingWritten`
// says its writer is not done with, read after it, is neither undone nor taken as it is: its bytes may
// be cut short. A Git folder not at its name but found at another (`GitFolderWhereabouts`) is compared
// there where nothing took its name; where something did, the two trade names in one step, and what took
// it then goes aside, so that no kill leaves the name empty; the same for its "hooks" where something
// took their name; and two that traded names trade them back.
GitGuardPutBack::Settled settle(LiveRuns& liveRuns, const GitNotedFiles::NotedUnit& noted,
    const BeneathPlaces& places, const GitCountedSettings::Reader& settings, const GitGuardPutBack::Clock& clock,
    const std::function<bool(const std::filesystem::path&)>& isGuarded,
    const std::function<bool(const std::filesystem::path&)>& isWritable, KeptMovedAside::InRun* run,
    std::optional<std::chrono::nanoseconds> commandsEndedBy = std::nullopt,
    const std::function<bool(const std::filesystem::path&)>& isBeingWritten = nullptr);

// Moves aside each of `counted` (what `NewGitFolders::counted` and `StoppedSequences::counted` found), what
// is to take its place put there, as `settle` undoes a change: under the lock of `liveRuns`, each with its
// log line and what counted, and leaves what the user changed after a kill as `settle` does.
GitGuardPutBack::Settled settleCounted(LiveRuns& liveRuns, std::vector<NewGitFolders::Counted> counted,
    const BeneathPlaces& places, const NewGitFolders::Judging& judging, const GitGuardPutBack::Clock& clock,
    KeptMovedAside::InRun* run);

// Moves aside what came at the names `folder` keeps off, as a run's guard does, but what came later
// than `commandsEndedBy`, which is the user's. Returns whether something there stayed
// (`GitGuardPutBack::Undone::stayed`).
bool keepOffAfterKill(LiveRuns& liveRuns, const GitNotedFiles::NotedUnit& folder, const BeneathPlaces& places,
    const GitGuardPutBack::Clock& clock, std::optional<std::chrono::nanoseconds> commandsEndedBy);

// Whether the unit's Git folder, or its ".git" file, is gone from beneath the places: what was noted
// of it is then kept, to compare it with if it comes back during a run. By the unit's key
// (`GitNotedFiles::NotedUnit::key`), which names the one or the other.
enum class Presence { beneathNoPlace, present, missing };
Presence presence(const std::filesystem::path& key, const BeneathPlaces& places);

}
