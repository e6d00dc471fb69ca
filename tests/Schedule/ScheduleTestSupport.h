// Dates and zones for the schedule suites, written out by hand so that expectations do not lean on
// the calendar code under test.
#pragma once

#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace vellumar::test {

// y-m-d h:mi:s UTC, plus milliseconds.
inline RoutineDate utc(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0,
    int milliseconds = 0)
{
    using namespace std::chrono;
    return RoutineDate { sys_days { std::chrono::year(year) / month / day } + hours(hour) + minutes(minute)
        + seconds(second) + std::chrono::milliseconds(milliseconds) };
}

inline std::unique_ptr<icu::TimeZone> zone(const std::string& identifier)
{
    return std::unique_ptr<icu::TimeZone>(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(identifier)));
}

// "2025-03-30 01:00:00.000", readable in failure messages; "none" for an absent date.
inline std::string describe(const std::optional<RoutineDate>& date)
{
    if (!date)
        return "none";
    auto seconds = std::chrono::floor<std::chrono::seconds>(*date);
    std::time_t time = seconds.time_since_epoch().count();
    std::tm civil {};
    char text[64];
    auto length = std::strftime(text, sizeof text, "%F %T", gmtime_r(&time, &civil));
    std::snprintf(
        text + length, sizeof text - length, ".%03lld", static_cast<long long>((*date - seconds).count()));
    return text;
}

}
