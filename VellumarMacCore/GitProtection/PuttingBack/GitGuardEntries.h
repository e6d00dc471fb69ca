// How the guard's units, the names it keeps off and its writable places are held in the registry of live
// runs (`LiveRuns`): a unit keyed by its Git folder or ".git" file, a name kept off by its path, each
// with what was noted as its payload (`GitNotedFiles::encoded`), the places it lies beneath included,
// and a place by its path, with the times its first guard began to note and had noted, where the next
// start acts after a kill.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

namespace vellumar::GitGuardEntries {

LiveRuns::Entry entryOf(const GitNotedFiles::NotedUnit& unit);
// The name kept off at `path`, where nothing is to come, beneath `places`.
LiveRuns::Entry keptOffEntryOf(
    const std::filesystem::path& path, const std::vector<std::filesystem::path>& places);

// What the payload notes: of one cut short in a damaged record, the files read before the damage.
GitNotedFiles::NotedUnit unitOf(std::string_view payload);

// When a guard holding a place began to note (and its commands could write from), and the time the Git
// folders it knows were noted by (`KnownGitFolders::note`).
struct PlaceHeld {
    timespec built {};
    timespec knownFrom {};
};
// A writable place (as the kernel resolves it) held by a guard.
LiveRuns::Entry placeEntryOf(const std::filesystem::path& place, const PlaceHeld& held);
// What the place's first guard noted; the epoch for both where the payload cannot be read, so that a
// damaged record leaves nothing that changed during the run unjudged and no Git folder known. An older
// build's payload holds when it was built alone, and knew no Git folder.
PlaceHeld placeHeldOf(std::string_view payload);

}
