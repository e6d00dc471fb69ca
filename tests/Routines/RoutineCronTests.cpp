#include "VellumarMacCore/Routines/Schedule/RoutineCron.h"

#include "tests/Routines/ScheduleTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vellumar::RoutineCron;
using vellumar::RoutineDate;
using vellumar::test::describe;
using vellumar::test::utc;
using vellumar::test::zone;

namespace {

RoutineCron parsedCron(std::string_view text)
{
    auto cron = RoutineCron::parse(text);
    if (!cron) {
        ADD_FAILURE() << "refused: " << text;
        return RoutineCron {};
    }
    return *cron;
}

// Successive fire times from `after`, described.
std::vector<std::string> fireTimes(
    std::string_view text, RoutineDate after, int count, const char* zoneName = "UTC")
{
    auto cron = parsedCron(text);
    auto timeZone = zone(zoneName);
    std::vector<std::string> times;
    for (int index = 0; index < count; ++index) {
        auto next = cron.nextDate(after, *timeZone);
        times.push_back(describe(next));
        if (!next)
            break;
        after = *next;
    }
    return times;
}

TEST(RoutineCron, RefusesMalformedExpressions)
{
    const std::string longButValid = "0 0 * *" + std::string(93, ' ') + " *"; // 102 characters
    const char* cases[] = {
        "",
        "* * * *",
        "* * * * * *",
        "*/0 * * * *",
        "1-2-3 * * * *",
        "000 * * * *",
        "60 * * * *",
        "* 24 * * *",
        "* * 0 * *",
        "* * 32 * *",
        "* * * 0 *",
        "* * * 13 *",
        "* * * * 8",
        "5-1 * * * *",
        "1,,2 * * * *",
        "1, * * * *",
        ",1 * * * *",
        "-1 * * * *",
        "+1 * * * *",
        "1- * * * *",
        "*/ * * * *",
        "/5 * * * *",
        "1/2/3 * * * *",
        "*/100 * * * *",
        "** * * * *",
        "*-5 * * * *",
        "0 0 * * MON",
        "0 0 * JAN *",
        "0 0 ? * *",
        "0 0 L * *",
        "0 0 * * 1#2",
        "@daily",
        "0\r 0 * * *",
        "0\v0 * * * *",
        "\xEF\xBC\x91 * * * *", // fullwidth digit one
        longButValid.c_str(),
    };
    for (const auto* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(RoutineCron::parse(text));
    }
}

TEST(RoutineCron, ExpandsFieldsIntoValueSets)
{
    auto cron = parsedCron(" 5/15\t 1-3,22 \n*/10 2,12 7 ");
    EXPECT_EQ(cron.expression, "5/15 1-3,22 */10 2,12 7");
    EXPECT_EQ(cron.minutes, (std::vector<int> { 5, 20, 35, 50 }));
    EXPECT_EQ(cron.hours, (std::vector<int> { 1, 2, 3, 22 }));
    EXPECT_EQ(cron.days, (std::set<int> { 1, 11, 21, 31 }));
    EXPECT_EQ(cron.months, (std::set<int> { 2, 12 }));
    EXPECT_EQ(cron.weekdays, (std::set<int> { 0 }));
    EXPECT_TRUE(cron.dayRestricted);
    EXPECT_TRUE(cron.weekdayRestricted);

    auto everything = parsedCron("* * * * *");
    EXPECT_EQ(everything.minutes.size(), 60u);
    EXPECT_EQ(everything.hours.size(), 24u);
    EXPECT_EQ(everything.days.size(), 31u);
    EXPECT_EQ(everything.months.size(), 12u);
    EXPECT_EQ(everything.weekdays, (std::set<int> { 0, 1, 2, 3, 4, 5, 6 }));
    EXPECT_FALSE(everything.dayRestricted);
    EXPECT_FALSE(everything.weekdayRestricted);

    EXPECT_EQ(parsedCron("07 08 09 01 00").minutes, (std::vector<int> { 7 }));
    EXPECT_EQ(parsedCron("59-59/30 0-0 31 12 0-7").weekdays, (std::set<int> { 0, 1, 2, 3, 4, 5, 6 }));
    EXPECT_EQ(parsedCron("0 0 * * 5-7").weekdays, (std::set<int> { 0, 5, 6 }));
    EXPECT_EQ(parsedCron("0 0 * * 7").weekdays, parsedCron("0 0 * * 0").weekdays);
    // Exactly 100 characters is still allowed.
    EXPECT_TRUE(RoutineCron::parse("0 0 * *" + std::string(92, ' ') + "*"));
}

TEST(RoutineCron, MatchesEitherDayFieldOnlyWhenBothAreRestricted)
{
    // September 2025: the 13th is a Saturday, Fridays are the 5th, 12th, 19th and 26th.
    const RoutineDate start = utc(2025, 9, 1);
    struct Case {
        std::string_view expression;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        { "0 0 13 * 5",
            { describe(utc(2025, 9, 5)), describe(utc(2025, 9, 12)), describe(utc(2025, 9, 13)),
                describe(utc(2025, 9, 19)), describe(utc(2025, 9, 26)) } },
        { "0 0 13 * *",
            { describe(utc(2025, 9, 13)), describe(utc(2025, 10, 13)), describe(utc(2025, 11, 13)),
                describe(utc(2025, 12, 13)), describe(utc(2026, 1, 13)) } },
        { "0 0 * * 5",
            { describe(utc(2025, 9, 5)), describe(utc(2025, 9, 12)), describe(utc(2025, 9, 19)),
                describe(utc(2025, 9, 26)), describe(utc(2025, 10, 3)) } },
        // "*/10" is not the bare star, so it is restricted and joins the Fridays.
        { "0 0 */10 * 5",
            { describe(utc(2025, 9, 5)), describe(utc(2025, 9, 11)), describe(utc(2025, 9, 12)),
                describe(utc(2025, 9, 19)), describe(utc(2025, 9, 21)) } },
        // Sunday as 0 and as 7.
        { "30 6 * * 0",
            { describe(utc(2025, 9, 7, 6, 30)), describe(utc(2025, 9, 14, 6, 30)),
                describe(utc(2025, 9, 21, 6, 30)), describe(utc(2025, 9, 28, 6, 30)),
                describe(utc(2025, 10, 5, 6, 30)) } },
        { "30 6 * * 7",
            { describe(utc(2025, 9, 7, 6, 30)), describe(utc(2025, 9, 14, 6, 30)),
                describe(utc(2025, 9, 21, 6, 30)), describe(utc(2025, 9, 28, 6, 30)),
                describe(utc(2025, 10, 5, 6, 30)) } },
        // A month without day 31 is passed over, and the month field restricts both day fields.
        { "0 12 31 * *",
            { describe(utc(2025, 10, 31, 12)), describe(utc(2025, 12, 31, 12)),
                describe(utc(2026, 1, 31, 12)), describe(utc(2026, 3, 31, 12)),
                describe(utc(2026, 5, 31, 12)) } },
        { "0 0 1 2 1",
            { describe(utc(2026, 2, 1)), describe(utc(2026, 2, 2)), describe(utc(2026, 2, 9)),
                describe(utc(2026, 2, 16)), describe(utc(2026, 2, 23)) } },
        { "0 0 29 2 *",
            { describe(utc(2028, 2, 29)), describe(utc(2032, 2, 29)), describe(utc(2036, 2, 29)) } },
        { "0 0 30 2 *", { "none" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.expression);
        EXPECT_EQ(fireTimes(testCase.expression, start, static_cast<int>(testCase.expected.size())),
            testCase.expected);
    }
}

TEST(RoutineCron, NextDateStartsAtTheFollowingMinute)
{
    // Within a firing minute the next one is due, never the current one again.
    EXPECT_EQ(fireTimes("*/30 * * * *", utc(2025, 9, 1, 10, 0, 0, 0), 2),
        (std::vector<std::string> { describe(utc(2025, 9, 1, 10, 30)), describe(utc(2025, 9, 1, 11)) }));
    EXPECT_EQ(fireTimes("*/30 * * * *", utc(2025, 9, 1, 9, 59, 59, 999), 1),
        (std::vector<std::string> { describe(utc(2025, 9, 1, 10)) }));
    EXPECT_EQ(fireTimes("59 23 31 12 *", utc(2025, 12, 31, 23, 58, 30), 2),
        (std::vector<std::string> {
            describe(utc(2025, 12, 31, 23, 59)), describe(utc(2026, 12, 31, 23, 59)) }));
    // Nepal's quarter-hour offset: minute starts are the zone's own, 10:00 local is 04:15 UTC.
    EXPECT_EQ(fireTimes("0 10 * * *", utc(2025, 9, 1), 1, "Asia/Kathmandu"),
        (std::vector<std::string> { describe(utc(2025, 9, 1, 4, 15)) }));
}

TEST(RoutineCron, RespectsMinimumIntervalOfThirtyMinutes)
{
    struct Case {
        std::string_view expression;
        bool accepted;
    };
    const Case cases[] = {
        { "*/30 * * * *", true },
        { "0,30 * * * *", true },
        { "0 * * * *", true },
        { "15,45 9-17 * * 1-5", true },
        { "0 0 1 1 *", true },
        { "29,59 * * * *", true },
        { "*/15 * * * *", false },
        { "0,20 * * * *", false },
        { "0,29 * * * *", false },
        { "59 0,1 * * *", true },
        { "59,0 0,1 * * *", false }, // 00:59 and 01:00
        { "* 3 * * *", false },
        { "0 0 30 2 *", false },
        { "0 0 29 2 *", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.expression);
        auto cron = RoutineCron::parse(testCase.expression);
        if (!cron) {
            EXPECT_FALSE(testCase.accepted);
            continue;
        }
        for (auto zoneName : { "UTC", "Europe/Berlin", "America/New_York" }) {
            SCOPED_TRACE(zoneName);
            EXPECT_EQ(cron->respectsMinimumInterval(utc(2025, 3, 1), *zone(zoneName)), testCase.accepted);
        }
    }
}

TEST(RoutineCron, SearchWindowEndsAfterAboutFiveYears)
{
    // From 2097 the next 29 February is in 2104, beyond the window.
    EXPECT_EQ(fireTimes("0 0 29 2 *", utc(2096, 3, 1), 1), (std::vector<std::string> { "none" }));
    EXPECT_EQ(fireTimes("0 0 29 2 *", utc(2099, 3, 1), 1),
        (std::vector<std::string> { describe(utc(2104, 2, 29)) }));
}

}
