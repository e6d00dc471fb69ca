// Wall-clock arithmetic in one time zone for the schedule searches: the Gregorian calendar of ICU,
// with a skipped wall time moved to the next existing one and a repeated one taken first.
#pragma once

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vellumar {

// Whole milliseconds since 1970-01-01 00:00:00 UTC, the unit of every routine time.
using RoutineDate = std::chrono::sys_time<std::chrono::milliseconds>;

// The zone's IANA identifier as UTF-8, e.g. "Europe/Berlin".
std::string timeZoneIdentifier(const icu::TimeZone& zone);

}

namespace vellumar::detail {

// A day of the proleptic Gregorian calendar; walking from one to the next is plain arithmetic.
using CivilDate = std::chrono::year_month_day;

// Not shareable between threads: each search makes its own.
class ZonedCalendar {
public:
    // Schedules reach no further than this from 1970 in either direction; the calendar's own
    // arithmetic stays exact well past it, so no answer is ever clamped.
    static constexpr std::chrono::milliseconds kReach { 1'000'000'000'000'000 };

    // nullopt when ICU cannot build a calendar for the zone.
    static std::optional<ZonedCalendar> make(const icu::TimeZone& zone);

    static bool withinReach(RoutineDate date) noexcept;

    // The local day holding the instant; nullopt beyond reach.
    std::optional<CivilDate> civilDate(RoutineDate date);
    // The local start of the minute holding the instant.
    std::optional<RoutineDate> startOfMinute(RoutineDate date);
    // hour:minute:00 on the day. A time that the zone skips moves to the first existing instant after
    // it; a time that occurs twice is the earlier of the two.
    std::optional<RoutineDate> wallTime(CivilDate date, int hour, int minute);
    // False for a day that the zone skips whole, such as 2011-12-30 in Pacific/Apia.
    bool dayExists(CivilDate date);
    // Calendar weekday of the instant, Sunday 1 to Saturday 7.
    std::optional<int> weekday(RoutineDate date);

private:
    explicit ZonedCalendar(std::unique_ptr<icu::GregorianCalendar> calendar);

    bool setInstant(RoutineDate date);
    std::optional<RoutineDate> instant();

    std::unique_ptr<icu::GregorianCalendar> m_calendar;
};

}
