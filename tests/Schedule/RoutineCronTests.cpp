#include "VellumarMacCore/Schedule/RoutineCron.h"

#include "tests/Schedule/ScheduleTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

using vellumar::RoutineCron;
using vellumar::RoutineDate;
using vellumar::test::describe;
using vellumar::test::utc;
using vellumar::test::zone;

namespace {

TEST(RoutineCron, RefusesMalformedExpressions)
{
    const std::string overLimit = "0 0 * *" + std::string(93, ' ') + "*"; // 101 characters
    for (const auto* text : { "* * * *", "* * * * * *", "1-2-3 * * * *", "1/2/3 * * * *", "000 * * * *",
             "1,,2 * * * *", "+1 * * * *", "5-1 * * * *", "60 * * * *", "* * 0 * *", "* * * * 8",
             "0\r 0 * * *", overLimit.c_str() }) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(RoutineCron::parse(text));
    }
    // A step of 0 would never advance: a child process answers within a bound instead of hanging the suite.
    EXPECT_EQ(vellumar::test::exitStatusWithin(
                  std::chrono::seconds(30), [] { return RoutineCron::parse("*/0 * * * *") ? 1 : 0; }),
        0);
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
    EXPECT_TRUE(RoutineCron::parse("0 0 * *" + std::string(92, ' ') + "*")); // exactly 100 characters
}

TEST(RoutineCron, NextDateSearchesFromTheFollowingMinuteForAboutFiveYears)
{
    // Which days and times fire is checked against croniter below, which may be missing; these are what it
    // cannot be asked, and the rule for the two day fields.
    const std::tuple<const char*, RoutineDate, std::optional<RoutineDate>> cases[] = {
        { "*/30 * * * *", utc(2025, 9, 1, 10), utc(2025, 9, 1, 10, 30) },
        { "*/30 * * * *", utc(2025, 9, 1, 9, 59, 59, 999), utc(2025, 9, 1, 10) },
        // 2100 is no leap year: after 2096 the next 29 February is in 2104.
        { "0 0 29 2 *", utc(2099, 3, 1), utc(2104, 2, 29) },
        // Both day fields restricted: either one matching is enough (2025-09-12 is a Friday, not the 13th).
        { "0 0 13 * 5", utc(2025, 9, 6), utc(2025, 9, 12) },
    };
    for (const auto& [expression, after, expected] : cases) {
        SCOPED_TRACE(expression);
        EXPECT_EQ(
            describe(RoutineCron::parse(expression)->nextDate(after, *zone("UTC"))), describe(expected));
    }
}

TEST(RoutineCron, RespectsMinimumIntervalOfThirtyMinutes)
{
    const std::pair<std::string_view, bool> cases[] = { { "*/30 * * * *", true }, { "0 0 1 1 *", true },
        { "0,29 * * * *", false }, { "59,0 0,1 * * *", false }, { "0 0 30 2 *", false } };
    for (const auto& [expression, accepted] : cases) {
        SCOPED_TRACE(expression);
        EXPECT_EQ(
            RoutineCron::parse(expression)->respectsMinimumInterval(utc(2025, 3, 1), *zone("UTC")), accepted);
    }
}

// croniter 1.3.5 given a zone-aware start keeps the start's UTC offset when its search crosses a clock
// change, landing an hour off. So it walks the zone's wall clock without a zone, and zoneinfo turns
// each wall time into an instant. A wall time that the zone skips or repeats is answered "x": there
// the dialects knowingly differ (this system moves a skipped time to the next existing instant and
// fires once, at the first of two), so such a walk is left out.
constexpr const char* kCroniterScript = R"PY(
import sys, datetime
from croniter import croniter
from zoneinfo import ZoneInfo
def instant(wall, zone):
    first, second = wall.replace(tzinfo=zone, fold=0), wall.replace(tzinfo=zone, fold=1)
    return None if first.utcoffset() != second.utcoffset() else round(first.timestamp() * 1000)
for line in sys.stdin:
    expression, name, start = line.rstrip("\n").split("\t")
    zone = ZoneInfo(name)
    wall = datetime.datetime.fromtimestamp(int(start) / 1000, zone).replace(tzinfo=None)
    times = croniter(expression, wall)
    answers = [instant(wall, zone)] + [instant(times.get_next(datetime.datetime), zone) for _ in range(4)]
    print("x" if None in answers else " ".join(str(at) for at in answers[1:]))
)PY";

// A field of one to three pieces ("n", "a-b", "a-b/s", "n/s", "*/s"), or with odds of about
// 1 - 1/`starOdds` the bare star, so that most expressions fire within the search window.
std::string randomField(std::mt19937& random, int lowest, int highest, int starOdds)
{
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    if (between(1, starOdds) > 1)
        return "*";
    std::string field;
    for (int pieces = between(1, 3); pieces > 0; --pieces) {
        int first = between(lowest, highest);
        std::string last = "-" + std::to_string(between(first, highest));
        std::string step = "/" + std::to_string(between(1, std::max(2, (highest - lowest) / 2)));
        const std::string forms[] = { "*" + step, std::to_string(first), std::to_string(first),
            std::to_string(first) + last, std::to_string(first) + last + step, std::to_string(first) + step };
        field += (field.empty() ? "" : ",") + forms[between(0, 5)];
    }
    return field;
}

// Fire times against python3-croniter, an independent cron implementation, on random expressions.
TEST(RoutineCron, FireTimesAgreeWithCroniter)
{
    // croniter is installed for Debian's own interpreter, whatever `python3` on PATH is.
    std::mt19937 random(1830);
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2020, 1, 1).time_since_epoch().count(), utc(2035, 1, 1).time_since_epoch().count());
    std::string questions;
    std::vector<std::string> ours;
    for (const auto* zoneName : { "UTC", "Europe/Berlin", "America/New_York", "Asia/Kathmandu" }) {
        auto timeZone = zone(zoneName);
        for (std::size_t wanted = ours.size() + 150; ours.size() < wanted;) {
            auto text = randomField(random, 0, 59, 1) + " " + randomField(random, 0, 23, 2) + " "
                + randomField(random, 1, 31, 6) + " " + randomField(random, 1, 12, 6) + " "
                + randomField(random, 0, 7, 6);
            auto cron = RoutineCron::parse(text);
            ASSERT_TRUE(cron) << text;
            RoutineDate start { std::chrono::milliseconds(instants(random)) };
            // croniter reads a restricted field that covers every value as "*", and so applies the AND
            // rule where this system applies OR.
            if (cron->dayRestricted && cron->weekdayRestricted
                && (cron->days.size() == 31 || cron->weekdays.size() == 7))
                continue;
            std::string times;
            std::optional<RoutineDate> next = start;
            for (int index = 0; next && index < 4; ++index) {
                next = cron->nextDate(*next, *timeZone);
                times += (index > 0 ? " " : "")
                    + (next ? std::to_string(next->time_since_epoch().count()) : "");
            }
            // croniter searches without a window; only expressions that fire within ours are compared.
            if (!next)
                continue;
            questions
                += text + "\t" + zoneName + "\t" + std::to_string(start.time_since_epoch().count()) + "\n";
            ours.push_back(times + "\t" + text + " in " + zoneName + " after " + describe(start));
        }
    }
    auto peer = vellumar::test::runPeer({ "/usr/bin/python3", "-c", kCroniterScript }, questions);
    ASSERT_EQ(peer.exitStatus, 0) << "croniter failed; is python3-croniter installed?";
    std::istringstream lines(peer.output);
    int agreed = 0;
    for (const auto& answer : ours) {
        std::string theirs;
        ASSERT_TRUE(std::getline(lines, theirs)) << "croniter answered fewer lines than it was asked";
        if (theirs == "x")
            continue;
        EXPECT_EQ(answer.substr(0, answer.find('\t')), theirs) << answer.substr(answer.find('\t') + 1);
        ++agreed;
    }
    EXPECT_GE(agreed, 500);
}

}
