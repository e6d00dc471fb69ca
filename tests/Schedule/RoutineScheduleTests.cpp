#include "VellumarMacCore/Schedule/RoutineSchedule.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/Schedule/ScheduleTestSupport.h"
#include "tests/support/FileFixtures.h"

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

TEST(RoutineSchedule, RefusesBadSchedulesWithTheRuleTheyBreak)
{
    const std::string kind = "schedule must be daily, weekly, interval or cron.";
    const std::string time = "schedule.time must be HH:MM.";
    const std::string days = "schedule.days must list mon to sun, each once.";
    const std::string hours = "schedule.hours must be 1 to 168.";
    const std::pair<std::string_view, std::string> cases[] = {
        { "[]", kind },
        { R"({"kind":"daily","time":"07:30","days":["mon"]})", kind },
        { R"({"kind":"weekly","days":[],"time":"25:00"})", time }, // time is checked first
        { R"({"kind":"weekly","days":[],"time":"07:30"})", days },
        { R"({"kind":"weekly","days":["mon","mon"],"time":"07:30"})", days },
        { R"({"kind":"interval","hours":0})", hours },
        { R"({"kind":"interval","hours":169})", hours },
        { R"({"kind":"interval","hours":2.5})", hours },
        { R"({"kind":"cron","expr":"* * * *"})",
            "schedule.expr must be five cron fields (minute hour day month weekday)." },
        { R"({"kind":"cron","expr":"*/15 * * * *"})", "Routines on this Mac run at most every 30 minutes." },
    };
    for (const auto& [json, message] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(vellumar::test::thrown<RelayHTTPError>([&] { parsed(json); }),
            RelayHTTPError(400, "bad_request", message));
    }
}

TEST(RoutineSchedule, ParseTimeReadsTwoSignedHalves)
{
    using Time = std::optional<std::pair<int, int>>;
    const std::pair<std::string_view, Time> cases[] = { { R"("23:59")", std::pair { 23, 59 } },
        { R"("+7:30")", std::pair { 7, 30 } }, { R"("-0:00")", std::pair { 0, 0 } }, { R"("24:00")", {} },
        { R"("00:60")", {} }, { R"("-1:00")", {} }, { R"("+:00")", {} }, { R"("7:30")", {} }, { "730", {} } };
    for (const auto& [json, expected] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(RoutineSchedule::parseTime(*JSON::decode(json)), expected);
    }
}

TEST(RoutineSchedule, WritesTheCanonicalFormAndLabel)
{
    const std::string_view cases[][3] = {
        { R"({"kind":"daily","time":"+7:05"})", R"({"kind":"daily","time":"07:05"})", "every day at 7:05" },
        { R"({"time":"18:30","days":["sun","mon"],"kind":"weekly"})",
            R"({"days":["mon","sun"],"kind":"weekly","time":"18:30"})", "every mon, sun at 18:30" },
        { R"({"kind":"weekly","days":["fri","thu","mon","wed","tue"],"time":"09:00"})",
            R"({"days":["mon","tue","wed","thu","fri"],"kind":"weekly","time":"09:00"})",
            "weekdays at 9:00" },
        { R"({"kind":"cron","expr":" 0  9\t* * 1-5\n"})", R"({"expr":"0 9 * * 1-5","kind":"cron"})",
            "cron: 0 9 * * 1-5" },
    };
    for (const auto& [json, canonical, label] : cases) {
        SCOPED_TRACE(json);
        auto schedule = parsed(json);
        EXPECT_EQ(schedule.json().encoded(), canonical);
        EXPECT_EQ(schedule.label(), label);
        // The canonical form is a fixed point and means the same schedule.
        EXPECT_EQ(RoutineSchedule(schedule.json(), kNow, *zone("UTC")), schedule);
    }
}

TEST(RoutineSchedule, NextDateFollowsTheZonesWallClockAndTheIntervalGrid)
{
    struct Case {
        const char* name;
        std::string_view schedule;
        const char* zoneName;
        RoutineDate after;
        std::optional<RoutineDate> expected;
        RoutineDate createdAt = kNow;
    };
    const char* everyTwoHours = R"({"kind":"interval","hours":2})";
    const char* daily0230 = R"({"kind":"daily","time":"02:30"})";
    const char* cron0230 = R"({"kind":"cron","expr":"30 2 * * *"})";
    const char* wednesdays = R"({"kind":"weekly","days":["wed"],"time":"09:00"})"; // 2025-06-04 is one
    const RoutineDate far { std::chrono::milliseconds(std::numeric_limits<std::int64_t>::max() / 2) };
    const Case cases[] = {
        // The interval's grid is anchored at the creation minute; its next point is strictly later.
        { "grid", everyTwoHours, "UTC", kNow, utc(2025, 6, 2, 12, 17) },
        { "on a grid point", everyTwoHours, "UTC", utc(2025, 6, 2, 10, 17), utc(2025, 6, 2, 12, 17) },
        { "created before 1970 rounds down", R"({"kind":"interval","hours":1})", "UTC", utc(1969, 12, 31, 23),
            utc(1969, 12, 31, 23, 30), utc(1969, 12, 31, 22, 30, 30) },
        // Berlin skips 02:00-03:00 on 2025-03-30: the time moves to 03:00 CEST (01:00 UTC).
        { "spring daily", daily0230, "Europe/Berlin", utc(2025, 3, 29, 12), utc(2025, 3, 30, 1) },
        { "spring cron", cron0230, "Europe/Berlin", utc(2025, 3, 29, 12), utc(2025, 3, 30, 1) },
        // 02:30 happens twice on 2025-10-26: the first, in CEST (00:30 UTC), and only that one.
        { "autumn daily", daily0230, "Europe/Berlin", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30) },
        { "after autumn cron", cron0230, "Europe/Berlin", utc(2025, 10, 26, 0, 30),
            utc(2025, 10, 27, 1, 30) },
        // Samoa skipped 2011-12-30 whole, from UTC-10 to UTC+14.
        { "Apia daily", R"({"kind":"daily","time":"10:00"})", "Pacific/Apia", utc(2011, 12, 29, 22),
            utc(2011, 12, 30, 20) },
        { "sunday", R"({"kind":"weekly","days":["sun"],"time":"00:00"})", "UTC", utc(2025, 6, 4),
            utc(2025, 6, 8) },
        { "the zone's day decides", wednesdays, "America/New_York", utc(2025, 6, 4, 12),
            utc(2025, 6, 4, 13) },
        { "far future", daily0230, "UTC", far, std::nullopt },
        // The interval grid hangs on the creation time.
        { "interval created far", everyTwoHours, "UTC", kNow, std::nullopt, far },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(describe(parsed(testCase.schedule, testCase.zoneName)
                               .nextDate(testCase.after, testCase.createdAt, *zone(testCase.zoneName))),
            describe(testCase.expected));
    }
}

TEST(RoutineSchedule, NextDateIsAlwaysAWholeMinuteStrictlyAfterTheStart)
{
    std::mt19937 random(20250602);
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2000, 1, 1).time_since_epoch().count(), utc(2060, 1, 1).time_since_epoch().count());
    for (const auto* zoneName :
        { "Europe/Berlin", "Pacific/Apia", "Australia/Lord_Howe", "Asia/Kathmandu" }) {
        for (const auto* text : { R"({"kind":"daily","time":"02:30"})",
                 R"({"kind":"weekly","days":["mon","sun"],"time":"02:15"})",
                 R"({"kind":"interval","hours":1})", R"({"kind":"cron","expr":"0,30 1-3 * * *"})",
                 R"({"kind":"cron","expr":"0 0 13 * 5"})" }) {
            auto schedule = parsed(text, zoneName);
            for (int sample = 0; sample < 40; ++sample) {
                RoutineDate after { std::chrono::milliseconds(instants(random)) };
                RoutineDate created { std::chrono::milliseconds(instants(random)) };
                SCOPED_TRACE(std::string(zoneName) + " " + text + " " + describe(after));
                // Walking two steps shows that following the fire times never stalls.
                for (int step = 0; step < 2; ++step) {
                    auto next = schedule.nextDate(after, created, *zone(zoneName));
                    ASSERT_TRUE(next);
                    EXPECT_GT(*next, after);
                    EXPECT_EQ(
                        next->time_since_epoch() % std::chrono::minutes(1), std::chrono::milliseconds(0));
                    after = *next;
                }
            }
        }
    }
}

}
