#include "VellumarMacCore/Reply/JobControl.h"

#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>
#include <vector>

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

    TEST(JobControl, OverlappingQuestionsKeepWaitingUntilTheLastAnswerWhileTheWatchdogPolls)
    {
        constexpr int kQuestions = 10;
        // Every question blocks until the test answers it by its "requestId".
        std::mutex lock;
        std::condition_variable changed;
        std::set<std::string> open;
        std::map<std::string, std::string> answers;
        auto handler = [&](const JSON& asked, std::stop_token) {
            std::unique_lock guard(lock);
            auto id = *asked.subscript("requestId")->stringValue();
            open.insert(id);
            changed.notify_all();
            bool answered = changed.wait_for(guard, kPatience, [&] { return answers.contains(id); });
            return answered ? answers[id] : std::string("test deadline passed");
        };
        test::ManualClock clock;
        JobControl control("j-4", std::nullopt, {}, handler, clock.function());
        std::jthread watchdog([&](std::stop_token stop) {
            while (!stop.stop_requested())
                (void)control.waitState();
        });
        std::vector<std::future<std::string>> pending;
        for (int index = 0; index < kQuestions; ++index)
            pending.push_back(askAsync(control, "p-" + std::to_string(index)));
        {
            std::unique_lock guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, kPatience, [&] { return open.size() == kQuestions; }));
        }
        EXPECT_TRUE(control.waitState().questionPending);
        EXPECT_FALSE(control.waitState().resumedAt);
        for (int index = 0; index < kQuestions; ++index) {
            SCOPED_TRACE(index);
            clock.now += 1min;
            {
                std::lock_guard guard(lock);
                answers["p-" + std::to_string(index)] = " answer " + std::to_string(index);
                changed.notify_all();
            }
            EXPECT_EQ(pending[index].get(), " answer " + std::to_string(index));
            EXPECT_EQ(control.waitState().questionPending, index + 1 < kQuestions);
            EXPECT_EQ(control.waitState().resumedAt, clock.now);
        }
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
