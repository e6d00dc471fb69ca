// The job manager's long polls, permission questions, status objects and retention.
#include "tests/Jobs/JobManagerFixture.h"

#include <limits>

namespace vellumar::test::jobManager {
namespace {

    // One change wakes every parked poll; with none, a poll ends after its timeout or 25 seconds of the
    // clock.
    TEST_F(JobManagerTest, WaitEndsAtAChangeOrAfterItsTimeoutOfTheClockAndAtMost25Seconds)
    {
        const std::pair<double, std::chrono::milliseconds> cases[] = { { 60, 25s }, { 0.5, 500ms } };
        auto [id, run] = startedJob("a");
        for (const auto& [timeout, lasts] : cases) {
            SCOPED_TRACE(timeout);
            auto version = *integer(status(id), "version");
            auto poll = [&] { return manager->wait(id, version, timeout); };
            std::vector<std::future<std::optional<JSON>>> polls;
            for (int index = 0; index < 3; ++index)
                polls.push_back(inBackground(poll));
            ASSERT_TRUE(clock->awaitSleepers(3));
            clock->advance(lasts - 1ms);
            run.control->onEvent(version % 2 == 0 ? RunnerEvent::tool("Read") : RunnerEvent::thinking());
            for (auto& polled : polls)
                EXPECT_EQ(integer(await(polled).value_or(JSON()), "version"), version + 1);
            ++version;
            auto polled = inBackground(poll);
            ASSERT_TRUE(clock->awaitSleepers(1));
            clock->advance(lasts);
            EXPECT_EQ(integer(await(polled).value_or(JSON()), "version"), version);
        }
    }

    TEST_F(JobManagerTest, WaitReturnsAtOnceWhenThereIsNothingToWaitFor)
    {
        auto running = startedJob("a").first;
        auto version = *integer(status(running), "version");
        auto finished = submit("b");
        runner->reply(finished, "Done.");
        auto finishedVersion = *integer(ended(finished), "version");
        const std::tuple<const char*, std::string, std::optional<std::int64_t>, double> cases[] = {
            { "no version", running, std::nullopt, 25 },
            { "an older version", running, version - 1, 25 },
            { "zero timeout", running, version, 0 },
            { "timeout not a number", running, version, std::numeric_limits<double>::quiet_NaN() },
            { "finished job at its version", finished, finishedVersion, 25 },
        };
        for (const auto& [name, id, since, timeout] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(
                text(await(inBackground([&] { return manager->wait(id, since, timeout); })).value_or(JSON()),
                    "jobId"),
                id);
        }
        EXPECT_EQ(manager->wait("j-0123456789abcdef", 0, 25), std::nullopt);
    }

    // A job pruned while a long poll is parked on it would leave the poll without the final status.
    TEST_F(JobManagerTest, AFinishedJobIsKeptWhileALongPollStillWaitsOnIt)
    {
        rebuild(2, 0);
        auto [id, run] = startedJob("a");
        auto version = *integer(status(id), "version");
        clock->holdNextWaker();
        auto polled = inBackground([&] { return manager->wait(id, version, 25); });
        ASSERT_TRUE(clock->awaitSleepers(1));
        runner->reply(id, "Done.");
        ASSERT_TRUE(clock->awaitHeld());
        clock->advance(1ms);
        submit("b");
        clock->letGo();
        EXPECT_EQ(text(await(polled).value_or(JSON()), "status"), "done");
    }

    TEST_F(JobManagerTest, EleventhOpenQuestionIsBusyAndNoneOutlivesItsJob)
    {
        auto [id, run] = startedJob("a");
        std::vector<std::future<std::string>> askers;
        std::vector<std::string> asked;
        for (char digit = '0'; digit <= '9'; ++digit) {
            asked.push_back("p-00000000000" + std::string(1, digit));
            askers.push_back(ask(run, permissionPrompt(asked.back()), asked.size()));
        }
        auto before = status(id);
        EXPECT_EQ(await(ask(run, permissionPrompt("p-aaaaaaaaaaaa"), 0)), "busy");
        EXPECT_EQ(status(id), before);
        std::vector<std::string> listed;
        for (const auto& prompt : *before.subscript("permissionRequests")->arrayValue())
            listed.push_back(text(prompt, "requestId"));
        EXPECT_EQ(listed, asked);

        manager->cancel(id);
        for (auto& asker : askers)
            EXPECT_EQ(await(asker), "canceled");
        EXPECT_EQ(ended(id).subscript("permissionRequests"), nullptr);
        auto other = submit("b");
        auto open = ask(started(other), permissionPrompt("p-0123456789ab"));
        const std::tuple<const char*, std::string, std::string> cases[] = {
            { "question of a canceled job", id, asked[0] },
            { "unknown question", other, "p-ffffffffffff" },
            { "unknown job", "j-0123456789abcdef", "p-0123456789ab" },
        };
        for (const auto& [name, job, requestID] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->answer(job, requestID, "once"); }),
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
    }

    TEST_F(JobManagerTest, AlwaysNeedsAPromptThatAllowsItAndTheQuestionStaysOpenOtherwise)
    {
        const std::tuple<const char*, JSON, JSON> cases[] = {
            { "canAlways false", permissionPrompt("p-000000000001", false), "folder" },
            { "canAlways missing", permissionPrompt("p-000000000002", std::nullopt), "folder" },
            { "canAlways a string",
                JSON::object({ { "requestId", "p-000000000003" }, { "canAlways", "true" } }), JSON() },
        };
        auto [id, run] = startedJob("a");
        for (const auto& [name, prompt, scope] : cases) {
            SCOPED_TRACE(name);
            auto requestID = text(prompt, "requestId");
            auto asker = ask(run, prompt);
            EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->answer(id, requestID, "always"); }),
                RelayHTTPError(400, "bad_request", "This place cannot be allowed always."));
            EXPECT_EQ(status(id).subscript("permissionRequests")->arrayValue()->size(), 1u);
            EXPECT_EQ(manager->answer(id, requestID, "once"),
                JSON::object({ { "requestId", requestID }, { "decision", "once" }, { "scope", scope } }));
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
        manager->answer(id, "p-000000000001", "deny");
        EXPECT_EQ(await(early), "deny");
        auto late = ask(run, permissionPrompt("p-000000000002"));
        clock->advance(600s);
        EXPECT_EQ(await(late), "timeout");
        EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->answer(id, "p-000000000002", "once"); })->code(),
            "not_pending");
    }

    TEST_F(JobManagerTest, ActivityReturnsWhenTheLastQuestionCloses)
    {
        auto [id, run] = startedJob("a");
        run.control->onEvent(RunnerEvent::tool("Read"));
        auto first = ask(run, permissionPrompt("p-000000000001"));
        auto second = ask(run, permissionPrompt("p-000000000002"), 2);
        run.control->onEvent(RunnerEvent::tool("Bash"));
        manager->answer(id, "p-000000000001", "once");
        EXPECT_EQ(await(first), "once");
        EXPECT_EQ(text(status(id), "activityKind"), "waiting_for_approval");
        manager->answer(id, "p-000000000002", "conversation");
        EXPECT_EQ(await(second), "conversation");
        auto after = status(id);
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

    // The wire contract of the status object, pinned whole for each state; the canceled and interrupted
    // states are pinned where they come about.
    TEST_F(JobManagerTest, StatusObjectsOfEachStateArePinned)
    {
        std::future<std::string> asked; // answered as "canceled" by the next case's new manager
        const std::pair<const char*, std::function<JSON()>> cases[] = {
            { "queued",
                [&] {
                    rebuild(1);
                    started(submit("a"));
                    clock->advance(1s);
                    return manager->submit(request("b"));
                } },
            { "running-with-question",
                [&] {
                    auto [id, run] = startedJob("a");
                    clock->advance(2s);
                    run.control->onEvent(RunnerEvent::tool("Read"));
                    clock->advance(1s);
                    run.control->onEvent(RunnerEvent::interim("Looking at the file."));
                    clock->advance(1s);
                    asked = ask(run,
                        JSON::object(
                            { { "requestId", "p-0123456789ab" }, { "canAlways", true }, { "scope", "folder" },
                                { "tool", "Write" }, { "path", "/Users/me/Notes/todo.md" } }));
                    clock->advance(1999ms);
                    return status(id);
                } },
            { "done",
                [&] {
                    auto submission = request("a", JobMode::interrupt);
                    submission.timeLimit = 600;
                    auto id = submit(submission);
                    auto run = started(id);
                    clock->advance(1s);
                    run.control->onEvent(RunnerEvent::interim("Here  is\nthe answer."));
                    clock->advance(1500ms);
                    runner->release(id, [](const auto&) {
                        return ReplyOutput { .reply = "Here is the answer.",
                            .actions
                            = { JSON::object({ { "type", "remind" }, { "title", "Water the plants" } }) },
                            .context = JSON::object({ { "usedTokens", 1200 } }),
                            .files
                            = { JSON::object({ { "name", "plan.pdf" }, { "fileId", "outbox/plan.pdf" } }) } };
                    });
                    return ended(id);
                } },
            { "failed",
                [&] {
                    auto id = submit(request("a", JobMode::queue, true));
                    started(id);
                    clock->advance(1s);
                    runner->release(id, [](const auto&) -> ReplyOutput {
                        throw RelayHTTPError(502, "claude_failed", "Claude Code stopped unexpectedly.", 30);
                    });
                    return ended(id);
                } },
        };
        for (const auto& [name, make] : cases) {
            SCOPED_TRACE(name);
            rebuild();
            expectGolden(make(), name);
        }
    }

    TEST_F(JobManagerTest, FinishedJobsPastTheRetentionGoAtTheNextSubmission)
    {
        for (auto [age, kept] : { std::pair { 3600s + 0ms, true }, std::pair { 3600s + 1ms, false } }) {
            SCOPED_TRACE(kept);
            rebuild(2, 3600);
            auto id = submit("a");
            runner->reply(id, "Done.");
            ended(id);
            clock->advance(age);
            EXPECT_TRUE(manager->status(id)) << "pruning waits for a submission";
            submit("b");
            EXPECT_EQ(manager->status(id).has_value(), kept);
        }
    }

    TEST_F(JobManagerTest, MoreThan500JobsDropTheOldestFinishedOnes)
    {
        auto running = startedJob("a").first;
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
