// The job manager's long polls, permission questions, status objects and retention.
#include "VellumarMacCore/Jobs/JobManager.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/Jobs/JobManagerFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <stop_token>
#include <string>
#include <vector>

namespace vellumar::test {
namespace {

    using namespace std::chrono_literals;
    using namespace jobManager;

    // --- Long polls

    TEST_F(JobManagerTest, OneChangeWakesEveryWaiterAndTheEndShowsTheFinalStatus)
    {
        auto [id, run] = startedJob("a");
        auto version = *integer(status(id), "version");
        std::vector<std::future<std::optional<JSON>>> waiters;
        for (int index = 0; index < 3; ++index)
            waiters.push_back(inBackground([&] { return manager->wait(id, version, 25); }));
        ASSERT_TRUE(clock->awaitSleepers(3));
        run.control->onEvent(RunnerEvent::tool("Read"));
        for (auto& waiter : waiters) {
            auto seen = await(waiter).value_or(JSON());
            EXPECT_EQ(integer(seen, "version"), version + 1);
            EXPECT_EQ(text(seen, "activityKind"), "reading");
        }

        auto last = inBackground([&] { return manager->wait(id, version + 1, 25); });
        ASSERT_TRUE(clock->awaitSleepers(1));
        runner->reply(id, "Done.");
        EXPECT_EQ(text(await(last).value_or(JSON()), "status"), "done");
    }

    TEST_F(JobManagerTest, WaitEndsAfterItsTimeoutOfTheClockAndAtMost25Seconds)
    {
        struct Case {
            double timeout;
            std::chrono::milliseconds lasts;
        };
        const Case cases[] = { { 60, 25s }, { 0.5, 500ms } };
        auto [id, run] = startedJob("a");
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.timeout);
            auto version = *integer(status(id), "version");
            auto polled = inBackground([&] { return manager->wait(id, version, testCase.timeout); });
            ASSERT_TRUE(clock->awaitSleepers(1));
            clock->advance(testCase.lasts - 1ms);
            // Still parked: a change reaches it.
            run.control->onEvent(version % 2 == 0 ? RunnerEvent::tool("Read") : RunnerEvent::thinking());
            EXPECT_EQ(integer(await(polled).value_or(JSON()), "version"), version + 1);

            polled = inBackground([&] { return manager->wait(id, version + 1, testCase.timeout); });
            ASSERT_TRUE(clock->awaitSleepers(1));
            clock->advance(testCase.lasts);
            EXPECT_EQ(integer(await(polled).value_or(JSON()), "version"), version + 1);
        }
    }

    TEST_F(JobManagerTest, WaitReturnsAtOnceWhenThereIsNothingToWaitFor)
    {
        auto running = submit("a");
        started(running);
        auto version = *integer(status(running), "version");
        auto finished = submit("b");
        runner->reply(finished, "Done.");
        auto finishedVersion = *integer(ended(finished), "version");
        struct Case {
            const char* name;
            std::string id;
            std::optional<std::int64_t> since;
            double timeout;
        };
        const Case cases[] = {
            { "no version", running, std::nullopt, 25 },
            { "an older version", running, version - 1, 25 },
            { "zero timeout", running, version, 0 },
            { "timeout not a number", running, version, std::numeric_limits<double>::quiet_NaN() },
            { "finished job at its version", finished, finishedVersion, 25 },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto polled
                = inBackground([&] { return manager->wait(testCase.id, testCase.since, testCase.timeout); });
            EXPECT_EQ(text(await(polled).value_or(JSON()), "jobId"), testCase.id);
        }
        EXPECT_EQ(manager->wait("j-0123456789abcdef", 0, 25), std::nullopt);
    }

    // --- Questions

    TEST_F(JobManagerTest, EleventhOpenQuestionIsBusyAndNoneOutlivesItsJob)
    {
        auto [id, run] = startedJob("a");
        std::vector<std::future<std::string>> askers;
        std::vector<std::string> asked;
        for (int index = 0; index < 10; ++index) {
            asked.push_back("p-00000000000" + std::string(1, "0123456789"[index]));
            askers.push_back(ask(run, permissionPrompt(asked.back()), asked.size()));
        }
        auto before = status(id);
        auto eleventh = ask(run, permissionPrompt("p-aaaaaaaaaaaa"), 0);
        EXPECT_EQ(await(eleventh), "busy");
        EXPECT_EQ(status(id), before);
        std::vector<std::string> listed;
        for (const auto& prompt : *before.subscript("permissionRequests")->arrayValue())
            listed.push_back(text(prompt, "requestId"));
        EXPECT_EQ(listed, asked);

        manager->cancel(id);
        for (auto& asker : askers)
            EXPECT_EQ(await(asker), "canceled");
        EXPECT_EQ(ended(id).subscript("permissionRequests"), nullptr);
        struct Case {
            const char* name;
            std::string id;
            std::string requestID;
        };
        auto other = submit("b");
        auto open = ask(started(other), permissionPrompt("p-0123456789ab"));
        const Case cases[] = {
            { "question of a canceled job", id, asked[0] },
            { "unknown question", other, "p-ffffffffffff" },
            { "unknown job", "j-0123456789abcdef", "p-0123456789ab" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(thrownBy([&] { manager->answer(testCase.id, testCase.requestID, "once"); }),
                RelayHTTPError(
                    409, "not_pending", "This question is no longer open (it expired or the work ended)."));
        }
        manager->answer(other, "p-0123456789ab", "once");
        EXPECT_EQ(await(open), "once");
    }

    // A run killed at its time limit while asking closes its gate, which waits for the question: the
    // question must end with the run, not at its expiry.
    TEST_F(JobManagerTest, AQuestionEndsWithTheRunThatAskedAndALaterOneIsNotPut)
    {
        auto [id, run] = startedJob("a");
        std::stop_source runEnd;
        auto asker = ask(run, permissionPrompt("p-0123456789ab"), 1, runEnd.get_token());
        runEnd.request_stop();
        EXPECT_EQ(await(asker), "canceled");
        EXPECT_EQ(await(ask(run, permissionPrompt("p-0123456789ac"), 0, runEnd.get_token())), "deny");
        EXPECT_EQ(status(id).subscript("permissionRequests"), nullptr);
        runner->reply(id, "Done.");
        EXPECT_EQ(text(ended(id), "status"), "done");
    }

    TEST_F(JobManagerTest, AlwaysNeedsAPromptThatAllowsItAndTheQuestionStaysOpenOtherwise)
    {
        struct Case {
            const char* name;
            JSON prompt;
            JSON scope;
        };
        const Case cases[] = {
            { "canAlways false", permissionPrompt("p-000000000001", false), "folder" },
            { "canAlways missing", permissionPrompt("p-000000000002", std::nullopt), "folder" },
            { "canAlways a string",
                JSON::object({ { "requestId", "p-000000000003" }, { "canAlways", "true" } }), JSON() },
        };
        auto [id, run] = startedJob("a");
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto requestID = text(testCase.prompt, "requestId");
            auto asker = ask(run, testCase.prompt);
            EXPECT_EQ(thrownBy([&] { manager->answer(id, requestID, "always"); }),
                RelayHTTPError(400, "bad_request", "This place cannot be allowed always."));
            EXPECT_EQ(status(id).subscript("permissionRequests")->arrayValue()->size(), 1u);
            EXPECT_EQ(manager->answer(id, requestID, "once"),
                JSON::object(
                    { { "requestId", requestID }, { "decision", "once" }, { "scope", testCase.scope } }));
            EXPECT_EQ(await(asker), "once");
        }
        auto allowed = ask(run, permissionPrompt("p-000000000004", true));
        EXPECT_EQ(text(manager->answer(id, "p-000000000004", "always"), "decision"), "always");
        EXPECT_EQ(await(allowed), "always");
    }

    TEST_F(JobManagerTest, UnansweredQuestionTimesOutAfterItsLifetime)
    {
        auto [id, run] = startedJob("a");
        auto early = ask(run, permissionPrompt("p-000000000001"));
        clock->advance(600s - 1ms);
        EXPECT_EQ(text(manager->answer(id, "p-000000000001", "deny"), "decision"), "deny");
        EXPECT_EQ(await(early), "deny");

        auto late = ask(run, permissionPrompt("p-000000000002"));
        clock->advance(600s);
        EXPECT_EQ(await(late), "timeout");
        EXPECT_EQ(thrownBy([&] { manager->answer(id, "p-000000000002", "once"); }).code(), "not_pending");
    }

    TEST_F(JobManagerTest, ActivityReturnsWhenTheLastQuestionCloses)
    {
        auto [id, run] = startedJob("a");
        run.control->onEvent(RunnerEvent::tool("Read"));
        auto first = ask(run, permissionPrompt("p-000000000001"));
        auto second = ask(run, permissionPrompt("p-000000000002"), 2);
        EXPECT_EQ(text(status(id), "activityKind"), "waiting_for_approval");
        run.control->onEvent(RunnerEvent::tool("Bash"));
        EXPECT_EQ(text(status(id), "activityKind"), "waiting_for_approval");

        manager->answer(id, "p-000000000001", "once");
        EXPECT_EQ(await(first), "once");
        EXPECT_EQ(text(status(id), "activityKind"), "waiting_for_approval");
        manager->answer(id, "p-000000000002", "conversation");
        EXPECT_EQ(await(second), "conversation");
        auto after = status(id);
        EXPECT_EQ(text(after, "activityKind"), "reading");
        EXPECT_EQ(text(after.subscript("events")->arrayValue()->back(), "label"), "Reading files");
        EXPECT_EQ(after.subscript("permissionRequests"), nullptr);
    }

    TEST_F(JobManagerTest, AQuestionAskedAgainUnderItsIDCancelsTheEarlierAskerAndOneWithoutAnIDIsNotPut)
    {
        auto [id, run] = startedJob("a");
        auto earlier = ask(run, permissionPrompt("p-0123456789ab"));
        auto replacing = JSON::object({ { "requestId", "p-0123456789ab" }, { "tool", "Edit" } });
        auto later = inBackground([&] { return run.control->ask(replacing); });
        EXPECT_EQ(await(earlier), "canceled");
        // The earlier asker has left, so the one parked wait is the later question's.
        ASSERT_TRUE(clock->awaitSleepers(1));
        EXPECT_EQ(*status(id).subscript("permissionRequests"), JSON::array({ replacing }));
        manager->answer(id, "p-0123456789ab", "once");
        EXPECT_EQ(await(later), "once");
        EXPECT_EQ(text(status(id), "activityKind"), "starting");
        // Without an id of its own a question is not put, and neither is one after the job's end.
        for (const auto& prompt :
            { JSON::object({ { "tool", "Write" } }), JSON::object({ { "requestId", 12 } }) })
            EXPECT_EQ(await(ask(run, prompt, 0)), "canceled") << prompt.encoded();
        runner->reply(id, "Done.");
        ended(id);
        EXPECT_EQ(await(ask(run, permissionPrompt("p-0123456789ab"), 0)), "canceled");
    }

    // --- Status objects: the wire contract, pinned whole

    TEST_F(JobManagerTest, StatusObjectOfAQueuedJob)
    {
        rebuild(1);
        started(submit("a"));
        clock->advance(1s);
        expectGolden(manager->submit(request("b")), "queued");
    }

    TEST_F(JobManagerTest, StatusObjectOfARunningJobWithActivityAndAQuestion)
    {
        auto [id, run] = startedJob("a");
        clock->advance(2s);
        run.control->onEvent(RunnerEvent::tool("Read"));
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Looking at the file."));
        clock->advance(1s);
        auto asker = ask(run,
            JSON::object({ { "requestId", "p-0123456789ab" }, { "canAlways", true }, { "scope", "folder" },
                { "tool", "Write" }, { "path", "/Users/me/Notes/todo.md" } }));
        clock->advance(1999ms);
        expectGolden(status(id), "running-with-question");
        manager->answer(id, "p-0123456789ab", "once");
        EXPECT_EQ(await(asker), "once");
    }

    TEST_F(JobManagerTest, StatusObjectOfADoneJob)
    {
        auto submission = request("a", JobMode::interrupt);
        submission.timeLimit = 600;
        auto id = submit(submission);
        auto run = started(id);
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Here  is\nthe answer."));
        clock->advance(1500ms);
        runner->release(id, [] {
            return ReplyOutput { .reply = "Here is the answer.",
                .actions = { JSON::object({ { "type", "remind" }, { "title", "Water the plants" } }) },
                .context = JSON::object({ { "usedTokens", 1200 } }),
                .files = { JSON::object({ { "name", "plan.pdf" }, { "fileId", "outbox/plan.pdf" } }) } };
        });
        expectGolden(ended(id), "done");
    }

    TEST_F(JobManagerTest, StatusObjectOfAFailedRoutineJob)
    {
        auto id = submit(request("a", JobMode::queue, true));
        started(id);
        clock->advance(1s);
        runner->release(id, []() -> ReplyOutput {
            throw RelayHTTPError(502, "claude_failed", "Claude Code stopped unexpectedly.", 30);
        });
        expectGolden(ended(id), "failed");
    }

    TEST_F(JobManagerTest, StatusObjectOfAnInterruptedJob)
    {
        runner->setHonoursStop(false);
        auto [id, run] = startedJob("a");
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Half way there."));
        clock->advance(1s);
        submit("a", JobMode::interrupt);
        clock->advance(1s);
        runner->reply(id, "Finished anyway.");
        expectGolden(ended(id), "interrupted");
    }

    // --- Retention

    TEST_F(JobManagerTest, FinishedJobsPastTheRetentionGoAtTheNextSubmission)
    {
        struct Case {
            const char* name;
            std::chrono::milliseconds age;
            bool kept;
        };
        const Case cases[] = {
            { "exactly the retention", 3600s, true },
            { "a millisecond older", 3600s + 1ms, false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild(2, 3600);
            auto id = submit("a");
            runner->reply(id, "Done.");
            ended(id);
            clock->advance(testCase.age);
            EXPECT_TRUE(manager->status(id)) << "pruning waits for a submission";
            submit("b");
            EXPECT_EQ(manager->status(id).has_value(), testCase.kept);
        }
    }

    TEST_F(JobManagerTest, MoreThan500JobsDropTheOldestFinishedOnes)
    {
        auto running = submit("a");
        started(running);
        std::vector<std::string> canceled;
        for (int index = 0; index < 505; ++index) {
            clock->advance(1ms);
            canceled.push_back(submit("a"));
            manager->cancel(canceled.back());
        }
        // Each submission first trims the finished jobs to 500 besides the running one.
        for (int index = 0; index < 5; ++index)
            EXPECT_FALSE(manager->status(canceled[index])) << index;
        EXPECT_TRUE(manager->status(canceled[5]));
        EXPECT_EQ(statusText(running), "running");
    }

}
}
