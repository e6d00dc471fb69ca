#include "VellumarMacCore/Reply/JobControl.h"

#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    constexpr auto kGenerousDeadline = 60s;

    // The job manager and the routine scheduler hold runners only through the interface.
    static_assert(std::is_abstract_v<ReplyRunner>);

    // Stands in for the job manager's question callback: every question blocks until the test answers
    // it by its "requestId", and the test can wait until a given number of questions are open.
    class QuestionDesk {
    public:
        JobControl::QuestionHandler handler()
        {
            return [this](const JSON& question, std::stop_token) {
                std::unique_lock lock(m_lock);
                auto id = *question.subscript("requestId")->stringValue();
                m_open.insert(id);
                m_changed.notify_all();
                bool answered
                    = m_changed.wait_for(lock, kGenerousDeadline, [&] { return m_answers.contains(id); });
                m_open.erase(id);
                return answered ? m_answers[id] : std::string("test deadline passed");
            };
        }

        // True once `count` questions are open at the same time.
        bool waitUntilOpen(std::size_t count)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, kGenerousDeadline, [&] { return m_open.size() == count; });
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

    JSON question(const std::string& id)
    {
        return JSON::object({ { "requestId", id }, { "canAlways", false } });
    }

    TEST(JobControl, WithoutQuestionHandlerDeniesAtOnceAndStaysIdle)
    {
        std::vector<RunnerEvent> events;
        JobControl control(
            "compact", std::nullopt, [&](const RunnerEvent& event) { events.push_back(event); });
        EXPECT_FALSE(control.canAsk());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(control.ask(question("p-000000000001")), "deny");
            auto state = control.waitState();
            EXPECT_FALSE(state.questionPending);
            EXPECT_FALSE(state.resumedAt);
        }
        EXPECT_TRUE(events.empty());
    }

    TEST(JobControl, KeepsItsConstantFieldsAndForwardsEvents)
    {
        std::vector<RunnerEvent> events;
        JobControl control(
            "j-0123456789abcdef", "You stopped the last reply.",
            [&](const RunnerEvent& event) { events.push_back(event); },
            [](const JSON&, std::stop_token) { return "once"; });
        EXPECT_EQ(control.jobID(), "j-0123456789abcdef");
        EXPECT_EQ(control.stoppedNote(), "You stopped the last reply.");
        EXPECT_TRUE(control.canAsk());
        control.onEvent(RunnerEvent::tool("Bash"));
        control.onEvent(RunnerEvent::interim("one moment"));
        EXPECT_EQ(events,
            (std::vector<RunnerEvent> { RunnerEvent::tool("Bash"), RunnerEvent::interim("one moment") }));
    }

    TEST(JobControl, HandleMadeWithOnlyAJobIDIgnoresEvents)
    {
        JobControl control("compact");
        control.onEvent(RunnerEvent::thinking());
        EXPECT_FALSE(control.stoppedNote());
        EXPECT_FALSE(control.canAsk());
    }

    TEST(JobControl, ReturnsTheAnswerTextExactlyAsGiven)
    {
        const std::string answers[] = { "once", "conversation", "always", "deny", "timeout", "canceled",
            "busy", "", " once ", "ONCE", std::string("a\0b", 3), "\xFF\xFE not UTF-8" };
        for (const auto& answer : answers) {
            SCOPED_TRACE(answer);
            JobControl control(
                "j-0000000000000000", std::nullopt, {}, [&](const JSON&, std::stop_token) { return answer; });
            EXPECT_EQ(control.ask(question("p-000000000001")), answer);
        }
    }

    TEST(JobControl, ReportsWaitingUntilTheAnswerArrives)
    {
        test::ManualClock clock;
        QuestionDesk desk;
        JobControl control("j-0000000000000001", std::nullopt, {}, desk.handler(), clock.function());

        auto asked = std::async(std::launch::async, [&] { return control.ask(question("p-aaaaaaaaaaaa")); });
        ASSERT_TRUE(desk.waitUntilOpen(1));
        EXPECT_TRUE(control.waitState().questionPending);
        EXPECT_FALSE(control.waitState().resumedAt);

        clock.now += 7min;
        auto answeredAt = clock.now;
        desk.answer("p-aaaaaaaaaaaa", "always");
        EXPECT_EQ(asked.get(), "always");

        auto state = control.waitState();
        EXPECT_FALSE(state.questionPending);
        EXPECT_EQ(state.resumedAt, answeredAt);
    }

    TEST(JobControl, OverlappingQuestionsKeepWaitingUntilTheLastAnswer)
    {
        test::ManualClock clock;
        QuestionDesk desk;
        JobControl control("j-0000000000000002", std::nullopt, {}, desk.handler(), clock.function());

        auto first = std::async(std::launch::async, [&] { return control.ask(question("p-000000000001")); });
        auto second = std::async(std::launch::async, [&] { return control.ask(question("p-000000000002")); });
        ASSERT_TRUE(desk.waitUntilOpen(2));

        clock.now += 1min;
        auto firstAnswerAt = clock.now;
        desk.answer("p-000000000001", "once");
        EXPECT_EQ(first.get(), "once");
        auto between = control.waitState();
        EXPECT_TRUE(between.questionPending);
        EXPECT_EQ(between.resumedAt, firstAnswerAt);

        clock.now += 1min;
        auto secondAnswerAt = clock.now;
        desk.answer("p-000000000002", "deny");
        EXPECT_EQ(second.get(), "deny");
        auto after = control.waitState();
        EXPECT_FALSE(after.questionPending);
        EXPECT_EQ(after.resumedAt, secondAnswerAt);
    }

    TEST(JobControl, AHandlerThatThrowsCountsAsARefusedAnsweredQuestion)
    {
        test::ManualClock clock;
        JobControl control(
            "j-0000000000000003", std::nullopt, {},
            [](const JSON&, std::stop_token) -> std::string {
                throw std::runtime_error("the job manager is gone");
            },
            clock.function());
        EXPECT_EQ(control.ask(question("p-000000000001")), "deny");
        auto state = control.waitState();
        EXPECT_FALSE(state.questionPending);
        EXPECT_EQ(state.resumedAt, clock.now);
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
            if (clockReads.fetch_add(1) == 0) {
                firstReadTheClock.set_value();
                secondRecordedSignal.wait();
                return early;
            }
            return late;
        };
        JobControl control(
            "j-0000000000000004", std::nullopt, {}, [](const JSON&, std::stop_token) { return "once"; },
            clock);

        auto first = std::async(std::launch::async, [&] { return control.ask(question("p-000000000001")); });
        firstReadTheClock.get_future().wait();
        EXPECT_EQ(control.ask(question("p-000000000002")), "once");
        EXPECT_EQ(control.waitState().resumedAt, late);
        EXPECT_TRUE(control.waitState().questionPending) << "the first answer is not recorded yet";
        secondRecorded.set_value();
        EXPECT_EQ(first.get(), "once");

        auto state = control.waitState();
        EXPECT_FALSE(state.questionPending);
        EXPECT_EQ(state.resumedAt, late);
    }

    TEST(JobControl, ManyConcurrentQuestionsWhileTheWatchdogPolls)
    {
        constexpr int kQuestions = 10;
        QuestionDesk desk;
        JobControl control("j-0000000000000005", std::nullopt, {}, desk.handler());

        std::atomic<bool> stopPolling { false };
        std::thread watchdog([&] {
            while (!stopPolling.load())
                (void)control.waitState();
        });

        std::vector<std::future<std::string>> answers;
        for (int i = 0; i < kQuestions; ++i) {
            answers.push_back(std::async(std::launch::async,
                [&, i] { return control.ask(question("p-" + std::string(11, '0') + std::to_string(i))); }));
        }
        ASSERT_TRUE(desk.waitUntilOpen(kQuestions));
        for (int i = 0; i < kQuestions; ++i) {
            EXPECT_TRUE(control.waitState().questionPending);
            desk.answer("p-" + std::string(11, '0') + std::to_string(i), "answer " + std::to_string(i));
        }
        for (int i = 0; i < kQuestions; ++i)
            EXPECT_EQ(answers[i].get(), "answer " + std::to_string(i));
        stopPolling = true;
        watchdog.join();

        auto state = control.waitState();
        EXPECT_FALSE(state.questionPending);
        EXPECT_TRUE(state.resumedAt);
    }

}
}
