// What the guard noted of its units, kept across the program's starts with the stamps of the files it
// noted, as Git's untracked cache keeps a folder's listing: the first run after a start takes a unit as
// it was kept, rather than reading every hook and configuration again, where none of its files changed
// since (the same identity, type, permissions, size, modification and status-change times, or still
// absent). What the user changed while the program was not running moves a stamp, so it is noted afresh
// as the user's. Where it cannot tell, the unit is noted afresh too: a stamp that cannot be read, a file
// changed within a second before it was noted, a kept file that cannot be read back whole, the wall
// clock set back since, or another boot. Any thread.
#pragma once

#include "VellumarMacCore/Foundations/LiveRunsHeartbeat.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitGuardStampedUnits {

// The private file in the program's data folder that keeps the units across its starts.
inline constexpr std::string_view keptFileName = "git-guard-stamped-units";
// Units kept at most; past it every unit is noted again.
inline constexpr std::size_t maxUnits = 100'000;

// A unit as a guard has just noted it: its key, and what is to be kept of it, encoded as its kept file
// holds it (`KeptBytes`), absent where it cannot be kept. Encoded at once, so that a guard noting
// thousands of units holds none of them whole until the last is noted.
struct Stamped {
    std::string key;
    std::optional<std::string> kept;
};

// `unit`, noted by a guard that began to note at `notingBegan` with what Git's configuration named and its
// hooks put first on PATH (`named`), with the stamp of each of its files now, reached beneath `places`
// through no link. Nothing is to be kept of it where a stamp cannot be read, a file changed within a
// second before `notingBegan` (a second write within one tick of the file system's clock would leave its
// stamp as it was) or its Git folder lies outside the places (its hooks were then followed by name).
// Never throws but for memory.
Stamped stamped(const GitNotedFiles::NotedUnit& unit, const std::vector<std::filesystem::path>& named,
    const BeneathPlaces& places, const LiveRunsHeartbeat::Beat& notingBegan);

// Keeps each of `units` for the registry of live runs in `liveRuns`; what was kept of one with nothing
// to keep goes, and of all of them where the wall clock was set back since `notingBegan`. Never throws
// but for memory.
void keep(std::vector<Stamped> units, const std::filesystem::path& liveRuns,
    const LiveRunsHeartbeat::Beat& notingBegan);

// The unit kept as `bare` (by its Git folder and work tree), as noting it now beneath `places` would
// note it: kept for `liveRuns` with the same `named`, noted alike beneath `places`
// (`GitGuardKeptUnits::notedAlikeBeneath`), each stamp as it was, the same search path for the user's
// programs where it noted a folder its hooks put first on PATH, and the wall clock not set back since it
// was noted, within the boot `now` was taken in. Its places are then `places`. The first call for
// `liveRuns` in the program's life reads what its file kept. Absent to note it afresh. Never throws but
// for memory.
std::optional<GitNotedFiles::NotedUnit> taken(const GitNotedFiles::NotedUnit& bare,
    const std::vector<std::filesystem::path>& named, const std::filesystem::path& liveRuns,
    const BeneathPlaces& places, const LiveRunsHeartbeat::Beat& now);

// Writes what is kept for `liveRuns` to its file, where a unit was kept since it was read or written. A
// failure only costs the next start's first run its noting again. Never throws.
void writeKept(const std::filesystem::path& liveRuns);

// Drops what this program kept and read, as a program start finds it, for tests.
void forgetAll();

}
