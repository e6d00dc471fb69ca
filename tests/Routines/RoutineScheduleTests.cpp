#include "VellumarMacCore/Routines/Schedule/RoutineSchedule.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/Routines/ScheduleTestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

using vellumar::JSON;
using vellumar::RelayHTTPError;
using vellumar::RoutineDate;
using vellumar::RoutineSchedule;
using vellumar::test::describe;
using vellumar::test::utc;
using vellumar::test::zone;

namespace {

const RoutineDate kNow = utc(2025, 6, 2, 10, 17, 45);

RoutineSchedule parsed(std::string_view text, const std::string& zoneName = "UTC")
{
    return RoutineSchedule(JSON::decode(text).value_or(JSON()), kNow, *zone(zoneName));
}

std::string nextAfter(
    std::string_view schedule, RoutineDate after, const std::string& zoneName, RoutineDate createdAt = kNow)
{
    return describe(parsed(schedule, zoneName).nextDate(after, createdAt, *zone(zoneName)));
}

TEST(RoutineSchedule, RefusesBadSchedulesWithTheRuleTheyBreak)
{
    const std::string kind = "schedule must be daily, weekly, interval or cron.";
    const std::string time = "schedule.time must be HH:MM.";
    const std::string days = "schedule.days must list mon to sun, each once.";
    const std::string hours = "schedule.hours must be 1 to 168.";
    const std::string expression = "schedule.expr must be five cron fields (minute hour day month weekday).";
    const std::pair<std::string_view, std::string> cases[] = {
        { "[]", kind },
        { R"({"kind":1,"time":"07:30"})", kind },
        { R"({"kind":"Daily","time":"07:30"})", kind },
        { R"({"kind":"daily"})", kind },
        { R"({"kind":"daily","time":"07:30","days":["mon"]})", kind },
        { R"({"kind":"daily","time":"24:00"})", time },
        { R"({"kind":"weekly","days":[],"time":"25:00"})", time }, // time is checked first
        { R"({"kind":"weekly","days":[],"time":"07:30"})", days },
        { R"({"kind":"weekly","days":"mon","time":"07:30"})", days },
        { R"({"kind":"weekly","days":["mon","mon"],"time":"07:30"})", days },
        { R"({"kind":"weekly","days":["Mon"],"time":"07:30"})", days },
        { R"({"kind":"weekly","days":["mon",1],"time":"07:30"})", days },
        { R"({"kind":"interval","hours":0})", hours },
        { R"({"kind":"interval","hours":169})", hours },
        { R"({"kind":"interval","hours":2.5})", hours },
        { R"({"kind":"interval","hours":"2"})", hours },
        { R"({"kind":"cron","expr":5})", expression },
        { R"({"kind":"cron","expr":"* * * *"})", expression },
        { R"({"kind":"cron","expr":"*/15 * * * *"})", "Routines on this Mac run at most every 30 minutes." },
    };
    for (const auto& [json, message] : cases) {
        SCOPED_TRACE(json);
        try {
            parsed(json);
            ADD_FAILURE() << "accepted";
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, RelayHTTPError(400, "bad_request", message));
        }
    }
}

TEST(RoutineSchedule, ParseTimeReadsTwoSignedHalves)
{
    using Time = std::optional<std::pair<int, int>>;
    const std::pair<std::string_view, Time> cases[] = { { R"("23:59")", std::pair { 23, 59 } },
        { R"("+7:30")", std::pair { 7, 30 } }, { R"("07:+5")", std::pair { 7, 5 } },
        { R"("-0:00")", std::pair { 0, 0 } }, { R"("24:00")", {} }, { R"("00:60")", {} },
        { R"("-1:00")", {} }, { R"("07:-5")", {} }, { R"("+:00")", {} }, { R"("7:30")", {} },
        { R"("07;30")", {} }, { R"("0x:30")", {} }, { "730", {} } };
    for (const auto& [json, expected] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(RoutineSchedule::parseTime(*JSON::decode(json)), expected);
    }
}

TEST(RoutineSchedule, WritesTheCanonicalFormAndLabel)
{
    struct Case {
        std::string_view json;
        std::string_view canonical;
        std::string_view label;
    };
    const Case cases[] = {
        { R"({"kind":"daily","time":"+7:05"})", R"({"kind":"daily","time":"07:05"})", "every day at 7:05" },
        { R"({"time":"18:30","days":["sun","mon"],"kind":"weekly"})",
            R"({"days":["mon","sun"],"kind":"weekly","time":"18:30"})", "every mon, sun at 18:30" },
        { R"({"kind":"weekly","days":["fri","thu","mon","wed","tue"],"time":"09:00"})",
            R"({"days":["mon","tue","wed","thu","fri"],"kind":"weekly","time":"09:00"})",
            "weekdays at 9:00" },
        { R"({"kind":"weekly","days":["sat","fri","thu","mon","wed","tue"],"time":"09:00"})",
            R"({"days":["mon","tue","wed","thu","fri","sat"],"kind":"weekly","time":"09:00"})",
            "every mon, tue, wed, thu, fri, sat at 9:00" },
        { R"({"kind":"interval","hours":1.0})", R"({"hours":1,"kind":"interval"})", "every 1 hours" },
        { R"({"kind":"cron","expr":" 0  9\t* * 1-5\n"})", R"({"expr":"0 9 * * 1-5","kind":"cron"})",
            "cron: 0 9 * * 1-5" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.json);
        auto schedule = parsed(testCase.json);
        EXPECT_EQ(schedule.json().encoded(), testCase.canonical);
        EXPECT_EQ(schedule.label(), testCase.label);
        // The canonical form is a fixed point and means the same schedule.
        EXPECT_EQ(RoutineSchedule(schedule.json(), kNow, *zone("UTC")), schedule);
    }
}

TEST(RoutineSchedule, IntervalFiresOnAGridAnchoredAtTheCreationMinute)
{
    const char* everyTwoHours = R"({"kind":"interval","hours":2})";
    const std::pair<RoutineDate, RoutineDate> cases[] = {
        { kNow, utc(2025, 6, 2, 12, 17) },
        { utc(2025, 6, 2, 9, 0), utc(2025, 6, 2, 10, 17) }, // before creation: the grid's first point
        { utc(2025, 6, 2, 10, 17), utc(2025, 6, 2, 12, 17) }, // strictly after
        { utc(2025, 6, 9, 3, 0), utc(2025, 6, 9, 4, 17) },
    };
    for (const auto& [after, expected] : cases) {
        SCOPED_TRACE(describe(after));
        EXPECT_EQ(nextAfter(everyTwoHours, after, "UTC"), describe(expected));
    }
    // A creation time before 1970 still rounds down to its minute, not up.
    EXPECT_EQ(nextAfter(R"({"kind":"interval","hours":1})", utc(1969, 12, 31, 23, 0), "UTC",
                  utc(1969, 12, 31, 22, 30, 30)),
        describe(utc(1969, 12, 31, 23, 30)));
}

TEST(RoutineSchedule, WallClockTimesFollowTheZonesClockChanges)
{
    struct Case {
        const char* name;
        std::string_view schedule;
        const char* zoneName;
        RoutineDate after;
        RoutineDate expected;
    };
    const char* daily0230 = R"({"kind":"daily","time":"02:30"})";
    const char* cron0230 = R"({"kind":"cron","expr":"30 2 * * *"})";
    const Case cases[] = {
        // Berlin skips 02:00-03:00 on 2025-03-30: the time moves to 03:00 CEST (01:00 UTC).
        { "spring daily", daily0230, "Europe/Berlin", utc(2025, 3, 29, 12), utc(2025, 3, 30, 1, 0) },
        { "spring cron", cron0230, "Europe/Berlin", utc(2025, 3, 29, 12), utc(2025, 3, 30, 1, 0) },
        // 02:30 happens twice on 2025-10-26: the first, in CEST (00:30 UTC), and only that one.
        { "autumn daily", daily0230, "Europe/Berlin", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30) },
        { "autumn cron", cron0230, "Europe/Berlin", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30) },
        { "after autumn cron", cron0230, "Europe/Berlin", utc(2025, 10, 26, 0, 30),
            utc(2025, 10, 27, 1, 30) },
        // Samoa skipped 2011-12-30 whole, from UTC-10 to UTC+14.
        { "Apia daily over the skipped day", R"({"kind":"daily","time":"10:00"})", "Pacific/Apia",
            utc(2011, 12, 29, 22), utc(2011, 12, 30, 20) },
        { "Apia weekly Friday never happened", R"({"kind":"weekly","days":["fri"],"time":"10:00"})",
            "Pacific/Apia", utc(2011, 12, 29, 22), utc(2012, 1, 5, 20) },
        { "Apia cron day 30 never happened", R"({"kind":"cron","expr":"0 10 30 12 *"})", "Pacific/Apia",
            utc(2011, 12, 29, 22), utc(2012, 12, 29, 20) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(
            nextAfter(testCase.schedule, testCase.after, testCase.zoneName), describe(testCase.expected));
    }
}

TEST(RoutineSchedule, WeeklyWithOneDayWaitsAWeekOnceItsTimePassed)
{
    const char* wednesdays = R"({"kind":"weekly","days":["wed"],"time":"09:00"})";
    // 2025-06-04 is a Wednesday.
    EXPECT_EQ(nextAfter(wednesdays, utc(2025, 6, 4, 8, 59, 59, 999), "UTC"), describe(utc(2025, 6, 4, 9)));
    EXPECT_EQ(nextAfter(wednesdays, utc(2025, 6, 4, 9), "UTC"), describe(utc(2025, 6, 11, 9)));
    // "sun" ends the table but is calendar weekday 1.
    EXPECT_EQ(nextAfter(R"({"kind":"weekly","days":["sun"],"time":"00:00"})", utc(2025, 6, 4), "UTC"),
        describe(utc(2025, 6, 8)));
    // The day in the zone decides, not the day in UTC: 09:00 Wednesday in New York is 13:00 UTC.
    EXPECT_EQ(nextAfter(wednesdays, utc(2025, 6, 4, 12), "America/New_York"), describe(utc(2025, 6, 4, 13)));
}

TEST(RoutineSchedule, NextDateIsAlwaysStrictlyAfterTheStart)
{
    std::mt19937 random(20250602);
    const char* schedules[]
        = { R"({"kind":"daily","time":"02:30"})", R"({"kind":"weekly","days":["mon","sun"],"time":"02:15"})",
              R"({"kind":"interval","hours":1})", R"({"kind":"interval","hours":168})",
              R"({"kind":"cron","expr":"0,30 1-3 * * *"})", R"({"kind":"cron","expr":"0 0 13 * 5"})" };
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2000, 1, 1).time_since_epoch().count(), utc(2060, 1, 1).time_since_epoch().count());
    for (const auto* zoneName : { "UTC", "Europe/Berlin", "America/New_York", "Pacific/Apia",
             "Australia/Lord_Howe", "Asia/Kathmandu" }) {
        auto timeZone = zone(zoneName);
        for (const auto* text : schedules) {
            auto schedule = parsed(text, zoneName);
            for (int sample = 0; sample < 40; ++sample) {
                RoutineDate after { std::chrono::milliseconds(instants(random)) };
                RoutineDate created { std::chrono::milliseconds(instants(random)) };
                SCOPED_TRACE(std::string(zoneName) + " " + text + " " + describe(after));
                auto next = schedule.nextDate(after, created, *timeZone);
                ASSERT_TRUE(next);
                EXPECT_GT(*next, after);
                // Fire times are whole minutes (interval grids included) and walking them never stalls.
                EXPECT_EQ(next->time_since_epoch() % std::chrono::minutes(1), std::chrono::milliseconds(0));
                auto following = schedule.nextDate(*next, created, *timeZone);
                ASSERT_TRUE(following);
                EXPECT_GT(*following, *next);
            }
        }
    }
}

TEST(RoutineSchedule, DatesBeyondReachHaveNoNextDate)
{
    const RoutineDate far { std::chrono::milliseconds(std::numeric_limits<std::int64_t>::max() / 2) };
    for (auto text : { R"({"kind":"daily","time":"07:00"})", R"({"kind":"interval","hours":3})",
             R"({"kind":"cron","expr":"0 7 * * *"})" }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(nextAfter(text, far, "UTC"), "none");
        EXPECT_EQ(nextAfter(text, RoutineDate { -far.time_since_epoch() }, "UTC"), "none");
    }
    // Only the interval grid hangs on the creation time.
    EXPECT_EQ(nextAfter(R"({"kind":"interval","hours":3})", kNow, "UTC", far), "none");
    EXPECT_EQ(
        nextAfter(R"({"kind":"daily","time":"07:00"})", kNow, "UTC", far), describe(utc(2025, 6, 3, 7)));
}

}
