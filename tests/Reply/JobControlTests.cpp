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
#include <stdexcept>
#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    // A guard against a hang, not a measurement.
    constexpr auto kPatience = 60s;

    // Stands in for the job manager's question callback: every question blocks until the test answers
    // it by its "requestId" (or the patience runs out), and the test can wait until questions are open.
    class QuestionDesk {
    public:
        JobControl::QuestionHandler handler()
        {
            return [this](const JSON& question, std::stop_token) {
                std::unique_lock lock(m_lock);
                auto id = *question.subscript("requestId")->stringValue();
                m_open.insert(id);
                m_changed.notify_all();
                bool answered = m_changed.wait_for(lock, kPatience, [&] { return m_answers.contains(id); });
                m_open.erase(id);
                return answered ? m_answers[id] : std::string("test deadline passed");
            };
        }

        // True once `count` questions are open at the same time.
        bool waitUntilOpen(std::size_t count)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, kPatience, [&] { return m_open.size() == count; });
        }

        void answer(const std::string& id, std::string text)
        {
            std::lock_guard lock(m_lock);
            m_answers[id] = std::move(text);
            m_changed.notify_all();
        }

    private:
        std::mutex m_lock;
        std::condition_variable m_changed;
        std::set<std::string> m_open;
        std::map<std::string, std::string> m_answers;
    };

    JSON question(const std::string& id) { return JSON::object({ { "requestId", id } }); }

    std::future<std::string> askAsync(JobControl& control, const std::string& id)
    {
        return std::async(std::launch::async, [&control, id] { return control.ask(question(id)); });
    }

    TEST(JobControl, WithoutQuestionHandlerDeniesAtOnceAndStaysIdle)
    {
        std::vector<RunnerEvent> events;
        JobControl control(
            "j-1", "You stopped the last reply.", [&](const RunnerEvent& event) { events.push_back(event); });
        EXPECT_EQ(control.stoppedNote(), "You stopped the last reply.");
        EXPECT_FALSE(control.canAsk());
        EXPECT_EQ(control.ask(question("p-1")), "deny");
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_FALSE(control.waitState().resumedAt);
        control.onEvent(RunnerEvent::tool("Bash"));
        EXPECT_EQ(events, std::vector<RunnerEvent> { RunnerEvent::tool("Bash") });
        // A handle made with only a job id ignores events.
        JobControl("j-2").onEvent(RunnerEvent::thinking());
    }

    TEST(JobControl, OverlappingQuestionsKeepWaitingUntilTheLastAnswer)
    {
        test::ManualClock clock;
        QuestionDesk desk;
        JobControl control("j-3", std::nullopt, {}, desk.handler(), clock.function());
        auto first = askAsync(control, "p-1");
        auto second = askAsync(control, "p-2");
        ASSERT_TRUE(desk.waitUntilOpen(2));
        EXPECT_TRUE(control.waitState().questionPending);
        EXPECT_FALSE(control.waitState().resumedAt);

        clock.now += 1min;
        auto firstAnswerAt = clock.now;
        desk.answer("p-1", " once ");
        EXPECT_EQ(first.get(), " once ") << "the answer is returned exactly as given";
        EXPECT_TRUE(control.waitState().questionPending);
        EXPECT_EQ(control.waitState().resumedAt, firstAnswerAt);

        clock.now += 1min;
        desk.answer("p-2", "deny");
        EXPECT_EQ(second.get(), "deny");
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_EQ(control.waitState().resumedAt, clock.now);
    }

    TEST(JobControl, AHandlerThatThrowsCountsAsARefusedAnsweredQuestion)
    {
        test::ManualClock clock;
        JobControl control(
            "j-4", std::nullopt, {},
            [](const JSON&, std::stop_token) -> std::string {
                throw std::runtime_error("the job manager is gone");
            },
            clock.function());
        EXPECT_EQ(control.ask(question("p-1")), "deny");
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_EQ(control.waitState().resumedAt, clock.now);
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
        bool firstWaits = firstReadTheClock.get_future().wait_for(kPatience) == std::future_status::ready;
        EXPECT_TRUE(firstWaits) << "the answer never read the clock";
        if (firstWaits) {
            EXPECT_EQ(control.ask(question("p-2")), "once");
            EXPECT_EQ(control.waitState().resumedAt, late);
            EXPECT_TRUE(control.waitState().questionPending) << "the first answer is not recorded yet";
        }
        secondRecorded.set_value();
        EXPECT_EQ(first.get(), "once");
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_EQ(control.waitState().resumedAt, late);
    }

    TEST(JobControl, ManyConcurrentQuestionsWhileTheWatchdogPolls)
    {
        constexpr int kQuestions = 10;
        QuestionDesk desk;
        JobControl control("j-6", std::nullopt, {}, desk.handler());
        std::jthread watchdog([&](std::stop_token stop) {
            while (!stop.stop_requested())
                (void)control.waitState();
        });
        std::vector<std::future<std::string>> answers;
        for (int index = 0; index < kQuestions; ++index)
            answers.push_back(askAsync(control, "p-" + std::to_string(index)));
        ASSERT_TRUE(desk.waitUntilOpen(kQuestions));
        for (int index = 0; index < kQuestions; ++index) {
            EXPECT_TRUE(control.waitState().questionPending);
            desk.answer("p-" + std::to_string(index), "answer " + std::to_string(index));
        }
        for (int index = 0; index < kQuestions; ++index)
            EXPECT_EQ(answers[index].get(), "answer " + std::to_string(index));
        watchdog.request_stop();
        EXPECT_FALSE(control.waitState().questionPending);
        EXPECT_TRUE(control.waitState().resumedAt);
    }

}
}
