// The job manager's scheduling, stopping, progress, observers and concurrent callers.
#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/Jobs/JobManagerFixture.h"

namespace vellumar::test::jobManager {
namespace {

    // Below one the limit counts as one. Whichever of two racing job threads reaches the runner first,
    // the manager's own state decides which job runs.
    TEST_F(JobManagerTest, RunsTheOldestJobOfAnIdleConversationWithinTheLimit)
    {
        auto first = submit("a"), second = submit("b"), third = submit("c");
        EXPECT_EQ(integer(status(third), "position"), 0);
        runner->reply(second, "Done.");
        started(third);
        struct Case {
            const char* name;
            int maxRunning;
            std::string older, younger; // conversations submitted after a first job of "a"
        };
        const Case cases[] = { { "own conversation's next job is older", 0, "a", "b" },
            { "other conversation's job is older", -3, "b", "a" } };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild(testCase.maxRunning);
            auto running = submit("a");
            clock->advance(1ms);
            auto older = submit(testCase.older);
            clock->advance(1ms);
            auto younger = submit(testCase.younger);
            runner->reply(running, "Done.");
            started(older);
            EXPECT_EQ(statusText(younger), "queued");
        }
        EXPECT_TRUE(runner->keptLimits(2));
    }

    TEST_F(JobManagerTest, SixthWaitingJobIsBusyAndTheQueueStaysAsItWas)
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
        EXPECT_NO_THROW(submit("b"));
        EXPECT_EQ(manager->cancelConversation("ios-a"), 6);
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
        EXPECT_EQ(integer(status(waiting), "position"), 1);
        // The run had finished its reply just as it was told to stop.
        clock->advance(1s);
        runner->reply(old, "Finished anyway.");
        expectGolden(ended(old), "interrupted");
        EXPECT_EQ(started(newer).control->stoppedNote(),
            *Prompts::interruptionNotice("interrupted", { "Half way there." }));
        runner->reply(newer, "Done.");
        EXPECT_EQ(started(waiting).control->stoppedNote(), std::nullopt);

        // With nothing running in its conversation, an interrupting job queues at the end.
        rebuild(1);
        started(submit("b"));
        auto queued = submit("a");
        EXPECT_EQ(integer(status(submit("a", JobMode::interrupt)), "position"), 1);
        EXPECT_EQ(integer(status(queued), "position"), 0);
    }

    // Only a stopped run of a chat leaves a notice for its conversation's next job; a canceled waiting
    // job leaves none either.
    TEST_F(JobManagerTest, ARunsEndBecomesItsStatusAndANoticeForTheNextJob)
    {
        auto failing = [](auto error) { return [error](const auto&) -> ReplyOutput { throw error; }; };
        struct Case {
            const char* name;
            bool routine;
            LatchedFakeRunner::Outcome outcome; // none: canceled while running
            std::string status;
            JSON error;
            bool noted;
        };
        const Case cases[] = {
            { "canceled while running", false, nullptr, "canceled", {}, true },
            { "a routine's run canceled", true, nullptr, "canceled", {}, false },
            { "the run gave up itself", false, failing(CancellationError()), "canceled", {}, true },
            { "done", false, [](const auto&) { return ReplyOutput { .reply = "Done." }; }, "done", {},
                false },
            { "failed unexpectedly", false, failing(std::runtime_error("disk on fire")), "failed",
                JSON::object({ { "code", "internal" }, { "status", 500 },
                    { "message", "Something went wrong on the Mac." } }),
                false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            rebuild();
            auto id = submit(request("a", JobMode::queue, testCase.routine));
            started(id);
            manager->cancel(submit("a"));
            if (testCase.outcome)
                runner->release(id, testCase.outcome);
            else
                manager->cancel(id);
            auto end = ended(id);
            EXPECT_EQ(text(end, "status"), testCase.status);
            EXPECT_EQ(end.subscript("error") ? *end.subscript("error") : JSON(), testCase.error);
            EXPECT_EQ(started(submit("a")).control->stoppedNote(),
                testCase.noted ? Prompts::interruptionNotice("canceled", {}) : std::nullopt);
        }
    }

    TEST_F(JobManagerTest, CancelingAWaitingJobEndsItAtOnceAndARunningOneWhenItsRunEnds)
    {
        rebuild(1);
        runner->setHonoursStop(false);
        auto [running, run] = startedJob("a");
        auto waiting = submit("b");
        clock->advance(1500ms);
        expectGolden(manager->cancel(waiting).value_or(JSON()), "canceled");
        EXPECT_FALSE(manager->hasWork("ios-b"));
        EXPECT_EQ(manager->cancel("j-0123456789abcdef"), std::nullopt);

        auto first = manager->cancel(running).value_or(JSON());
        EXPECT_EQ(text(first, "status"), "running");
        EXPECT_TRUE(run.stop.stop_requested());
        EXPECT_EQ(manager->cancel(running), first);
        // A conversation's count leaves out its running job once that is stopping.
        auto next = submit("a");
        EXPECT_EQ(manager->cancelConversation("ios-a"), 1);
        runner->reply(running, "Too late.");
        EXPECT_EQ(text(ended(running), "status"), "canceled");
        EXPECT_EQ(statusText(next), "canceled");

        auto [third, thirdRun] = startedJob("c");
        auto queued = submit("d");
        manager->cancelAll();
        EXPECT_EQ(statusText(queued), "canceled");
        EXPECT_TRUE(thirdRun.stop.stop_requested());
    }

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
        EXPECT_EQ(integer(status(id).subscript("interim")->arrayValue()->at(1), "at"), kStartMillis + 60'000);
        // The golden done job's reply replaces its interim text; one that repeats an earlier text does not.
        runner->reply(id, "First.");
        EXPECT_EQ(ended(id).subscript("result")->subscript("replacesInterim"), nullptr);

        auto [whole, wholeRun] = startedJob("b");
        wholeRun.control->onEvent(RunnerEvent::interim(repeated("x", 1000)));
        EXPECT_EQ(text(status(whole).subscript("interim")->arrayValue()->at(0), "text"), repeated("x", 1000));
    }

    TEST_F(JobManagerTest, EventsOfRoutinesAndStoppingJobsLeaveNoTraceAndTheLast30ChangesAreKept)
    {
        auto routine = submit(request("a", JobMode::queue, true));
        auto routineRun = started(routine);
        EXPECT_FALSE(routineRun.control->canAsk());
        routineRun.control->onEvent(RunnerEvent::interim("Nobody sees this."));
        EXPECT_TRUE(status(routine).subscript("interim")->arrayValue()->empty());

        auto [id, run] = startedJob("b");
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

        runner->setHonoursStop(false);
        manager->cancel(id);
        version = *integer(status(id), "version");
        run.control->onEvent(RunnerEvent::interim("Still talking."));
        run.control->onEvent(RunnerEvent::tool("Bash"));
        EXPECT_EQ(integer(status(id), "version"), version);
        EXPECT_EQ(await(ask(run, permissionPrompt("p-0123456789ab"), 0)), "canceled");
    }

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
        auto finished = heard->finished.get_future();
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
        {
            std::lock_guard guard(heard->lock);
            EXPECT_EQ(heard->counts, (std::vector<std::size_t> { 0, 1 }));
        }
        clock->advance(2s);
        runner->reply(id, "Done.");
        auto job = await(finished);
        EXPECT_EQ(
            std::tuple(job.id, job.status, job.createdAt, job.startedAt.value_or(0), job.error.has_value()),
            std::tuple(id, std::string("done"), kStartMillis, kStartMillis, false));
        EXPECT_EQ(text(job.result.value_or(JSON()), "reply"), "Done.");
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

}
}
