// Five-field cron expressions (minute hour day month weekday) and the search for their fire times.
#pragma once

#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// A parsed expression. Fields hold numbers, commas, ranges "a-b" and steps "/n" only: no names,
// no "?", "L" or "W". A day is due when its month matches and, when both the day-of-month and the
// weekday field are restricted, either of them matches (otherwise both must).
struct RoutineCron {
    // The five fields joined by single spaces.
    std::string expression;
    // Ascending.
    std::vector<int> minutes;
    std::vector<int> hours;
    std::set<int> days;
    std::set<int> months;
    // 0 is Sunday; a 7 in the expression is stored as 0.
    std::set<int> weekdays;
    // The day-of-month field is not exactly "*" ("*/2" is restricted).
    bool dayRestricted = false;
    bool weekdayRestricted = false;

    // nullopt for anything that is not a valid expression, including texts over
    // RoutineLimits::maxCronLength bytes. Never throws.
    static std::optional<RoutineCron> parse(std::string_view expression);

    // The first fire time at or after the start of the minute that follows `after`, searched over
    // at most 1830 days; nullopt when there is none in that window. Never throws.
    std::optional<RoutineDate> nextDate(RoutineDate after, const icu::TimeZone& zone) const;

    // True when 48 successive fire times from `from` exist and no two consecutive ones are closer
    // than RoutineLimits::minimumIntervalMinutes.
    bool respectsMinimumInterval(RoutineDate from, const icu::TimeZone& zone) const;

    friend bool operator==(const RoutineCron&, const RoutineCron&) = default;
};

}
