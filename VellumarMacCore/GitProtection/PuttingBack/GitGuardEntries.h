// How the guard's units, the names it keeps off and its writable places are held in the registry of live
// runs (`LiveRuns`): a unit keyed by its Git folder or ".git" file, a name kept off by its path, each
// with what was noted as its payload (`GitNotedFiles::encoded`), the places it lies beneath included,
// and a place by its path, with the time its first guard began to note, where the next start acts after
// a kill.
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

// A writable place (as the kernel resolves it) held by a guard built at `built`.
LiveRuns::Entry placeEntryOf(const std::filesystem::path& place, const timespec& built);
// When the place's first guard began to note; the epoch where the payload cannot be read, so that a
// damaged record leaves nothing that changed during the run unjudged.
timespec builtOf(std::string_view payload);

}
