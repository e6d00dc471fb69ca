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

constexpr std::string_view kKindMessage = "schedule must be daily, weekly, interval or cron.";
constexpr std::string_view kTimeMessage = "schedule.time must be HH:MM.";
constexpr std::string_view kDaysMessage = "schedule.days must list mon to sun, each once.";
constexpr std::string_view kHoursMessage = "schedule.hours must be 1 to 168.";
constexpr std::string_view kExpressionMessage
    = "schedule.expr must be five cron fields (minute hour day month weekday).";
constexpr std::string_view kFrequencyMessage = "Routines on this Mac run at most every 30 minutes.";

JSON decoded(std::string_view text)
{
    auto value = JSON::decode(text);
    if (!value) {
        ADD_FAILURE() << "not JSON: " << text;
        return JSON();
    }
    return *value;
}

RoutineSchedule parsed(std::string_view text, const std::string& zoneName = "UTC")
{
    return RoutineSchedule(decoded(text), kNow, *zone(zoneName));
}

std::optional<RoutineDate> nextAfter(
    std::string_view schedule, RoutineDate after, const std::string& zoneName, RoutineDate createdAt = kNow)
{
    return parsed(schedule, zoneName).nextDate(after, createdAt, *zone(zoneName));
}

TEST(RoutineSchedule, RefusesBadSchedulesWithTheRuleTheyBreak)
{
    struct Case {
        std::string_view json;
        std::string_view message;
    };
    const std::string longExpression = "0 0 * * " + std::string(95, '1');
    const std::string longCase = R"({"kind":"cron","expr":")" + longExpression + R"("})";
    const Case cases[] = {
        { "[]", kKindMessage },
        { "{}", kKindMessage },
        { R"("daily")", kKindMessage },
        { "null", kKindMessage },
        { R"({"kind":"daily"})", kKindMessage },
        { R"({"time":"07:30"})", kKindMessage },
        { R"({"kind":"daily","time":"07:30","days":["mon"]})", kKindMessage },
        { R"({"kind":"weekly","time":"07:30"})", kKindMessage },
        { R"({"kind":"hourly","hours":2})", kKindMessage },
        { R"({"kind":"Daily","time":"07:30"})", kKindMessage },
        { R"({"kind":1,"time":"07:30"})", kKindMessage },
        { R"({"kind":"cron"})", kKindMessage },
        { R"({"kind":"daily","time":"24:00"})", kTimeMessage },
        { R"({"kind":"daily","time":"12:60"})", kTimeMessage },
        { R"({"kind":"daily","time":"7:30"})", kTimeMessage },
        { R"({"kind":"daily","time":"07-30"})", kTimeMessage },
        { R"({"kind":"daily","time":"ab:cd"})", kTimeMessage },
        { R"({"kind":"daily","time":"07:3x"})", kTimeMessage },
        { R"({"kind":"daily","time":"07:30 "})", kTimeMessage },
        { R"({"kind":"daily","time":"-1:30"})", kTimeMessage },
        { R"({"kind":"daily","time":"++:00"})", kTimeMessage },
        { R"({"kind":"daily","time":" 7:30"})", kTimeMessage },
        { R"({"kind":"daily","time":730})", kTimeMessage },
        { R"({"kind":"daily","time":null})", kTimeMessage },
        { "{\"kind\":\"daily\",\"time\":\"\xD9\xA0\xD9\xA7:30\"}", kTimeMessage }, // Arabic-Indic digits
        { R"({"kind":"weekly","days":["mon"],"time":"25:00"})", kTimeMessage },
        { R"({"kind":"weekly","days":[],"time":"25:00"})", kTimeMessage }, // time is checked first
        { R"({"kind":"weekly","days":[],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":["mon","mon"],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":["Mon"],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":["mon",1],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":["monday"],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":"mon","time":"07:30"})", kDaysMessage },
        { R"({"kind":"weekly","days":[null],"time":"07:30"})", kDaysMessage },
        { R"({"kind":"interval","hours":0})", kHoursMessage },
        { R"({"kind":"interval","hours":169})", kHoursMessage },
        { R"({"kind":"interval","hours":2.5})", kHoursMessage },
        { R"({"kind":"interval","hours":-2})", kHoursMessage },
        { R"({"kind":"interval","hours":"2"})", kHoursMessage },
        { R"({"kind":"interval","hours":true})", kHoursMessage },
        { R"({"kind":"interval","hours":1e15})", kHoursMessage },
        { R"({"kind":"cron","expr":5})", kExpressionMessage },
        { R"({"kind":"cron","expr":"* * * *"})", kExpressionMessage },
        { R"({"kind":"cron","expr":"0 * * * * *"})", kExpressionMessage },
        { R"({"kind":"cron","expr":"*/0 * * * *"})", kExpressionMessage },
        { R"({"kind":"cron","expr":"1-2-3 * * * *"})", kExpressionMessage },
        { R"({"kind":"cron","expr":"000 * * * *"})", kExpressionMessage },
        { longCase, kExpressionMessage },
        { R"({"kind":"cron","expr":"*/15 * * * *"})", kFrequencyMessage },
        { R"({"kind":"cron","expr":"0,20 * * * *"})", kFrequencyMessage },
        { R"({"kind":"cron","expr":"* * * * *"})", kFrequencyMessage },
        { R"({"kind":"cron","expr":"0 0 30 2 *"})", kFrequencyMessage },
        { R"({"kind":"cron","expr":"0 0 31 2 *"})", kFrequencyMessage },
        // 2100 is no leap year: the gap from 2096 outruns the five-year search.
        { R"({"kind":"cron","expr":"0 0 29 2 *"})", kFrequencyMessage },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.json);
        try {
            parsed(testCase.json);
            ADD_FAILURE() << "accepted";
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, RelayHTTPError(400, "bad_request", std::string(testCase.message)));
        }
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
        { R"({"kind":"daily","time":"07:05"})", R"({"kind":"daily","time":"07:05"})", "every day at 7:05" },
        { R"({"kind":"daily","time":"+7:30"})", R"({"kind":"daily","time":"07:30"})", "every day at 7:30" },
        { R"({"kind":"daily","time":"-0:+5"})", R"({"kind":"daily","time":"00:05"})", "every day at 0:05" },
        { R"({"kind":"daily","time":"23:59"})", R"({"kind":"daily","time":"23:59"})", "every day at 23:59" },
        { R"({"time":"18:30","days":["sun","mon"],"kind":"weekly"})",
            R"({"days":["mon","sun"],"kind":"weekly","time":"18:30"})", "every mon, sun at 18:30" },
        { R"({"kind":"weekly","days":["fri","thu","mon","wed","tue"],"time":"09:00"})",
            R"({"days":["mon","tue","wed","thu","fri"],"kind":"weekly","time":"09:00"})",
            "weekdays at 9:00" },
        { R"({"kind":"weekly","days":["sat","fri","thu","mon","wed","tue"],"time":"09:00"})",
            R"({"days":["mon","tue","wed","thu","fri","sat"],"kind":"weekly","time":"09:00"})",
            "every mon, tue, wed, thu, fri, sat at 9:00" },
        { R"({"kind":"weekly","days":["wed"],"time":"12:00"})",
            R"({"days":["wed"],"kind":"weekly","time":"12:00"})", "every wed at 12:00" },
        { R"({"kind":"interval","hours":168})", R"({"hours":168,"kind":"interval"})", "every 168 hours" },
        { R"({"kind":"interval","hours":1.0})", R"({"hours":1,"kind":"interval"})", "every 1 hours" },
        { R"({"kind":"cron","expr":" 0  9\t* * 1-5\n"})", R"({"expr":"0 9 * * 1-5","kind":"cron"})",
            "cron: 0 9 * * 1-5" },
        { R"({"kind":"cron","expr":"*/30 * * * *"})", R"({"expr":"*/30 * * * *","kind":"cron"})",
            "cron: */30 * * * *" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.json);
        auto schedule = parsed(testCase.json);
        EXPECT_EQ(schedule.json().encoded(), testCase.canonical);
        EXPECT_EQ(schedule.label(), testCase.label);
        // The canonical form is a fixed point and means the same schedule.
        auto again = RoutineSchedule(schedule.json(), kNow, *zone("UTC"));
        EXPECT_EQ(again, schedule);
        EXPECT_EQ(again.json().encoded(), testCase.canonical);
    }
}

TEST(RoutineSchedule, ComparesByKindAndValues)
{
    EXPECT_EQ(parsed(R"({"kind":"weekly","days":["sun","mon"],"time":"08:30"})"),
        parsed(R"({"kind":"weekly","days":["mon","sun"],"time":"+8:30"})"));
    EXPECT_NE(parsed(R"({"kind":"daily","time":"18:30"})"), parsed(R"({"kind":"daily","time":"18:31"})"));
    EXPECT_NE(
        parsed(R"({"kind":"cron","expr":"0 0 * * 0"})"), parsed(R"({"kind":"cron","expr":"0 0 * * 7"})"))
        << "the normalised text differs although the days are the same";
    EXPECT_EQ(std::get<RoutineSchedule::Weekly>(
                  parsed(R"({"kind":"weekly","days":["sun","mon"],"time":"18:30"})").value()),
        (RoutineSchedule::Weekly { { "mon", "sun" }, 18, 30 }));
}

TEST(RoutineSchedule, IntervalFiresOnAGridAnchoredAtTheCreationMinute)
{
    const RoutineDate created = utc(2025, 6, 2, 10, 17, 45);
    const char* everyTwoHours = R"({"kind":"interval","hours":2})";
    struct Case {
        RoutineDate after;
        RoutineDate expected;
    };
    const Case cases[] = {
        { created, utc(2025, 6, 2, 12, 17) },
        { utc(2025, 6, 2, 9, 0), utc(2025, 6, 2, 10, 17) }, // before creation: the grid's first point
        { utc(2025, 6, 2, 10, 16, 59, 999), utc(2025, 6, 2, 10, 17) },
        { utc(2025, 6, 2, 10, 17), utc(2025, 6, 2, 12, 17) }, // strictly after
        { utc(2025, 6, 2, 12, 16, 59, 999), utc(2025, 6, 2, 12, 17) },
        { utc(2025, 6, 2, 12, 17), utc(2025, 6, 2, 14, 17) },
        { utc(2025, 6, 2, 13, 0), utc(2025, 6, 2, 14, 17) },
        { utc(2025, 6, 9, 3, 0), utc(2025, 6, 9, 4, 17) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(describe(testCase.after));
        for (auto zoneName : { "UTC", "Europe/Berlin", "America/New_York", "Pacific/Apia" }) {
            SCOPED_TRACE(zoneName);
            EXPECT_EQ(describe(nextAfter(everyTwoHours, testCase.after, zoneName, created)),
                describe(testCase.expected));
        }
    }
    // A creation time before 1970 still rounds down to its minute, not up.
    EXPECT_EQ(describe(nextAfter(R"({"kind":"interval","hours":1})", utc(1969, 12, 31, 23, 0), "UTC",
                  utc(1969, 12, 31, 22, 30, 30))),
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
        { "after spring daily", daily0230, "Europe/Berlin", utc(2025, 3, 30, 1, 0), utc(2025, 3, 31, 0, 30) },
        { "after spring cron", cron0230, "Europe/Berlin", utc(2025, 3, 30, 1, 0), utc(2025, 3, 31, 0, 30) },
        // 02:30 happens twice on 2025-10-26: the first, in CEST (00:30 UTC), and only that one.
        { "autumn daily", daily0230, "Europe/Berlin", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30) },
        { "autumn cron", cron0230, "Europe/Berlin", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30) },
        { "after autumn daily", daily0230, "Europe/Berlin", utc(2025, 10, 26, 0, 30),
            utc(2025, 10, 27, 1, 30) },
        { "after autumn cron", cron0230, "Europe/Berlin", utc(2025, 10, 26, 0, 30),
            utc(2025, 10, 27, 1, 30) },
        { "between the two autumn 02:30s", daily0230, "Europe/Berlin", utc(2025, 10, 26, 1, 0),
            utc(2025, 10, 27, 1, 30) },
        { "New York spring", daily0230, "America/New_York", utc(2025, 3, 8, 12), utc(2025, 3, 9, 7, 0) },
        // Samoa skipped 2011-12-30 whole, from UTC-10 to UTC+14.
        { "Apia daily over the skipped day", R"({"kind":"daily","time":"10:00"})", "Pacific/Apia",
            utc(2011, 12, 29, 22), utc(2011, 12, 30, 20) },
        { "Apia cron over the skipped day", R"({"kind":"cron","expr":"0 10 * * *"})", "Pacific/Apia",
            utc(2011, 12, 29, 22), utc(2011, 12, 30, 20) },
        { "Apia weekly Friday never happened", R"({"kind":"weekly","days":["fri"],"time":"10:00"})",
            "Pacific/Apia", utc(2011, 12, 29, 22), utc(2012, 1, 5, 20) },
        { "Apia cron day 30 never happened", R"({"kind":"cron","expr":"0 10 30 12 *"})", "Pacific/Apia",
            utc(2011, 12, 29, 22), utc(2012, 12, 29, 20) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(describe(nextAfter(testCase.schedule, testCase.after, testCase.zoneName)),
            describe(testCase.expected));
    }
}

TEST(RoutineSchedule, WeeklyWithOneDayWaitsAWeekOnceItsTimePassed)
{
    const char* wednesdays = R"({"kind":"weekly","days":["wed"],"time":"09:00"})";
    // 2025-06-04 is a Wednesday.
    EXPECT_EQ(describe(nextAfter(wednesdays, utc(2025, 6, 4, 8, 59, 59, 999), "UTC")),
        describe(utc(2025, 6, 4, 9)));
    EXPECT_EQ(describe(nextAfter(wednesdays, utc(2025, 6, 4, 9), "UTC")), describe(utc(2025, 6, 11, 9)));
    EXPECT_EQ(
        describe(nextAfter(wednesdays, utc(2025, 6, 4, 9, 0, 0, 1), "UTC")), describe(utc(2025, 6, 11, 9)));
    EXPECT_EQ(describe(nextAfter(wednesdays, utc(2025, 6, 5), "UTC")), describe(utc(2025, 6, 11, 9)));
    // "sun" is calendar weekday 1, "sat" 7: the table's ends map to the right days.
    EXPECT_EQ(
        describe(nextAfter(R"({"kind":"weekly","days":["sun"],"time":"00:00"})", utc(2025, 6, 4), "UTC")),
        describe(utc(2025, 6, 8)));
    EXPECT_EQ(
        describe(nextAfter(R"({"kind":"weekly","days":["sat"],"time":"23:59"})", utc(2025, 6, 4), "UTC")),
        describe(utc(2025, 6, 7, 23, 59)));
    // The day in the zone decides, not the day in UTC: 09:00 Wednesday in New York is 13:00 UTC.
    EXPECT_EQ(describe(nextAfter(wednesdays, utc(2025, 6, 4, 12), "America/New_York")),
        describe(utc(2025, 6, 4, 13)));
}

TEST(RoutineSchedule, NextDateIsAlwaysStrictlyAfterTheStart)
{
    std::mt19937 random(20250602);
    const std::vector<std::string> schedules = {
        R"({"kind":"daily","time":"00:00"})",
        R"({"kind":"daily","time":"02:30"})",
        R"({"kind":"daily","time":"23:59"})",
        R"({"kind":"weekly","days":["mon","sun"],"time":"02:15"})",
        R"({"kind":"interval","hours":1})",
        R"({"kind":"interval","hours":168})",
        R"({"kind":"cron","expr":"*/30 * * * *"})",
        R"({"kind":"cron","expr":"0,30 1-3 * * *"})",
        R"({"kind":"cron","expr":"59 23 31 12 *"})",
        R"({"kind":"cron","expr":"0 0 13 * 5"})",
    };
    const char* zones[] = { "UTC", "Europe/Berlin", "America/New_York", "Pacific/Apia", "Australia/Lord_Howe",
        "Asia/Kathmandu" };
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2000, 1, 1).time_since_epoch().count(), utc(2060, 1, 1).time_since_epoch().count());
    for (const auto* zoneName : zones) {
        auto timeZone = zone(zoneName);
        for (const auto& text : schedules) {
            auto schedule = RoutineSchedule(decoded(text), kNow, *timeZone);
            for (int sample = 0; sample < 40; ++sample) {
                RoutineDate after { std::chrono::milliseconds(instants(random)) };
                RoutineDate created { std::chrono::milliseconds(instants(random)) };
                auto next = schedule.nextDate(after, created, *timeZone);
                ASSERT_TRUE(next) << zoneName << " " << text << " " << describe(after);
                EXPECT_GT(*next, after) << zoneName << " " << text << " " << describe(after);
                // Fire times are whole minutes (interval grids included) and walking them never stalls.
                EXPECT_EQ(next->time_since_epoch() % std::chrono::minutes(1), std::chrono::milliseconds(0));
                auto following = schedule.nextDate(*next, created, *timeZone);
                ASSERT_TRUE(following);
                EXPECT_GT(*following, *next);
            }
        }
    }
}

TEST(RoutineSchedule, ParseTimeReadsTwoSignedHalves)
{
    struct Case {
        std::string_view json;
        std::optional<std::pair<int, int>> expected;
    };
    const Case cases[] = {
        { R"("00:00")", std::pair { 0, 0 } },
        { R"("23:59")", std::pair { 23, 59 } },
        { R"("+7:30")", std::pair { 7, 30 } },
        { R"("07:+5")", std::pair { 7, 5 } },
        { R"("-0:00")", std::pair { 0, 0 } },
        { R"("-1:00")", std::nullopt },
        { R"("07:-5")", std::nullopt },
        { R"("+:00")", std::nullopt },
        { R"("7:30")", std::nullopt },
        { R"("007:30")", std::nullopt },
        { R"("07;30")", std::nullopt },
        { R"("0x:30")", std::nullopt },
        { R"("")", std::nullopt },
        { "7", std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.json);
        EXPECT_EQ(RoutineSchedule::parseTime(decoded(testCase.json)), testCase.expected);
    }
}

TEST(RoutineSchedule, DatesBeyondReachHaveNoNextDate)
{
    const RoutineDate far { std::chrono::milliseconds(std::numeric_limits<std::int64_t>::max() / 2) };
    for (auto text : { R"({"kind":"daily","time":"07:00"})", R"({"kind":"interval","hours":3})",
             R"({"kind":"cron","expr":"0 7 * * *"})" }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(describe(nextAfter(text, far, "UTC", kNow)), "none");
        EXPECT_EQ(describe(nextAfter(text, RoutineDate { -far.time_since_epoch() }, "UTC", kNow)), "none");
    }
    // Only the interval grid hangs on the creation time.
    EXPECT_EQ(describe(nextAfter(R"({"kind":"interval","hours":3})", kNow, "UTC", far)), "none");
    EXPECT_EQ(describe(nextAfter(R"({"kind":"daily","time":"07:00"})", kNow, "UTC", far)),
        describe(utc(2025, 6, 3, 7)));
}

}
