// The bounds that every part of the routines shares: how many, how long, how often.
#pragma once

#include <cstdint>

namespace vellumar::RoutineLimits {

// An inclusive range of whole numbers.
struct ClosedRange {
    std::int64_t lowest;
    std::int64_t highest;

    constexpr bool contains(std::int64_t value) const noexcept { return lowest <= value && value <= highest; }
};

// Routines per Mac.
inline constexpr int maxRoutines = 20;
// Characters (grapheme clusters) of a routine name.
inline constexpr int maxNameLength = 40;
// Characters of a routine prompt.
inline constexpr int maxPromptLength = 2000;
// Allowed "hours" of an interval schedule.
inline constexpr ClosedRange intervalHours { 1, 168 };
// Characters of a cron expression.
inline constexpr int maxCronLength = 100;
// Least gap between two fire times of a cron schedule.
inline constexpr int minimumIntervalMinutes = 30;
// Scheduled runs per 86400 seconds.
inline constexpr int maxScheduledRunsPerDay = 48;
// Result entries kept.
inline constexpr int keptResults = 200;
// Characters of a result's reply text.
inline constexpr int maxResultText = 8000;

}
