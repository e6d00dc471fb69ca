// Fire times against python3-croniter, an independent cron implementation, on random expressions.
#include "VellumarMacCore/Routines/Schedule/RoutineCron.h"

#include "tests/Routines/ScheduleTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using vellumar::RoutineCron;
using vellumar::RoutineDate;
using vellumar::test::describe;
using vellumar::test::runPeer;
using vellumar::test::utc;
using vellumar::test::zone;

namespace {

// croniter is installed for Debian's own interpreter, whatever `python3` on PATH is.
constexpr const char* kDebianPython = "/usr/bin/python3";
constexpr int kExpressionsPerZone = 200;
constexpr int kFireTimesPerExpression = 4;

// croniter 1.3.5 given a zone-aware start keeps the start's UTC offset when its search crosses a clock
// change, landing an hour off. So it walks the zone's wall clock without a zone, and zoneinfo turns
// each wall time into an instant. A wall time that the zone skips or repeats is answered "x": there
// the dialects knowingly differ (this system moves a skipped time to the next existing instant and
// fires once, at the first of two), so such a walk is left out.
constexpr const char* kCroniterScript = R"PY(
import sys, datetime
from croniter import croniter
from zoneinfo import ZoneInfo
utc = datetime.timezone.utc
def instant(wall, zone):
    first, second = wall.replace(tzinfo=zone, fold=0), wall.replace(tzinfo=zone, fold=1)
    if first.utcoffset() != second.utcoffset():
        return None
    return round(first.timestamp() * 1000)
for line in sys.stdin:
    expression, name, start, count = line.rstrip("\n").split("\t")
    zone = ZoneInfo(name)
    wall = datetime.datetime.fromtimestamp(int(start) / 1000, zone)
    answers = []
    if instant(wall.replace(tzinfo=None), zone) is None:
        answers.append("x")
    else:
        times = croniter(expression, wall.replace(tzinfo=None))
        for _ in range(int(count)):
            at = instant(times.get_next(datetime.datetime), zone)
            answers.append("x" if at is None else str(at))
    print(" ".join(answers))
)PY";

class ExpressionGenerator {
public:
    explicit ExpressionGenerator(std::uint32_t seed)
        : m_random(seed)
    {
    }

    std::string expression()
    {
        // Day, month and weekday are mostly "*" so that most expressions fire within the window.
        return field(0, 59, 1) + " " + field(0, 23, 2) + " " + field(1, 31, 6) + " " + field(1, 12, 6) + " "
            + field(0, 7, 6);
    }

private:
    int between(int lowest, int highest)
    {
        return std::uniform_int_distribution<int>(lowest, highest)(m_random);
    }

    std::string piece(int lowest, int highest)
    {
        int first = between(lowest, highest);
        int last = between(first, highest);
        std::string step = "/" + std::to_string(between(1, std::max(2, (highest - lowest) / 2)));
        switch (between(0, 5)) {
        case 0:
            return "*" + step;
        case 1:
        case 2:
            return std::to_string(first);
        case 3:
            return std::to_string(first) + "-" + std::to_string(last);
        case 4:
            return std::to_string(first) + "-" + std::to_string(last) + step;
        default:
            return std::to_string(first) + step;
        }
    }

    // With odds of 1 in `starOdds`-ish the bare star, otherwise a list of one to three pieces.
    std::string field(int lowest, int highest, int starOdds)
    {
        if (between(1, starOdds) > 1)
            return "*";
        std::string text = piece(lowest, highest);
        for (int extra = between(0, 2); extra > 0; --extra)
            text += "," + piece(lowest, highest);
        return text;
    }

    std::mt19937 m_random;
};

// croniter reads a restricted field that covers every value as "*", and so applies the AND rule where
// this system applies OR (it keeps "restricted" for any field that is not literally "*").
bool dialectsDifferOnDayRule(const RoutineCron& cron)
{
    return cron.dayRestricted && cron.weekdayRestricted
        && (cron.days.size() == 31 || cron.weekdays.size() == 7);
}

std::vector<std::string> ourFireTimes(
    const RoutineCron& cron, RoutineDate after, const icu::TimeZone& timeZone)
{
    std::vector<std::string> times;
    for (int index = 0; index < kFireTimesPerExpression; ++index) {
        auto next = cron.nextDate(after, timeZone);
        if (!next)
            return {};
        times.push_back(std::to_string(next->time_since_epoch().count()));
        after = *next;
    }
    return times;
}

TEST(RoutineCron, FireTimesAgreeWithCroniter)
{
    if (!std::filesystem::exists(kDebianPython))
        GTEST_SKIP() << "Debian's python3 is missing; scripts/setup installs it with python3-croniter";
    ExpressionGenerator generator(14);
    std::mt19937 random(1830);
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2020, 1, 1).time_since_epoch().count(), utc(2035, 1, 1).time_since_epoch().count());

    struct Comparison {
        std::string expression;
        std::string zoneName;
        RoutineDate start;
        std::vector<std::string> ours;
    };
    std::vector<Comparison> comparisons;
    int leftOutForDayRule = 0;
    for (const auto* zoneName : { "UTC", "Europe/Berlin", "America/New_York" }) {
        auto timeZone = zone(zoneName);
        for (int count = 0; count < kExpressionsPerZone;) {
            auto text = generator.expression();
            auto cron = RoutineCron::parse(text);
            ASSERT_TRUE(cron) << text;
            RoutineDate start { std::chrono::milliseconds(instants(random)) };
            if (dialectsDifferOnDayRule(*cron)) {
                ++leftOutForDayRule;
                continue;
            }
            // croniter searches without a window; only expressions that fire within ours are compared.
            auto ours = ourFireTimes(*cron, start, *timeZone);
            if (ours.empty())
                continue;
            comparisons.push_back({ text, zoneName, start, std::move(ours) });
            ++count;
        }
    }

    std::string input;
    for (const auto& comparison : comparisons)
        input += comparison.expression + "\t" + comparison.zoneName + "\t"
            + std::to_string(comparison.start.time_since_epoch().count()) + "\t"
            + std::to_string(kFireTimesPerExpression) + "\n";
    auto peer = runPeer({ kDebianPython, "-c", kCroniterScript }, input);
    ASSERT_EQ(peer.exitStatus, 0) << "croniter failed; is python3-croniter installed?";

    std::istringstream lines(peer.output);
    int agreed = 0;
    int leftOutForClockChanges = 0;
    for (const auto& comparison : comparisons) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << "croniter answered fewer lines than it was asked";
        if (line.find('x') != std::string::npos) {
            ++leftOutForClockChanges;
            continue;
        }
        std::vector<std::string> theirs;
        std::istringstream words(line);
        for (std::string word; words >> word;)
            theirs.push_back(word);
        EXPECT_EQ(comparison.ours, theirs) << comparison.expression << " in " << comparison.zoneName
                                           << " after " << describe(comparison.start);
        agreed += comparison.ours == theirs;
    }
    EXPECT_GE(agreed, 500);
    std::cout << agreed << " walks agreed; left out: " << leftOutForDayRule << " for the day rule, "
              << leftOutForClockChanges << " for clock changes\n";
}

}
