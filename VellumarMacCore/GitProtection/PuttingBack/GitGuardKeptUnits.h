// What the watches kept between runs know of the units they look at (`GitGuard::keepNoted`): a cache of
// what was noted, which lets the next run take a unit as it was kept rather than note it again. It is
// not part of the record of live runs (`LiveRuns`): once no run holds a unit, what changes there while
// no command runs is the user's, and nothing of it is put back after a kill. Any thread.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <filesystem>
#include <optional>
#include <vector>

namespace vellumar::GitGuardKeptUnits {

// Counts one watch more in on the unit, now as `noted`, its entry in the registry of live runs
// (`GitGuardEntries::entryOf`), with what Git's configuration named and the folders its hooks put first
// on PATH (`named`), under the registry in `liveRuns`.
void keep(const LiveRuns::Entry& noted, const std::filesystem::path& liveRuns,
    const std::vector<std::filesystem::path>& named);
// Counts one watch out on each; the last lets go of the unit.
void forget(const std::vector<std::filesystem::path>& keys);
// Brings a unit kept up to its entry when its last run ended.
void refresh(const LiveRuns::Entry& noted);
bool contains(const std::filesystem::path& key);

// Whether `unit`, noted beneath `before` with what Git's configuration named and its hooks put first on
// PATH (`named`), would be noted the same beneath `now`: each of its Git folder, work tree and `named` is
// reached from the same place. A link of a hook's chain may lead beneath a place that the earlier run did
// not have, so a unit with one is noted again.
bool notedAlikeBeneath(const GitNotedFiles::NotedUnit& unit, const std::vector<std::filesystem::path>& named,
    const std::vector<std::filesystem::path>& before, const std::vector<std::filesystem::path>& now);

// The unit kept as `bare` (by its Git folder and work tree) would be noted, to take it as it was kept:
// where it lay under the same registry with the same `named`, and would be noted alike beneath
// `places`, its places then `places`. Absent to note it afresh.
std::optional<GitNotedFiles::NotedUnit> taken(const GitNotedFiles::NotedUnit& bare,
    const std::filesystem::path& liveRuns, const std::vector<std::filesystem::path>& named,
    const std::vector<std::filesystem::path>& places);

}
