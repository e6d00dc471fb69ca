// The job manager's scheduling, stopping, progress, observers and concurrent callers.
#include "VellumarMacCore/Jobs/JobManager.h"

#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/Jobs/JobManagerFixture.h"
#include "tests/support/JobsTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumar::test {
namespace {

    using namespace std::chrono_literals;
    using namespace jobManager;

    // --- Scheduling

    TEST_F(JobManagerTest, RunsAtMostTwoJobsAcrossThreeConversations)
    {
        auto first = submit("a");
        auto second = submit("b");
        auto third = submit("c");
        started(first);
        started(second);
        EXPECT_EQ(manager->runningCount(), 2u);
        EXPECT_EQ(integer(status(third), "position"), 0);
        runner->reply(second, "Done.");
        EXPECT_EQ(text(ended(second), "status"), "done");
        started(third);
        EXPECT_LE(runner->mostAtOnce(), 2u);
    }

    // Each case also runs under a limit below one, which counts as one.
    TEST_F(JobManagerTest, JobsOfOneConversationRunOneAfterTheOtherAndCompeteByAge)
    {
        struct Case {
            const char* name;
            int maxRunning;
            std::vector<std::string> submittedAfterFirst; // conversations, one millisecond apart
            std::string startsNext; // conversation
        };
        const Case cases[] = {
            { "own conversation's next job is older", 0, { "a", "b" }, "a" },
            { "other conversation's job is older", -3, { "b", "a" }, "b" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild(testCase.maxRunning);
            auto first = submit("a");
            std::map<std::string, std::string> later;
            for (const auto& conversation : testCase.submittedAfterFirst) {
                clock->advance(1ms);
                later[conversation] = submit(conversation);
            }
            started(first);
            EXPECT_EQ(manager->runningCount(), 1u);
            runner->reply(first, "Done.");
            started(later[testCase.startsNext]);
            EXPECT_EQ(manager->runningCount(), 1u);
        }
        EXPECT_FALSE(runner->overlappedInConversation());
    }

    TEST_F(JobManagerTest, SixthWaitingJobIsBusyAndTheQueueStaysAsItWas)
    {
        started(submit("a"));
        std::vector<std::string> waiting;
        for (int index = 0; index < 5; ++index)
            waiting.push_back(submit("a"));
        EXPECT_EQ(thrownBy([&] { submit("a"); }),
            RelayHTTPError(
                429, "busy", "Too many messages are waiting in this conversation. Try again later.", 5));
        for (std::size_t index = 0; index < waiting.size(); ++index)
            EXPECT_EQ(integer(status(waiting[index]), "position"), static_cast<std::int64_t>(index));
        EXPECT_NO_THROW(submit("b"));
        EXPECT_EQ(manager->cancelConversation("ios-a"), 6);
    }

    TEST_F(JobManagerTest, InterruptStopsTheRunningJobGoesFirstAndHandsItsNoteToTheNextJobOnce)
    {
        runner->setHonoursStop(false);
        auto [old, oldRun] = startedJob("a");
        oldRun.control->onEvent(RunnerEvent::interim("Half way there."));
        auto asked = ask(oldRun, permissionPrompt("p-0123456789ab"));
        auto waiting = submit("a");
        auto newer = submit("a", JobMode::interrupt);
        EXPECT_EQ(await(asked), "canceled");
        EXPECT_TRUE(oldRun.stop.stop_requested());
        EXPECT_EQ(integer(status(newer), "position"), 0);
        EXPECT_EQ(integer(status(waiting), "position"), 1);
        EXPECT_EQ(statusText(old), "running");

        // The run had finished its reply just as it was told to stop.
        runner->reply(old, "A complete reply.");
        EXPECT_EQ(text(ended(old), "status"), "interrupted");
        auto newRun = started(newer);
        EXPECT_EQ(
            newRun.control->stoppedNote(), Prompts::interruptionNotice("interrupted", { "Half way there." }));
        EXPECT_TRUE(newRun.control->stoppedNote());
        runner->reply(newer, "Done.");
        EXPECT_EQ(started(waiting).control->stoppedNote(), std::nullopt);

        // With nothing running in its conversation, an interrupting job queues at the end.
        rebuild(1);
        started(submit("b"));
        auto queued = submit("a");
        EXPECT_EQ(integer(status(submit("a", JobMode::interrupt)), "position"), 1);
        EXPECT_EQ(integer(status(queued), "position"), 0);
    }

    TEST_F(JobManagerTest, RunOutcomesBecomeFinalStatuses)
    {
        // A failure for the phone is the golden failed job's.
        auto end = [&](LatchedFakeRunner::Outcome outcome) {
            auto id = startedJob("a").first;
            runner->release(id, std::move(outcome));
            return ended(id);
        };
        auto failed = end([]() -> ReplyOutput { throw std::runtime_error("disk on fire"); });
        EXPECT_EQ(text(failed, "status"), "failed");
        EXPECT_EQ(*failed.subscript("error"),
            JSON::object({ { "code", "internal" }, { "status", 500 },
                { "message", "Something went wrong on the Mac." } }));
        auto canceled = end([]() -> ReplyOutput { throw CancellationError(); });
        EXPECT_EQ(text(canceled, "status"), "canceled");
        EXPECT_EQ(canceled.subscript("error"), nullptr);
    }

    // --- Stopping

    TEST_F(JobManagerTest, CancelingAWaitingJobEndsItAtOnceAndARunningOneWhenItsRunEnds)
    {
        rebuild(1);
        runner->setHonoursStop(false);
        auto running = submit("a");
        auto run = started(running);
        auto waiting = submit("b");
        clock->advance(1500ms);
        expectGolden(manager->cancel(waiting).value_or(JSON()), "canceled");
        EXPECT_FALSE(manager->hasWork("ios-b"));
        EXPECT_EQ(manager->cancel("j-0123456789abcdef"), std::nullopt);

        auto first = manager->cancel(running).value_or(JSON());
        EXPECT_EQ(text(first, "status"), "running");
        EXPECT_TRUE(run.stop.stop_requested());
        EXPECT_TRUE(manager->hasWork("ios-a"));
        EXPECT_EQ(manager->cancel(running), first);
        // A conversation's count leaves out its running job once that is stopping.
        submit("a");
        EXPECT_EQ(manager->cancelConversation("ios-a"), 1);
        runner->reply(running, "Too late.");
        EXPECT_EQ(text(ended(running), "status"), "canceled");
    }

    TEST_F(JobManagerTest, CancelAllStopsEveryWaitingAndRunningJob)
    {
        rebuild(1);
        auto running = submit("a");
        started(running);
        auto waitingA = submit("a");
        auto waitingB = submit("b");
        manager->cancelAll();
        EXPECT_EQ(statusText(waitingA), "canceled");
        EXPECT_EQ(statusText(waitingB), "canceled");
        EXPECT_EQ(text(ended(running), "status"), "canceled");
        EXPECT_EQ(manager->runningCount(), 0u);
        EXPECT_FALSE(runner->hasStarted(waitingB));
    }

    TEST_F(JobManagerTest, OnlyAStoppedRunOfAChatLeavesANoticeForTheConversationsNextJob)
    {
        struct Case {
            const char* name;
            bool routine;
            LatchedFakeRunner::Outcome outcome; // none: canceled while running
            std::optional<std::string> note;
        };
        const Case cases[] = {
            { "canceled while running", false, nullptr, Prompts::interruptionNotice("canceled", {}) },
            { "a routine's run canceled", true, nullptr, std::nullopt },
            { "done", false, [] { return ReplyOutput { .reply = "Done." }; }, std::nullopt },
            { "failed", false, []() -> ReplyOutput { throw RelayHTTPError(502, "claude_failed", "No."); },
                std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild();
            auto id = submit(request("a", JobMode::queue, testCase.routine));
            started(id);
            // A waiting job canceled leaves no notice either.
            manager->cancel(submit("a"));
            if (testCase.outcome)
                runner->release(id, testCase.outcome);
            else
                manager->cancel(id);
            ended(id);
            EXPECT_EQ(started(submit("a")).control->stoppedNote(), testCase.note);
        }
    }

    // --- Progress

    TEST_F(JobManagerTest, InterimTextsFollowTheirLimits)
    {
        auto [id, run] = startedJob("a");
        auto interimTexts = [&] {
            std::vector<std::string> texts;
            auto current = status(id);
            for (const auto& entry : *current.subscript("interim")->arrayValue())
                texts.push_back(text(entry, "text"));
            return texts;
        };
        run.control->onEvent(RunnerEvent::interim("First."));
        clock->advance(59'999ms);
        run.control->onEvent(RunnerEvent::interim("Too soon."));
        EXPECT_EQ(interimTexts(), (std::vector<std::string> { "First." }));
        clock->advance(1ms);
        run.control->onEvent(RunnerEvent::interim(repeated("é", 998) + " yy"));
        clock->advance(60s);
        run.control->onEvent(RunnerEvent::interim("```action\n{\"type\":\"remind\"}\n```"));
        run.control->onEvent(RunnerEvent::interim("Third.\n```action\n{\"type\":\"remind\"}\n```"));
        clock->advance(60s);
        run.control->onEvent(RunnerEvent::interim("Fourth."));
        // Cut to its first 999 characters, trimmed, and an ellipsis.
        EXPECT_EQ(
            interimTexts(), (std::vector<std::string> { "First.", repeated("é", 998) + "…", "Third." }));
        auto interim = *status(id).subscript("interim")->arrayValue();
        EXPECT_EQ(integer(interim[1], "seq"), 2);
        EXPECT_EQ(integer(interim[1], "at"), kStartMillis + 60'000);
        // The golden done job's reply replaces its interim text; one that repeats an earlier text does not.
        runner->reply(id, "First.");
        EXPECT_EQ(ended(id).subscript("result")->subscript("replacesInterim"), nullptr);

        auto [whole, wholeRun] = startedJob("b");
        wholeRun.control->onEvent(RunnerEvent::interim(repeated("x", 1000)));
        EXPECT_EQ(text(status(whole).subscript("interim")->arrayValue()->at(0), "text"), repeated("x", 1000));
    }

    TEST_F(JobManagerTest, EventsOfRoutinesAndStoppingJobsLeaveNoTrace)
    {
        auto routine = submit(request("a", JobMode::queue, true));
        auto routineRun = started(routine);
        EXPECT_FALSE(routineRun.control->canAsk());
        routineRun.control->onEvent(RunnerEvent::interim("Nobody sees this."));
        EXPECT_TRUE(status(routine).subscript("interim")->arrayValue()->empty());

        runner->setHonoursStop(false);
        auto [stopping, stoppingRun] = startedJob("b");
        manager->cancel(stopping);
        auto version = integer(status(stopping), "version");
        stoppingRun.control->onEvent(RunnerEvent::interim("Still talking."));
        stoppingRun.control->onEvent(RunnerEvent::tool("Bash"));
        EXPECT_EQ(integer(status(stopping), "version"), version);
        EXPECT_EQ(await(ask(stoppingRun, permissionPrompt("p-0123456789ab"), 0)), "canceled");
    }

    TEST_F(JobManagerTest, EventsKeepTheLast30ActivityChanges)
    {
        auto [id, run] = startedJob("a");
        auto version = *integer(status(id), "version");
        run.control->onEvent(RunnerEvent::thinking());
        run.control->onEvent(RunnerEvent::thinking());
        EXPECT_EQ(integer(status(id), "version"), version + 1) << "an unchanged activity is no change";
        // With "starting" and the first "thinking", 31 changes.
        for (int index = 0; index < 29; ++index)
            run.control->onEvent(index % 2 == 0 ? RunnerEvent::tool("Read") : RunnerEvent::thinking());
        auto events = *status(id).subscript("events")->arrayValue();
        ASSERT_EQ(events.size(), 30u);
        EXPECT_EQ(text(events.front(), "label"), "Thinking");
        EXPECT_EQ(text(events.back(), "label"), "Reading files");
    }

    // --- Observers

    TEST_F(JobManagerTest, ObserversHearRunningCountsAndFinishedJobsAndMayCallBack)
    {
        // The observers outlive this body: the manager still calls them while it is torn down.
        struct Heard {
            std::mutex lock;
            std::vector<std::size_t> counts;
            std::promise<FinishedJob> finished;
            std::promise<std::string> followUp;
        };
        auto heard = std::make_shared<Heard>();
        auto finishedJob = heard->finished.get_future();
        auto followUp = heard->followUp.get_future();
        manager->observeRunning([heard](std::size_t count) {
            std::lock_guard guard(heard->lock);
            heard->counts.push_back(count);
        });
        manager->observeFinished([heard, jobs = manager.get()](const FinishedJob& job) {
            if (job.submission.conversationID != "ios-a")
                return;
            heard->finished.set_value(job);
            // Like the routine scheduler, which submits from its observer.
            heard->followUp.set_value(text(jobs->submit(request("c")), "jobId"));
        });

        auto id = submit("a");
        started(id);
        {
            std::lock_guard guard(heard->lock);
            EXPECT_EQ(heard->counts, (std::vector<std::size_t> { 0, 1 }));
        }
        clock->advance(2s);
        runner->reply(id, "Done.");
        auto job = await(finishedJob);
        EXPECT_EQ(job.id, id);
        EXPECT_EQ(job.status, "done");
        EXPECT_EQ(job.createdAt, kStartMillis);
        EXPECT_EQ(job.startedAt, kStartMillis);
        ASSERT_TRUE(job.result);
        EXPECT_EQ(text(*job.result, "reply"), "Done.");
        EXPECT_EQ(job.error, std::nullopt);
        started(await(followUp));
    }

    TEST_F(JobManagerTest, TearingDownWaitsForParkedLongPollsAndQuestions)
    {
        auto [id, run] = startedJob("a");
        auto asked = ask(run, permissionPrompt("p-0123456789ab"));
        // Asked first: the question raises the version the poll then waits on.
        auto version = *integer(status(id), "version");
        auto polled
            = inBackground([jobs = manager.get(), id = id, version] { return jobs->wait(id, version, 25); });
        ASSERT_TRUE(clock->awaitSleepers(2));
        manager.reset();
        EXPECT_EQ(await(asked), "canceled");
        EXPECT_TRUE(await(polled));
    }

    // --- Threads

    TEST_F(JobManagerTest, ConcurrentCallersKeepEveryRuleWithoutRaces)
    {
        runner->setScript([](const LatchedFakeRunner::Run& run) {
            run.control->onEvent(RunnerEvent::tool("Grep"));
            run.control->onEvent(RunnerEvent::interim("Working on it."));
            run.control->onEvent(RunnerEvent::writing());
            if (run.stop.stop_requested())
                throw CancellationError();
            return ReplyOutput { .reply = "Working on it." };
        });
        constexpr int kCallers = 6;
        constexpr int kJobsEach = 30;
        std::vector<std::future<std::vector<std::string>>> callers;
        for (int caller = 0; caller < kCallers; ++caller) {
            callers.push_back(inBackground([&, caller] {
                std::vector<std::string> submitted;
                for (int index = 0; index < kJobsEach; ++index) {
                    auto conversation = std::string(1, static_cast<char>('a' + (caller + index) % 3));
                    try {
                        auto id = submit(
                            request(conversation, index % 4 == 3 ? JobMode::interrupt : JobMode::queue));
                        submitted.push_back(id);
                        if (index % 5 == 0)
                            manager->cancel(id);
                        // Every job changes again (it starts, or it ends), so this long poll returns.
                        if (auto seen = manager->status(id))
                            manager->wait(id, integer(*seen, "version"), 25);
                    } catch (const RelayHTTPError& error) {
                        EXPECT_EQ(error.code(), "busy");
                    }
                    manager->hasWork("ios-" + conversation);
                    manager->runningCount();
                }
                return submitted;
            }));
        }
        for (auto& caller : callers) {
            for (const auto& id : await(caller)) {
                auto status = text(ended(id), "status");
                EXPECT_TRUE(status == "done" || status == "canceled" || status == "interrupted") << status;
            }
        }
        EXPECT_LE(runner->mostAtOnce(), 2u);
        EXPECT_FALSE(runner->overlappedInConversation());
        EXPECT_EQ(manager->runningCount(), 0u);
    }

}
}
