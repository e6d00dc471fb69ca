// The state behind the routines and its one file, "routines.json": every routine record, the newest
// results, the number of the last result and the start times of recent scheduled runs.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// A plain value; its owner guards it.
struct RoutinesFile {
    // Beyond this the file is not read but kept aside: 20 routines and 200 results of 8000
    // characters fit many times over.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;

    std::map<std::string, JSON::Object, std::less<>> routines; // by routine id
    std::vector<JSON> results; // oldest first, at most RoutineLimits::keptResults
    std::int64_t seq { 0 };
    std::vector<RoutineDate> scheduledRuns;

    // The state of the file. A missing or empty file gives the empty state; a file that does not
    // decode or is too large, and a link or anything else that is not a regular file, also does, but
    // is first renamed aside ("routines.json.damaged-<UTC time>"), so that the next save keeps what it
    // held. Absent, after one log line, when the file cannot be opened or read just now (no
    // permission, no descriptors left): it is left as it is. Records without a routine id are dropped
    // one by one. Removes the temporary files of saves that were killed before their rename. Never
    // throws.
    static std::optional<RoutinesFile> load(const std::filesystem::path& file);

    // Replaces the file atomically with a private (0600) copy of the state; a failure is logged and
    // leaves the old file whole. Never throws.
    void save(const std::filesystem::path& file) const;

    // The records by "createdAt", oldest first; equal times keep the order of their ids.
    std::vector<const JSON::Object*> routinesByCreation() const;

    JSON json() const;
};

// A stored time in milliseconds: a whole number below 10^15 in magnitude, else nothing.
std::optional<std::int64_t> storedMillis(const JSON::Object& record, std::string_view key);

}
