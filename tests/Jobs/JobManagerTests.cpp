#include "VellumarMacCore/Jobs/JobManager.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/Jobs/JobManagerFixture.h"
#include "tests/support/JobsTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <map>
#include <set>
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
        clock->advance(1ms);
        auto second = submit("b");
        clock->advance(1ms);
        auto third = submit("c");
        started(first);
        started(second);

        EXPECT_EQ(manager->runningCount(), 2u);
        auto waiting = status(third);
        EXPECT_EQ(text(waiting, "status"), "queued");
        EXPECT_EQ(integer(waiting, "position"), 0);
        EXPECT_FALSE(runner->hasStarted(third));

        runner->reply(second, "Done.");
        EXPECT_EQ(text(ended(second), "status"), "done");
        started(third);
        // The first two jobs' threads race to the runner; only the third's place is decided.
        auto order = runner->startOrder();
        ASSERT_EQ(order.size(), 3u);
        EXPECT_EQ(std::set(order.begin(), order.begin() + 2), (std::set { first, second }));
        EXPECT_EQ(order.back(), third);
        EXPECT_LE(runner->mostAtOnce(), 2u);
    }

    TEST_F(JobManagerTest, MaxRunningBelowOneBehavesAsOne)
    {
        for (int given : { 0, -3 }) {
            SCOPED_TRACE(given);
            rebuild(given);
            auto first = submit("a");
            auto second = submit("b");
            started(first);
            EXPECT_EQ(manager->runningCount(), 1u);
            EXPECT_EQ(statusText(second), "queued");
            runner->reply(first, "Done.");
            started(second);
            EXPECT_EQ(manager->runningCount(), 1u);
        }
    }

    TEST_F(JobManagerTest, JobsOfOneConversationRunOneAfterTheOtherAndCompeteByAge)
    {
        struct Case {
            const char* name;
            std::vector<std::string> submittedAfterFirst; // conversations, one millisecond apart
            std::string startsNext; // conversation
        };
        const Case cases[] = {
            { "own conversation's next job is older", { "a", "b" }, "ios-a" },
            { "other conversation's job is older", { "b", "a" }, "ios-b" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild(1);
            auto first = submit("a");
            std::map<std::string, std::string> later;
            for (const auto& conversation : testCase.submittedAfterFirst) {
                clock->advance(1ms);
                later["ios-" + conversation] = submit(conversation);
            }
            started(first);
            runner->reply(first, "Done.");
            auto next = started(later[testCase.startsNext]);
            EXPECT_EQ(next.submission.conversationID, testCase.startsNext);
            EXPECT_EQ(manager->runningCount(), 1u);
        }
        EXPECT_FALSE(runner->overlappedInConversation());
    }

    TEST_F(JobManagerTest, SixthWaitingJobIsBusyAndTheQueueStaysAsItWas)
    {
        auto running = submit("a");
        started(running);
        std::vector<std::string> waiting;
        for (int index = 0; index < 5; ++index)
            waiting.push_back(submit("a"));

        auto error = thrownBy([&] { manager->submit(request("a")); });
        EXPECT_EQ(error.status(), 429);
        EXPECT_EQ(error.code(), "busy");
        EXPECT_EQ(error.message(), "Too many messages are waiting in this conversation. Try again later.");
        EXPECT_EQ(error.retryAfter(), 5);

        for (std::size_t index = 0; index < waiting.size(); ++index)
            EXPECT_EQ(integer(status(waiting[index]), "position"), static_cast<std::int64_t>(index));
        EXPECT_NO_THROW(submit("b"));
        EXPECT_EQ(manager->cancelConversation("ios-a"), 6);
    }

    TEST_F(JobManagerTest, InterruptEndsTheOldJobInterruptedAndHandsItsNoteToTheNextJobOnce)
    {
        runner->setHonoursStop(false);
        auto old = submit("a");
        auto oldRun = started(old);
        oldRun.control->onEvent(RunnerEvent::interim("Half way there."));
        auto asked = askInBackground(oldRun, permissionPrompt("p-0123456789ab"));
        ASSERT_TRUE(clock->awaitSleepers(1));

        auto newer = submit("a", JobMode::interrupt);
        EXPECT_EQ(await(asked), "canceled");
        EXPECT_TRUE(oldRun.stop.stop_requested());
        auto waiting = status(newer);
        EXPECT_EQ(text(waiting, "status"), "queued");
        EXPECT_EQ(text(waiting, "mode"), "interrupt");
        EXPECT_EQ(integer(waiting, "position"), 0);
        EXPECT_EQ(statusText(old), "running");
        EXPECT_FALSE(runner->hasStarted(newer));

        // The run had finished its reply just as it was told to stop.
        runner->reply(old, "A complete reply.");
        auto oldEnd = ended(old);
        EXPECT_EQ(text(oldEnd, "status"), "interrupted");
        EXPECT_EQ(oldEnd.subscript("result"), nullptr);

        auto newRun = started(newer);
        EXPECT_EQ(
            newRun.control->stoppedNote(), Prompts::interruptionNotice("interrupted", { "Half way there." }));
        EXPECT_TRUE(newRun.control->stoppedNote());
        runner->reply(newer, "Done.");
        ended(newer);
        auto afterwards = submit("a");
        EXPECT_EQ(started(afterwards).control->stoppedNote(), std::nullopt);
    }

    TEST_F(JobManagerTest, InterruptWithNothingRunningInTheConversationQueuesAtTheEnd)
    {
        rebuild(1);
        started(submit("b"));
        auto first = submit("a");
        auto interrupting = submit("a", JobMode::interrupt);
        EXPECT_EQ(integer(status(first), "position"), 0);
        EXPECT_EQ(integer(status(interrupting), "position"), 1);
        EXPECT_EQ(statusText(first), "queued");
    }

    TEST_F(JobManagerTest, RunOutcomesBecomeFinalStatuses)
    {
        struct Case {
            const char* name;
            LatchedFakeRunner::Outcome outcome;
            const char* status;
            std::optional<JSON> error;
        };
        const Case cases[] = {
            { "error for the phone",
                []() -> ReplyOutput { throw RelayHTTPError(502, "claude_failed", "Claude Code failed."); },
                "failed",
                JSON::object({ { "code", "claude_failed" }, { "status", 502 },
                    { "message", "Claude Code failed." } }) },
            { "any other error", []() -> ReplyOutput { throw std::runtime_error("disk on fire"); }, "failed",
                JSON::object({ { "code", "internal" }, { "status", 500 },
                    { "message", "Something went wrong on the Mac." } }) },
            { "cancellation nobody asked for", []() -> ReplyOutput { throw CancellationError(); }, "canceled",
                std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto id = submit("a");
            started(id);
            runner->release(id, testCase.outcome);
            auto end = ended(id);
            EXPECT_EQ(text(end, "status"), testCase.status);
            EXPECT_EQ(end.subscript("result"), nullptr);
            if (testCase.error)
                EXPECT_EQ(end.subscript("error") ? end.subscript("error")->encoded() : "",
                    testCase.error->encoded());
            else
                EXPECT_EQ(end.subscript("error"), nullptr);
        }
    }

    // --- Stopping

    TEST_F(JobManagerTest, CancelingAWaitingJobEndsItAtOnce)
    {
        rebuild(1);
        started(submit("a"));
        auto waiting = submit("b");
        clock->advance(1500ms);
        auto canceled = manager->cancel(waiting);
        ASSERT_TRUE(canceled);
        EXPECT_EQ(text(*canceled, "status"), "canceled");
        EXPECT_EQ(integer(*canceled, "finishedAt"), kStartMillis + 1500);
        EXPECT_TRUE(canceled->subscript("startedAt")->isNull());
        EXPECT_TRUE(canceled->subscript("elapsedSeconds")->isNull());
        EXPECT_EQ(canceled->subscript("position"), nullptr);
        EXPECT_FALSE(manager->hasWork("ios-b"));
        EXPECT_TRUE(manager->hasWork("ios-a"));
        EXPECT_EQ(manager->cancel("j-0123456789abcdef"), std::nullopt);
    }

    TEST_F(JobManagerTest, CancelingARunningJobTwiceDoesNothingTheSecondTime)
    {
        runner->setHonoursStop(false);
        auto id = submit("a");
        auto run = started(id);
        auto first = manager->cancel(id);
        ASSERT_TRUE(first);
        EXPECT_EQ(text(*first, "status"), "running");
        EXPECT_TRUE(run.stop.stop_requested());
        auto second = manager->cancel(id);
        ASSERT_TRUE(second);
        EXPECT_EQ(second->encoded(), first->encoded());
        runner->reply(id, "Too late.");
        EXPECT_EQ(text(ended(id), "status"), "canceled");
    }

    TEST_F(JobManagerTest, CancelConversationCountsTheRunningJobOnlyWhenItWasNotStoppingYet)
    {
        for (bool alreadyStopping : { false, true }) {
            SCOPED_TRACE(alreadyStopping);
            rebuild();
            runner->setHonoursStop(false);
            auto running = submit("a");
            started(running);
            submit("a");
            submit("a");
            if (alreadyStopping)
                manager->cancel(running);
            EXPECT_EQ(manager->cancelConversation("ios-a"), alreadyStopping ? 2 : 3);
            EXPECT_EQ(manager->cancelConversation("ios-a"), 0);
        }
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

    TEST_F(JobManagerTest, StoppedRepliesLeaveANoticeForTheConversationsNextJob)
    {
        struct Case {
            const char* name;
            JobSubmission submission;
            // Ends the job given its run.
            std::function<void(JobManager&, LatchedFakeRunner&, const std::string&)> end;
            std::optional<std::string> note;
        };
        auto cancel = [](JobManager& jobs, LatchedFakeRunner&, const std::string& id) { jobs.cancel(id); };
        const Case cases[] = {
            { "canceled while running", request("a"), cancel, Prompts::interruptionNotice("canceled", {}) },
            { "a routine's run canceled", routineRequest("a"), cancel, std::nullopt },
            { "done", request("a"),
                [](JobManager&, LatchedFakeRunner& fake, const std::string& id) { fake.reply(id, "Done."); },
                std::nullopt },
            { "failed", request("a"),
                [](JobManager&, LatchedFakeRunner& fake, const std::string& id) {
                    fake.release(
                        id, []() -> ReplyOutput { throw RelayHTTPError(502, "claude_failed", "No."); });
                },
                std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild();
            auto id = submit(testCase.submission);
            started(id);
            testCase.end(*manager, *runner, id);
            ended(id);
            EXPECT_EQ(started(submit("a")).control->stoppedNote(), testCase.note);
        }

        SCOPED_TRACE("a waiting job canceled");
        rebuild();
        auto running = submit("a");
        started(running);
        manager->cancel(submit("a"));
        runner->reply(running, "Done.");
        ended(running);
        EXPECT_EQ(started(submit("a")).control->stoppedNote(), std::nullopt);
    }

    // --- Progress

    TEST_F(JobManagerTest, InterimTextsFollowTheirLimits)
    {
        auto id = submit("a");
        auto run = started(id);
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
        run.control->onEvent(RunnerEvent::interim("Second."));
        clock->advance(60s);
        run.control->onEvent(RunnerEvent::interim("```action\n{\"type\":\"remind\"}\n```"));
        run.control->onEvent(RunnerEvent::interim("Third.\n```action\n{\"type\":\"remind\"}\n```"));
        clock->advance(60s);
        run.control->onEvent(RunnerEvent::interim("Fourth."));
        EXPECT_EQ(interimTexts(), (std::vector<std::string> { "First.", "Second.", "Third." }));
        auto interim = *status(id).subscript("interim")->arrayValue();
        EXPECT_EQ(integer(interim[1], "seq"), 2);
        EXPECT_EQ(integer(interim[1], "at"), kStartMillis + 60'000);
    }

    TEST_F(JobManagerTest, LongInterimTextsAreCutToTheirFirst999CharactersAndAnEllipsis)
    {
        struct Case {
            const char* name;
            std::string sent;
            std::string kept;
        };
        const Case cases[] = {
            { "1000 characters stay whole", repeated("x", 1000), repeated("x", 1000) },
            { "1001 characters", repeated("x", 1001), repeated("x", 999) + "…" },
            { "two-byte characters count once", repeated("é", 1001), repeated("é", 999) + "…" },
            { "the cut text is trimmed", repeated("x", 998) + " yy", repeated("x", 998) + "…" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto id = submit("a");
            auto run = started(id);
            run.control->onEvent(RunnerEvent::interim(testCase.sent));
            auto interim = *status(id).subscript("interim")->arrayValue();
            ASSERT_EQ(interim.size(), 1u);
            EXPECT_EQ(text(interim[0], "text"), testCase.kept);
            manager->cancel(id);
            ended(id);
        }
    }

    TEST_F(JobManagerTest, EventsOfRoutinesStoppingAndEndedJobsLeaveNoInterimText)
    {
        auto routine = submit(routineRequest("a"));
        auto routineRun = started(routine);
        EXPECT_FALSE(routineRun.control->canAsk());
        routineRun.control->onEvent(RunnerEvent::interim("Nobody sees this."));
        EXPECT_TRUE(status(routine).subscript("interim")->arrayValue()->empty());

        runner->setHonoursStop(false);
        auto stopping = submit("b");
        auto stoppingRun = started(stopping);
        manager->cancel(stopping);
        auto version = integer(status(stopping), "version");
        stoppingRun.control->onEvent(RunnerEvent::interim("Still talking."));
        stoppingRun.control->onEvent(RunnerEvent::tool("Bash"));
        EXPECT_EQ(integer(status(stopping), "version"), version);
        EXPECT_EQ(stoppingRun.control->ask(permissionPrompt("p-0123456789ab")), "canceled");
    }

    TEST_F(JobManagerTest, EventsKeepTheLast30ActivityChanges)
    {
        auto id = submit("a");
        auto run = started(id);
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

    TEST_F(JobManagerTest, AReplyThatRepeatsTheLastInterimTextReplacesIt)
    {
        struct Case {
            const char* name;
            std::string reply;
            std::optional<std::int64_t> replaces;
        };
        const Case cases[] = {
            { "same words, other spacing", "  Here is\n\tthe   answer. ", 2 },
            { "other words", "Here is another answer.", std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto id = submit("a");
            auto run = started(id);
            run.control->onEvent(RunnerEvent::interim("Let me look."));
            clock->advance(60s);
            run.control->onEvent(RunnerEvent::interim("Here is the answer."));
            runner->reply(id, testCase.reply);
            auto result = *ended(id).subscript("result");
            EXPECT_EQ(integer(result, "replacesInterim"), testCase.replaces);
            EXPECT_EQ(text(result, "reply"), testCase.reply);
        }
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
        ASSERT_EQ(finishedJob.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        auto job = finishedJob.get();
        EXPECT_EQ(job.id, id);
        EXPECT_EQ(job.status, "done");
        EXPECT_EQ(job.createdAt, kStartMillis);
        EXPECT_EQ(job.startedAt, kStartMillis);
        ASSERT_TRUE(job.result);
        EXPECT_EQ(text(*job.result, "reply"), "Done.");
        EXPECT_EQ(job.error, std::nullopt);
        ASSERT_EQ(followUp.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        started(followUp.get());
    }

    TEST_F(JobManagerTest, TearingDownWaitsForParkedLongPollsAndQuestions)
    {
        auto id = submit("a");
        auto run = started(id);
        auto asked = askInBackground(run, permissionPrompt("p-0123456789ab"));
        EXPECT_TRUE(clock->awaitSleepers(1));
        // Asked first: the question raises the version the poll then waits on.
        auto version = *integer(status(id), "version");
        auto polled
            = inBackground([jobs = manager.get(), id, version] { return jobs->wait(id, version, 25); });
        EXPECT_TRUE(clock->awaitSleepers(2));
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
                        auto seen = manager->status(id);
                        if (seen)
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
