#include "VellumarMacCore/Reply/JobControl.h"

#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stop_token>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    // A guard against a hang, not a measurement.
    constexpr auto kPatience = 60s;

    JSON question(const std::string& id) { return JSON::object({ { "requestId", id } }); }

    std::future<std::string> askAsync(JobControl& control, const std::string& id)
    {
        return std::async(std::launch::async, [&control, id] { return control.ask(question(id)); });
    }

    TEST(JobControl, ResumedNeverMovesBackToAnEarlierAnswer)
    {
        // The first answer reads the clock early but reaches the lock only after a later answer has
        // been recorded: the later moment must stay.
        const auto early = test::ManualClock().now;
        const auto late = early + 5min;
        std::promise<void> firstReadTheClock;
        std::promise<void> secondRecorded;
        auto secondRecordedSignal = secondRecorded.get_future().share();
        std::atomic<int> clockReads { 0 };
        auto clock = [&] {
            if (clockReads.fetch_add(1) > 0)
                return late;
            firstReadTheClock.set_value();
            secondRecordedSignal.wait_for(kPatience);
            return early;
        };
        JobControl control(
            "j-5", std::nullopt, {}, [](const JSON&, std::stop_token) { return "once"; }, clock);
        auto first = askAsync(control, "p-1");
        ASSERT_EQ(firstReadTheClock.get_future().wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(control.ask(question("p-2")), "once");
        EXPECT_TRUE(control.waitState().questionPending) << "the first answer is not recorded yet";
        secondRecorded.set_value();
        EXPECT_EQ(first.get(), "once");
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_EQ(control.waitState().resumedAt, late);
    }

}
}
