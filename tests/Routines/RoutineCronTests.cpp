#include "VellumarMacCore/Routines/Schedule/RoutineCron.h"

#include "tests/Routines/ScheduleTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

using vellumar::RoutineCron;
using vellumar::RoutineDate;
using vellumar::test::describe;
using vellumar::test::utc;
using vellumar::test::zone;

namespace {

// Successive fire times from `after`, described.
std::vector<std::string> fireTimes(
    std::string_view text, RoutineDate after, int count, const char* zoneName = "UTC")
{
    auto cron = RoutineCron::parse(text);
    if (!cron)
        return { "refused" };
    auto timeZone = zone(zoneName);
    std::vector<std::string> times;
    for (std::optional<RoutineDate> next = after; count-- > 0 && next;) {
        next = cron->nextDate(*next, *timeZone);
        times.push_back(describe(next));
    }
    return times;
}

std::vector<std::string> described(const std::vector<RoutineDate>& dates)
{
    std::vector<std::string> texts;
    for (auto date : dates)
        texts.push_back(describe(date));
    return texts;
}

TEST(RoutineCron, RefusesMalformedExpressions)
{
    const std::string overLimit = "0 0 * *" + std::string(93, ' ') + "*"; // 101 characters
    const char* cases[] = { "* * * *", "* * * * * *", "1-2-3 * * * *", "1/2/3 * * * *", "000 * * * *",
        "1,,2 * * * *", "+1 * * * *", "5-1 * * * *", "60 * * * *", "* 24 * * *", "* * 0 * *", "* * 32 * *",
        "* * * 0 *", "* * * 13 *", "* * * * 8", "0 0 * * MON", "0\r 0 * * *", overLimit.c_str() };
    for (const auto* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(RoutineCron::parse(text));
    }
    // A step of 0 would never advance: a child process answers within a bound instead of hanging the suite.
    EXPECT_EXIT(
        {
            alarm(30);
            _exit(RoutineCron::parse("*/0 * * * *") ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(RoutineCron, ExpandsFieldsIntoValueSets)
{
    auto cron = RoutineCron::parse(" 5/15\t 1-3,22 \n*/10 2,12 7 ");
    ASSERT_TRUE(cron);
    EXPECT_EQ(cron->expression, "5/15 1-3,22 */10 2,12 7");
    EXPECT_EQ(cron->minutes, (std::vector<int> { 5, 20, 35, 50 }));
    EXPECT_EQ(cron->hours, (std::vector<int> { 1, 2, 3, 22 }));
    EXPECT_EQ(cron->days, (std::set<int> { 1, 11, 21, 31 }));
    EXPECT_EQ(cron->months, (std::set<int> { 2, 12 }));
    EXPECT_EQ(cron->weekdays, (std::set<int> { 0 }));
    EXPECT_EQ(RoutineCron::parse("0 0 * * 5-7")->weekdays, (std::set<int> { 0, 5, 6 }));
    EXPECT_TRUE(RoutineCron::parse("07 08 09 01 00"));
    EXPECT_TRUE(RoutineCron::parse("0 0 * *" + std::string(92, ' ') + "*")); // exactly 100 characters
}

TEST(RoutineCron, MatchesEitherDayFieldOnlyWhenBothAreRestricted)
{
    // September 2025: the 13th is a Saturday, Fridays are the 5th, 12th, 19th and 26th.
    const RoutineDate start = utc(2025, 9, 1);
    struct Case {
        std::string_view expression;
        std::vector<RoutineDate> expected;
    };
    const Case cases[] = {
        { "0 0 13 * 5", { utc(2025, 9, 5), utc(2025, 9, 12), utc(2025, 9, 13), utc(2025, 9, 19) } },
        { "0 0 * * 5", { utc(2025, 9, 5), utc(2025, 9, 12), utc(2025, 9, 19), utc(2025, 9, 26) } },
        // "*/10" is not the bare star, so it is restricted and joins the Fridays.
        { "0 0 */10 * 5", { utc(2025, 9, 5), utc(2025, 9, 11), utc(2025, 9, 12), utc(2025, 9, 19) } },
        // The month restricts both day fields.
        { "0 0 1 2 1", { utc(2026, 2, 1), utc(2026, 2, 2), utc(2026, 2, 9), utc(2026, 2, 16) } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.expression);
        EXPECT_EQ(fireTimes(testCase.expression, start, 4), described(testCase.expected));
    }
}

TEST(RoutineCron, NextDateStartsAtTheFollowingMinute)
{
    EXPECT_EQ(fireTimes("*/30 * * * *", utc(2025, 9, 1, 10), 1), described({ utc(2025, 9, 1, 10, 30) }));
    EXPECT_EQ(
        fireTimes("*/30 * * * *", utc(2025, 9, 1, 9, 59, 59, 999), 1), described({ utc(2025, 9, 1, 10) }));
    // Nepal's quarter-hour offset: 10:00 local is 04:15 UTC.
    EXPECT_EQ(
        fireTimes("0 10 * * *", utc(2025, 9, 1), 1, "Asia/Kathmandu"), described({ utc(2025, 9, 1, 4, 15) }));
}

TEST(RoutineCron, RespectsMinimumIntervalOfThirtyMinutes)
{
    struct Case {
        std::string_view expression;
        bool accepted;
    };
    // 2100 is no leap year: from 2096 the next 29 February outruns the five-year search.
    const Case cases[] = { { "*/30 * * * *", true }, { "0 0 1 1 *", true }, { "0,29 * * * *", false },
        { "59,0 0,1 * * *", false }, { "0 0 30 2 *", false }, { "0 0 29 2 *", false } };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.expression);
        EXPECT_EQ(
            RoutineCron::parse(testCase.expression)->respectsMinimumInterval(utc(2025, 3, 1), *zone("UTC")),
            testCase.accepted);
    }
}

TEST(RoutineCron, SearchWindowEndsAfterAboutFiveYears)
{
    // From 2097 the next 29 February is in 2104, beyond the window.
    EXPECT_EQ(fireTimes("0 0 29 2 *", utc(2096, 3, 1), 1), (std::vector<std::string> { "none" }));
    EXPECT_EQ(fireTimes("0 0 29 2 *", utc(2099, 3, 1), 1), described({ utc(2104, 2, 29) }));
}

}
