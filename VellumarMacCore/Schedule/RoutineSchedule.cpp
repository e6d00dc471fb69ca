#include "VellumarMacCore/Schedule/RoutineSchedule.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"

#include <algorithm>
#include <initializer_list>

namespace vellumar {

namespace {

    using detail::ZonedCalendar;

    // Nine days always reach the next listed weekday, whatever a clock change does to one of them.
    constexpr int kDailySearchDays = 9;

    constexpr std::string_view kKindMessage = "schedule must be daily, weekly, interval or cron.";
    constexpr std::string_view kTimeMessage = "schedule.time must be HH:MM.";
    constexpr std::string_view kDaysMessage = "schedule.days must list mon to sun, each once.";
    constexpr std::string_view kHoursMessage = "schedule.hours must be 1 to 168.";
    constexpr std::string_view kExpressionMessage
        = "schedule.expr must be five cron fields (minute hour day month weekday).";
    constexpr std::string_view kFrequencyMessage = "Routines on this Mac run at most every 30 minutes.";

    [[noreturn]] void refuse(std::string_view message)
    {
        throw RelayHTTPError::badRequest(std::string(message));
    }

    bool hasExactlyMembers(const JSON::Object& object, std::initializer_list<std::string_view> names)
    {
        return object.size() == names.size()
            && std::all_of(names.begin(), names.end(), [&](auto name) { return object.contains(name); });
    }

    // One field of an "HH:MM" time: an optional '+' or '-', then one or more ASCII digits and nothing
    // else, so "+5" is 5 and "-0" is 0 (the caller refuses what is out of range); no blanks, no
    // other digits.
    std::optional<int> signedDecimal(std::string_view text)
    {
        bool negative = false;
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            negative = text.front() == '-';
            text.remove_prefix(1);
        }
        if (text.empty())
            return std::nullopt;
        int value = 0;
        for (char digit : text) {
            if (digit < '0' || digit > '9')
                return std::nullopt;
            value = value * 10 + (digit - '0');
        }
        return negative ? -value : value;
    }

    std::string twoDigits(int value)
    {
        std::string text = std::to_string(value);
        return text.size() < 2 ? "0" + text : text;
    }

    std::string canonicalTime(int hour, int minute) { return twoDigits(hour) + ":" + twoDigits(minute); }
    std::string labelTime(int hour, int minute) { return std::to_string(hour) + ":" + twoDigits(minute); }

    int weekdayIndex(std::string_view name)
    {
        auto found = std::find(RoutineSchedule::weekdays.begin(), RoutineSchedule::weekdays.end(), name);
        return found == RoutineSchedule::weekdays.end()
            ? -1
            : static_cast<int>(found - RoutineSchedule::weekdays.begin());
    }

    // Calendar weekday (Sunday 1 to Saturday 7) of a name of the table.
    int calendarWeekday(std::string_view name) { return (weekdayIndex(name) + 1) % 7 + 1; }

    std::pair<int, int> parseTimeMember(const JSON::Object& object)
    {
        auto time = RoutineSchedule::parseTime(object.find("time")->second);
        if (!time)
            refuse(kTimeMessage);
        return *time;
    }

    std::vector<std::string> parseDays(const JSON& value)
    {
        const auto* elements = value.arrayValue();
        if (!elements || elements->empty())
            refuse(kDaysMessage);
        std::array<bool, 7> listed {};
        for (const auto& element : *elements) {
            const auto* name = element.stringValue();
            int index = name ? weekdayIndex(*name) : -1;
            if (index < 0 || listed[static_cast<std::size_t>(index)])
                refuse(kDaysMessage);
            listed[static_cast<std::size_t>(index)] = true;
        }
        std::vector<std::string> days;
        for (std::size_t index = 0; index < listed.size(); ++index) {
            if (listed[index])
                days.emplace_back(RoutineSchedule::weekdays[index]);
        }
        return days;
    }

    RoutineSchedule::Value parseValue(const JSON& json, RoutineDate now, const icu::TimeZone& zone)
    {
        const auto* object = json.objectValue();
        const auto* kind = object ? json.subscript("kind") : nullptr;
        const auto* kindName = kind ? kind->stringValue() : nullptr;
        if (!kindName)
            refuse(kKindMessage);
        if (*kindName == "daily" && hasExactlyMembers(*object, { "kind", "time" })) {
            auto [hour, minute] = parseTimeMember(*object);
            return RoutineSchedule::Daily { hour, minute };
        }
        if (*kindName == "weekly" && hasExactlyMembers(*object, { "kind", "days", "time" })) {
            auto [hour, minute] = parseTimeMember(*object);
            return RoutineSchedule::Weekly { parseDays(object->find("days")->second), hour, minute };
        }
        if (*kindName == "interval" && hasExactlyMembers(*object, { "kind", "hours" })) {
            auto hours = object->find("hours")->second.intValue();
            if (!hours || !RoutineLimits::intervalHours.contains(*hours))
                refuse(kHoursMessage);
            return RoutineSchedule::Interval { static_cast<int>(*hours) };
        }
        if (*kindName == "cron" && hasExactlyMembers(*object, { "kind", "expr" })) {
            const auto* text = object->find("expr")->second.stringValue();
            auto cron = text ? RoutineCron::parse(*text) : std::nullopt;
            if (!cron)
                refuse(kExpressionMessage);
            if (!cron->respectsMinimumInterval(now, zone))
                refuse(kFrequencyMessage);
            return std::move(*cron);
        }
        refuse(kKindMessage);
    }

    // The first time hour:minute on a day from the one holding `after` on, later than `after`,
    // whose weekday is allowed.
    std::optional<RoutineDate> nextWallTime(RoutineDate after, int hour, int minute,
        const std::array<bool, 8>& allowedWeekdays, const icu::TimeZone& zone)
    {
        auto calendar = ZonedCalendar::make(zone);
        auto date = calendar ? calendar->civilDate(after) : std::nullopt;
        if (!date)
            return std::nullopt;
        for (int dayIndex = 0; dayIndex < kDailySearchDays; ++dayIndex) {
            if (calendar->dayExists(*date)) {
                auto candidate = calendar->wallTime(*date, hour, minute);
                auto weekday = candidate ? calendar->weekday(*candidate) : std::nullopt;
                if (weekday && *candidate > after && allowedWeekdays[static_cast<std::size_t>(*weekday)])
                    return candidate;
            }
            date = std::chrono::sys_days(*date) + std::chrono::days(1);
        }
        return std::nullopt;
    }

    std::optional<RoutineDate> nextIntervalDate(RoutineDate after, RoutineDate createdAt, int hours)
    {
        if (!ZonedCalendar::withinReach(after) || !ZonedCalendar::withinReach(createdAt))
            return std::nullopt;
        std::chrono::milliseconds period = std::chrono::hours(hours);
        RoutineDate grid = std::chrono::floor<std::chrono::minutes>(createdAt);
        if (grid > after)
            return grid;
        // Whole milliseconds, so the answer is exactly one grid step past the last one not after `after`.
        return grid + ((after - grid) / period + 1) * period;
    }

}

RoutineSchedule::RoutineSchedule(const JSON& json, RoutineDate now, const icu::TimeZone& zone)
    : m_value(parseValue(json, now, zone))
{
}

std::optional<std::pair<int, int>> RoutineSchedule::parseTime(const JSON& value)
{
    const auto* text = value.stringValue();
    // Five bytes that are all ASCII are exactly five characters; anything else cannot pass.
    if (!text || text->size() != 5 || (*text)[2] != ':'
        || std::any_of(
            text->begin(), text->end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; }))
        return std::nullopt;
    auto hour = signedDecimal(std::string_view(*text).substr(0, 2));
    auto minute = signedDecimal(std::string_view(*text).substr(3, 2));
    if (!hour || !minute || *hour < 0 || *hour > 23 || *minute < 0 || *minute > 59)
        return std::nullopt;
    return std::pair { *hour, *minute };
}

JSON RoutineSchedule::json() const
{
    struct Visitor {
        JSON operator()(const Daily& daily) const
        {
            return JSON::object({ { "kind", "daily" }, { "time", canonicalTime(daily.hour, daily.minute) } });
        }
        JSON operator()(const Weekly& weekly) const
        {
            JSON::Array days(weekly.days.begin(), weekly.days.end());
            return JSON::object({ { "kind", "weekly" }, { "days", JSON(std::move(days)) },
                { "time", canonicalTime(weekly.hour, weekly.minute) } });
        }
        JSON operator()(const Interval& interval) const
        {
            return JSON::object({ { "kind", "interval" }, { "hours", interval.hours } });
        }
        JSON operator()(const RoutineCron& cron) const
        {
            return JSON::object({ { "kind", "cron" }, { "expr", cron.expression } });
        }
    };
    return std::visit(Visitor {}, m_value);
}

std::string RoutineSchedule::label() const
{
    struct Visitor {
        std::string operator()(const Daily& daily) const
        {
            return "every day at " + labelTime(daily.hour, daily.minute);
        }
        std::string operator()(const Weekly& weekly) const
        {
            static const std::vector<std::string> workdays(weekdays.begin(), weekdays.begin() + 5);
            if (weekly.days == workdays)
                return "weekdays at " + labelTime(weekly.hour, weekly.minute);
            std::string names;
            for (const auto& day : weekly.days)
                names += (names.empty() ? "" : ", ") + day;
            return "every " + names + " at " + labelTime(weekly.hour, weekly.minute);
        }
        std::string operator()(const Interval& interval) const
        {
            return "every " + std::to_string(interval.hours) + " hours";
        }
        std::string operator()(const RoutineCron& cron) const { return "cron: " + cron.expression; }
    };
    return std::visit(Visitor {}, m_value);
}

std::optional<RoutineDate> RoutineSchedule::nextDate(
    RoutineDate after, RoutineDate createdAt, const icu::TimeZone& zone) const
{
    struct Visitor {
        RoutineDate after;
        RoutineDate createdAt;
        const icu::TimeZone& zone;

        std::optional<RoutineDate> operator()(const Daily& daily) const
        {
            std::array<bool, 8> everyDay {};
            std::fill(everyDay.begin() + 1, everyDay.end(), true);
            return nextWallTime(after, daily.hour, daily.minute, everyDay, zone);
        }
        std::optional<RoutineDate> operator()(const Weekly& weekly) const
        {
            std::array<bool, 8> listed {};
            for (const auto& day : weekly.days)
                listed[static_cast<std::size_t>(calendarWeekday(day))] = true;
            return nextWallTime(after, weekly.hour, weekly.minute, listed, zone);
        }
        std::optional<RoutineDate> operator()(const Interval& interval) const
        {
            return nextIntervalDate(after, createdAt, interval.hours);
        }
        std::optional<RoutineDate> operator()(const RoutineCron& cron) const
        {
            return cron.nextDate(after, zone);
        }
    };
    return std::visit(Visitor { after, createdAt, zone }, m_value);
}

}
