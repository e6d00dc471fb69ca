#include "Platform/Net.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

using namespace vellumar::platform;
using namespace std::chrono_literals;

namespace {

// One step on the timer's queue: schedule a time-out that records `mark` (which may schedule `then`
// from its own firing), or cancel.
struct Step {
    std::chrono::duration<double> after {};
    int mark = 0;
    bool cancels = false;
    std::chrono::duration<double> then {};
};

}

TEST(NetTimer, OnlyTheLastScheduledTimeOutFiresAndACancelledOneNever)
{
    struct Row {
        const char* name;
        std::vector<Step> steps;
        std::vector<int> fired;
    };
    const std::vector<Row> rows {
        { "a later time-out replaces a pending earlier one", { { 50ms, 1 }, { 300ms, 2 } }, { 2 } },
        { "an earlier time-out replaces a pending later one", { { 30s, 1 }, { 50ms, 2 } }, { 2 } },
        { "one already due is replaced before it ran", { { 0ms, 1 }, { 100ms, 2 } }, { 2 } },
        { "a cancelled one never fires", { { 0ms, 1 }, { .cancels = true } }, {} },
        { "scheduled again after a cancel, it fires", { { 50ms, 1 }, { .cancels = true }, { 100ms, 2 } },
            { 2 } },
        { "a time-out schedules the next from its own firing", { { 10ms, 1, false, 50ms } }, { 1, 101 } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NetQueue queue("timer-test");
        // Made, used and destroyed on their queue only.
        std::unique_ptr<NetTimer> timer, sentinel;
        std::vector<int> fired;
        std::promise<void> done;
        queue.sync([&] {
            timer = std::make_unique<NetTimer>(queue);
            sentinel = std::make_unique<NetTimer>(queue);
            for (const auto& step : row.steps) {
                if (step.cancels) {
                    timer->cancel();
                    continue;
                }
                timer->schedule(step.after, [&, step] {
                    fired.push_back(step.mark);
                    if (step.then > 0s)
                        timer->schedule(step.then, [&, step] { fired.push_back(step.mark + 100); });
                });
            }
            // After every time-out a row schedules: the queue runs due waits in the order of their times.
            sentinel->schedule(1s, [&] { done.set_value(); });
        });
        done.get_future().wait();
        queue.sync([&] {
            EXPECT_EQ(fired, row.fired);
            timer.reset();
            sentinel.reset();
        });
    }
}
