#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cmath>

namespace vellumar {

std::string timeZoneIdentifier(const icu::TimeZone& zone)
{
    icu::UnicodeString identifier;
    zone.getID(identifier);
    std::string text;
    identifier.toUTF8String(text);
    return text;
}

}

namespace vellumar::detail {

std::optional<ZonedCalendar> ZonedCalendar::make(const icu::TimeZone& zone)
{
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(zone, status);
    if (U_FAILURE(status))
        return std::nullopt;
    // The civil-date walk is proleptic Gregorian, so the calendar must not turn Julian before 1582.
    calendar->setGregorianChange(U_DATE_MIN, status);
    if (U_FAILURE(status))
        return std::nullopt;
    calendar->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
    calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    return ZonedCalendar(std::move(calendar));
}

ZonedCalendar::ZonedCalendar(std::unique_ptr<icu::GregorianCalendar> calendar)
    : m_calendar(std::move(calendar))
{
}

bool ZonedCalendar::withinReach(RoutineDate date) noexcept
{
    auto sinceEpoch = date.time_since_epoch();
    return -kReach <= sinceEpoch && sinceEpoch <= kReach;
}

bool ZonedCalendar::setInstant(RoutineDate date)
{
    if (!withinReach(date))
        return false;
    UErrorCode status = U_ZERO_ERROR;
    m_calendar->setTime(static_cast<UDate>(date.time_since_epoch().count()), status);
    return U_SUCCESS(status);
}

std::optional<RoutineDate> ZonedCalendar::instant()
{
    UErrorCode status = U_ZERO_ERROR;
    UDate milliseconds = m_calendar->getTime(status);
    if (U_FAILURE(status) || !std::isfinite(milliseconds))
        return std::nullopt;
    RoutineDate date { std::chrono::milliseconds(static_cast<std::int64_t>(std::floor(milliseconds))) };
    if (!withinReach(date))
        return std::nullopt;
    return date;
}

std::optional<CivilDate> ZonedCalendar::civilDate(RoutineDate date)
{
    if (!setInstant(date))
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    int year = m_calendar->get(UCAL_EXTENDED_YEAR, status);
    int month = m_calendar->get(UCAL_MONTH, status) + 1;
    int day = m_calendar->get(UCAL_DATE, status);
    if (U_FAILURE(status))
        return std::nullopt;
    return CivilDate { std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
        std::chrono::day(static_cast<unsigned>(day)) };
}

std::optional<RoutineDate> ZonedCalendar::startOfMinute(RoutineDate date)
{
    if (!setInstant(date))
        return std::nullopt;
    m_calendar->set(UCAL_SECOND, 0);
    m_calendar->set(UCAL_MILLISECOND, 0);
    return instant();
}

std::optional<RoutineDate> ZonedCalendar::wallTime(CivilDate date, int hour, int minute)
{
    if (!date.ok())
        return std::nullopt;
    m_calendar->clear();
    // The extended year counts 0 and below without eras, like the civil dates do.
    m_calendar->set(UCAL_EXTENDED_YEAR, static_cast<int>(date.year()));
    m_calendar->set(UCAL_MONTH, static_cast<int>(static_cast<unsigned>(date.month())) - 1);
    m_calendar->set(UCAL_DATE, static_cast<int>(static_cast<unsigned>(date.day())));
    m_calendar->set(UCAL_HOUR_OF_DAY, hour);
    m_calendar->set(UCAL_MINUTE, minute);
    return instant();
}

bool ZonedCalendar::dayExists(CivilDate date)
{
    auto start = wallTime(date, 0, 0);
    return start && civilDate(*start) == date;
}

std::optional<int> ZonedCalendar::weekday(RoutineDate date)
{
    if (!setInstant(date))
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    int value = m_calendar->get(UCAL_DAY_OF_WEEK, status);
    if (U_FAILURE(status))
        return std::nullopt;
    return value;
}

}
