// The job manager's queues, stopping, concurrent callers, long polls, questions and status objects.
#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/Jobs/JobManagerFixture.h"

#include <cmath>

namespace vellumar::test::jobManager {
namespace {

    TEST_F(JobManagerTest, SixthWaitingJobIsBusyAndPositionsCountFromZero)
    {
        started(submit("a"));
        std::vector<std::string> waiting;
        for (int index = 0; index < 5; ++index)
            waiting.push_back(submit("a"));
        EXPECT_EQ(thrown<RelayHTTPError>([&] { submit("a"); }),
            RelayHTTPError(
                429, "busy", "Too many messages are waiting in this conversation. Try again later.", 5));
        for (std::size_t index = 0; index < waiting.size(); ++index)
            EXPECT_EQ(integer(status(waiting[index]), "position"), static_cast<std::int64_t>(index));
    }

    TEST_F(JobManagerTest, InterruptStopsTheRunningJobGoesFirstAndHandsItsNoteToTheNextJobOnce)
    {
        runner->setHonoursStop(false);
        auto [old, oldRun] = startedJob("a");
        clock->advance(1s);
        oldRun.control->onEvent(RunnerEvent::interim("Half way there."));
        clock->advance(1s);
        auto waiting = submit("a");
        auto newer = submit("a", JobMode::interrupt);
        EXPECT_TRUE(oldRun.stop.stop_requested());
        ASSERT_EQ(integer(status(newer), "position"), 0);
        // The run had finished its reply just as it was told to stop.
        clock->advance(1s);
        runner->reply(old, "Finished anyway.");
        expectGolden(ended(old), "interrupted");
        EXPECT_EQ(started(newer).control->stoppedNote(),
            *Prompts::interruptionNotice("interrupted", { "Half way there." }));
        runner->reply(newer, "Done.");
        EXPECT_EQ(started(waiting).control->stoppedNote(), std::nullopt);
    }

    // Only a stopped run of a chat leaves a notice for its conversation's next job; a canceled waiting
    // job leaves none either, and an unexpected failure shows no detail.
    TEST_F(JobManagerTest, ARunsEndBecomesItsStatusAndANoticeForTheNextJob)
    {
        // The last: what the stopped run must still tell the user, which the phone shows as it shows an
        // error's message.
        const std::tuple<const char*, bool, bool, std::string, std::string> cases[] = {
            { "canceled while running", false, false, "canceled", "" },
            { "a routine's run canceled", true, false, "canceled", "" },
            { "failed unexpectedly", false, true, "failed", "" },
            { "stopped with something to tell", false, false, "canceled", "(From Vellumar for Mac: …)" },
        };
        for (const auto& [name, routine, fails, expected, told] : cases) {
            SCOPED_TRACE(name);
            rebuild();
            auto id = submit(request("a", JobMode::queue, routine));
            started(id);
            manager->cancel(submit("a"));
            if (fails)
                runner->release(
                    id, [](const auto&) -> ReplyOutput { throw std::runtime_error("disk on fire"); });
            else if (!told.empty())
                runner->release(
                    id, [note = told](const auto&) -> ReplyOutput { throw CancellationError(note); });
            else
                manager->cancel(id);
            auto end = ended(id);
            EXPECT_EQ(text(end, "status"), expected);
            EXPECT_EQ(end.subscript("error") ? *end.subscript("error") : JSON(),
                fails ? JSON::object({ { "code", "internal" }, { "status", 500 },
                    { "message", "Something went wrong on the Mac." } })
                    : told.empty()
                    ? JSON()
                    : JSON::object({ { "code", "canceled" }, { "status", 499 }, { "message", told } }));
            EXPECT_EQ(started(submit("a")).control->stoppedNote(),
                routine || fails ? std::nullopt : Prompts::interruptionNotice("canceled", {}));
        }
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
        // A timeout that is not a number waits not at all.
        EXPECT_TRUE(await(inBackground([&] { return manager->wait(id, version, std::nan("")); })));
        manager.reset();
        EXPECT_EQ(await(asked), "canceled");
        EXPECT_TRUE(await(polled));
    }

    // No caller waits for another: each thread's steps interleave with the others' in any order.
    TEST_F(JobManagerTest, ConcurrentCallersKeepEveryRuleWithoutRaces)
    {
        runner->releaseEveryRun([](const LatchedFakeRunner::Run& run) {
            run.control->onEvent(RunnerEvent::tool("Grep"));
            run.control->onEvent(RunnerEvent::interim("Working on it."));
            if (run.stop.stop_requested())
                throw CancellationError();
            return ReplyOutput { .reply = "Working on it." };
        });
        std::vector<std::future<std::vector<std::string>>> callers;
        for (int caller = 0; caller < 6; ++caller) {
            callers.push_back(inBackground([&, caller] {
                std::vector<std::string> submitted;
                for (int index = 0; index < 30; ++index) {
                    auto conversation = std::string(1, static_cast<char>('a' + (caller + index) % 3));
                    try {
                        submitted.push_back(submit(
                            request(conversation, index % 4 == 3 ? JobMode::interrupt : JobMode::queue)));
                        if (index % 5 == 0)
                            manager->cancel(submitted.back());
                        // Every job changes again (it starts, or it ends), so this long poll returns.
                        if (auto seen = manager->status(submitted.back()))
                            manager->wait(submitted.back(), integer(*seen, "version"), 25);
                    } catch (const RelayHTTPError& error) {
                        EXPECT_EQ(error.code(), "busy");
                    }
                    manager->hasWork("ios-" + conversation);
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
        EXPECT_TRUE(runner->keptLimits(2));
        EXPECT_EQ(manager->runningCount(), 0u);
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

    TEST_F(JobManagerTest, PastFiveHundredJobsTheOldestFinishedOneIsDropped)
    {
        // Jobs canceled while they wait behind a running one end at once, each a millisecond later.
        auto [running, run] = startedJob("a");
        std::vector<std::string> finished;
        for (std::size_t count = 1; count < JobManager::kMaxJobs; ++count) {
            finished.push_back(submit("a"));
            manager->cancel(finished.back());
            clock->advance(1ms);
        }
        auto fiveHundredFirst = submit("b");
        // Five hundred and one are known now; the next submission drops the one that ended first.
        EXPECT_TRUE(manager->status(finished.front()));
        submit("b");
        EXPECT_FALSE(manager->status(finished.front()));
        EXPECT_TRUE(manager->status(finished.at(1)));
        EXPECT_TRUE(manager->status(running) && manager->status(fiveHundredFirst));
    }

    TEST_F(JobManagerTest, EleventhOpenQuestionIsBusyAndNoneOutlivesItsJob)
    {
        auto [id, run] = startedJob("a");
        std::vector<std::future<std::string>> askers;
        for (char digit = '0'; digit <= '9'; ++digit)
            askers.push_back(
                ask(run, permissionPrompt("p-00000000000" + std::string(1, digit)), askers.size() + 1));
        // An eleventh question put would park: the watcher then takes it back, so the test fails instead of
        // hanging. A poll parked afterwards lets the watcher end either way.
        std::stop_source takeBack;
        auto watcher = inBackground([&] { return clock->awaitSleepers(11) && takeBack.request_stop(); });
        EXPECT_EQ(run.control->ask(permissionPrompt("p-aaaaaaaaaaaa"), takeBack.get_token()), "busy");
        auto polled = inBackground([&] { return manager->wait(id, integer(status(id), "version"), 25); });
        await(watcher);
        manager->cancel(id);
        for (auto& asker : askers)
            EXPECT_EQ(await(asker), "canceled");
        EXPECT_TRUE(await(polled));
        EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->answer(id, "p-000000000000", "once"); }),
            RelayHTTPError(
                409, "not_pending", "This question is no longer open (it expired or the work ended)."));
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
        auto [id, run] = startedJob("a");
        auto asker = ask(run, permissionPrompt("p-000000000001"));
        EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->answer(id, "p-000000000001", "always"); }),
            RelayHTTPError(400, "bad_request", "This place cannot be allowed always."));
        manager->answer(id, "p-000000000001", "once");
        EXPECT_EQ(await(asker), "once");
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
        EXPECT_EQ(text(status(id).subscript("events")->arrayValue()->back(), "label"), "Reading files");
    }

    // The wire contract of the status object, pinned whole while a question waits and once done (the
    // interrupted one where it comes about).
    TEST_F(JobManagerTest, StatusObjectsOfEachStateArePinned)
    {
        auto [id, run] = startedJob("a");
        clock->advance(2s);
        run.control->onEvent(RunnerEvent::tool("Read"));
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Looking at the file."));
        clock->advance(1s);
        auto asked = ask(run,
            JSON::object({ { "requestId", "p-0123456789ab" }, { "canAlways", true }, { "scope", "folder" },
                { "tool", "Write" }, { "path", "/Users/me/Notes/todo.md" } }));
        clock->advance(1999ms);
        expectGolden(status(id), "running-with-question");

        rebuild();
        auto submission = request("a", JobMode::interrupt);
        submission.timeLimit = 600;
        auto done = submit(submission);
        auto doneRun = started(done);
        clock->advance(1s);
        doneRun.control->onEvent(RunnerEvent::interim("Here  is\nthe answer."));
        clock->advance(1500ms);
        runner->release(done, [](const auto&) {
            return ReplyOutput { .reply = "Here is the answer.",
                .actions = { JSON::object({ { "type", "remind" }, { "title", "Water the plants" } }) },
                .context = JSON::object({ { "usedTokens", 1200 } }),
                .files = { JSON::object({ { "name", "plan.pdf" }, { "fileId", "outbox/plan.pdf" } }) } };
        });
        expectGolden(ended(done), "done");
    }

    TEST_F(JobManagerTest, LongPollsWokenByOneChangeShareOneEncodingOfTheStatus)
    {
        constexpr std::size_t kPolls = 8;
        auto [id, run] = startedJob("a");
        auto version = *integer(status(id), "version");
        std::vector<std::future<std::shared_ptr<const std::string>>> polls;
        for (std::size_t index = 0; index < kPolls; ++index)
            polls.push_back(inBackground([&, id = id] { return manager->waitEncoded(id, version, 25); }));
        ASSERT_TRUE(clock->awaitSleepers(kPolls));
        run.control->onEvent(RunnerEvent::tool("Read"));
        std::vector<std::shared_ptr<const std::string>> answers;
        for (auto& poll : polls)
            answers.push_back(await(poll));
        ASSERT_TRUE(answers.front());
        for (const auto& answer : answers)
            EXPECT_EQ(answer.get(), answers.front().get());
        EXPECT_EQ(JSON::decode(*answers.front()), status(id));
        EXPECT_EQ(integer(*JSON::decode(*answers.front()), "version"), version + 1);
        EXPECT_FALSE(manager->waitEncoded("j-000000000000", version, 0));
    }

    // Time and the queue change what a status shows without a new version.
    TEST_F(JobManagerTest, ASharedStatusIsNotHandedOutOnceTheTimeOrTheQueueMovedOn)
    {
        auto encoded = [&](const std::string& id) { return manager->waitEncoded(id, std::nullopt, 25); };
        auto member = [](const std::shared_ptr<const std::string>& bytes, std::string_view key) {
            return integer(JSON::decode(*bytes).value_or(JSON()), key);
        };
        {
            SCOPED_TRACE("a second of a running job passed");
            auto [id, run] = startedJob("a");
            auto before = encoded(id);
            EXPECT_EQ(encoded(id).get(), before.get());
            clock->advance(1s);
            auto after = encoded(id);
            EXPECT_EQ(member(before, "elapsedSeconds"), 0);
            EXPECT_EQ(member(after, "elapsedSeconds"), 1);
            EXPECT_EQ(JSON::decode(*after), status(id));
        }
        {
            SCOPED_TRACE("the job ahead left the queue");
            started(submit("b"));
            auto ahead = submit("b");
            auto id = submit("b");
            auto before = encoded(id);
            manager->cancel(ahead);
            auto after = encoded(id);
            EXPECT_EQ(member(before, "position"), 1);
            EXPECT_EQ(member(after, "position"), 0);
            EXPECT_EQ(JSON::decode(*after), status(id));
        }
    }
}
}
