// When a routine runs: every day at a time, on chosen weekdays at a time, every n hours, or a cron
// expression; parsed from the phone's schedule JSON, written back in one canonical form.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Schedule/RoutineCron.h"

#include <unicode/timezone.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vellumar {

// A plain value; any thread may use its own copy.
class RoutineSchedule {
public:
    struct Daily {
        int hour;
        int minute;
        friend bool operator==(const Daily&, const Daily&) = default;
    };
    struct Weekly {
        // 1 to 7 distinct names of `weekdays`, in the table's order.
        std::vector<std::string> days;
        int hour;
        int minute;
        friend bool operator==(const Weekly&, const Weekly&) = default;
    };
    struct Interval {
        int hours;
        friend bool operator==(const Interval&, const Interval&) = default;
    };
    using Value = std::variant<Daily, Weekly, Interval, RoutineCron>;

    // Monday first. Position i is the calendar weekday ((i + 1) mod 7) + 1, where Sunday is 1.
    static constexpr std::array<std::string_view, 7> weekdays { "mon", "tue", "wed", "thu", "fri", "sat",
        "sun" };

    // Parses and validates the phone's schedule object. `now` and `zone` serve only the check that
    // a cron schedule fires at most every 30 minutes. Throws RelayHTTPError 400 "bad_request" with a
    // sentence naming the first rule broken.
    RoutineSchedule(const JSON& json, RoutineDate now, const icu::TimeZone& zone);

    const Value& value() const noexcept { return m_value; }

    // The canonical object: the members of the kind only, "time" as "%02d:%02d", "days" in table
    // order, "expr" with single spaces.
    JSON json() const;
    // For people: "every day at 7:05", "weekdays at 9:00", "every mon, sun at 18:30",
    // "every 2 hours", "cron: */30 * * * *".
    std::string label() const;

    // The first fire time strictly after `after`; `createdAt` anchors the grid of an interval
    // schedule. nullopt when the bounded search finds none, or for dates beyond
    // ZonedCalendar::kReach. Never throws.
    std::optional<RoutineDate> nextDate(
        RoutineDate after, RoutineDate createdAt, const icu::TimeZone& zone) const;

    // (hour, minute) of an "HH:MM" text, or nullopt.
    static std::optional<std::pair<int, int>> parseTime(const JSON& value);

    friend bool operator==(const RoutineSchedule&, const RoutineSchedule&) = default;

private:
    Value m_value;
};

}
