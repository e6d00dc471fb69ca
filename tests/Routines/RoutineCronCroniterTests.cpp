// Fire times against python3-croniter, an independent cron implementation, on random expressions.
#include "VellumarMacCore/Routines/Schedule/RoutineCron.h"

#include "tests/Routines/ScheduleTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// croniter is installed for Debian's own interpreter, whatever `python3` on PATH is.
constexpr const char* kDebianPython = "/usr/bin/python3";
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
def instant(wall, zone):
    first, second = wall.replace(tzinfo=zone, fold=0), wall.replace(tzinfo=zone, fold=1)
    return None if first.utcoffset() != second.utcoffset() else round(first.timestamp() * 1000)
for line in sys.stdin:
    expression, name, start, count = line.rstrip("\n").split("\t")
    zone = ZoneInfo(name)
    wall = datetime.datetime.fromtimestamp(int(start) / 1000, zone).replace(tzinfo=None)
    if instant(wall, zone) is None:
        print("x")
        continue
    times = croniter(expression, wall)
    answers = [instant(times.get_next(datetime.datetime), zone) for _ in range(int(count))]
    print(" ".join("x" if at is None else str(at) for at in answers))
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

TEST(RoutineCron, FireTimesAgreeWithCroniter)
{
    if (!std::filesystem::exists(kDebianPython))
        GTEST_SKIP() << "Debian's python3 is missing; scripts/setup installs it with python3-croniter";
    std::mt19937 random(1830);
    std::uniform_int_distribution<std::int64_t> instants(
        utc(2020, 1, 1).time_since_epoch().count(), utc(2035, 1, 1).time_since_epoch().count());

    std::vector<std::string> questions;
    std::vector<std::string> ours;
    for (const auto* zoneName : { "UTC", "Europe/Berlin", "America/New_York" }) {
        auto timeZone = zone(zoneName);
        for (int count = 0; count < 200;) {
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
            auto next = cron->nextDate(start, *timeZone);
            for (int index = 1; next && index <= kFireTimesPerExpression; ++index) {
                times += (index > 1 ? " " : "") + std::to_string(next->time_since_epoch().count());
                if (index < kFireTimesPerExpression)
                    next = cron->nextDate(*next, *timeZone);
            }
            // croniter searches without a window; only expressions that fire within ours are compared.
            if (!next)
                continue;
            questions.push_back(text + "\t" + zoneName + "\t"
                + std::to_string(start.time_since_epoch().count()) + "\t"
                + std::to_string(kFireTimesPerExpression));
            ours.push_back(times + "\t" + text + " in " + zoneName + " after " + describe(start));
            ++count;
        }
    }

    std::string input;
    for (const auto& question : questions)
        input += question + "\n";
    auto peer = vellumar::test::runPeer({ kDebianPython, "-c", kCroniterScript }, input);
    ASSERT_EQ(peer.exitStatus, 0) << "croniter failed; is python3-croniter installed?";
    std::istringstream lines(peer.output);
    int agreed = 0;
    for (const auto& answer : ours) {
        std::string theirs;
        ASSERT_TRUE(std::getline(lines, theirs)) << "croniter answered fewer lines than it was asked";
        if (theirs.find('x') != std::string::npos)
            continue;
        EXPECT_EQ(answer.substr(0, answer.find('\t')), theirs) << answer.substr(answer.find('\t') + 1);
        ++agreed;
    }
    EXPECT_GE(agreed, 500);
}

}
