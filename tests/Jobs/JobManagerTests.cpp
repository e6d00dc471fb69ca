#include "VellumarMacCore/Jobs/JobManager.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/Prompts.h"
#include "tests/Jobs/JobsTestSupport.h"
#include "tests/Jobs/LatchedFakeRunner.h"
#include "tests/Jobs/ManualJobClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumar::test {
namespace {

    using namespace std::chrono_literals;

    constexpr std::int64_t kStartMillis = 1'740'787'200'000; // ManualJobClock::kStart

    ActivityLabels englishLabels()
    {
        return { .queued = "Waiting in line",
            .starting = "Starting",
            .thinking = "Thinking",
            .reading = "Reading files",
            .searchingFiles = "Searching files",
            .writingFiles = "Writing files",
            .runningCommand = "Running a command",
            .browsing = "Browsing the web",
            .working = "Working",
            .done = "Done",
            .failed = "Failed",
            .canceled = "Canceled",
            .interrupted = "Interrupted",
            .preparing = "Preparing",
            .writingReply = "Writing the reply",
            .compacting = "Compacting",
            .waitingForApproval = "Waiting for your approval",
            .attaching = "Attaching files" };
    }

    JobSubmission request(std::string_view conversation, JobMode mode = JobMode::queue)
    {
        JobSubmission submission;
        submission.conversationID = "ios-" + std::string(conversation);
        submission.botID = "main";
        submission.message = "Hello";
        submission.mode = mode;
        return submission;
    }

    JobSubmission routineRequest(std::string_view conversation)
    {
        auto submission = request(conversation);
        submission.routineID = "morning-news";
        return submission;
    }

    std::string text(const JSON& object, std::string_view key)
    {
        const auto* member = object.subscript(key);
        return member && member->stringValue() ? *member->stringValue() : std::string();
    }

    std::optional<std::int64_t> integer(const JSON& object, std::string_view key)
    {
        const auto* member = object.subscript(key);
        return member ? member->intValue() : std::nullopt;
    }

    JSON permissionPrompt(const std::string& requestID, std::optional<bool> canAlways = false)
    {
        JSON::Object prompt { { "requestId", requestID }, { "scope", "folder" }, { "tool", "Write" } };
        if (canAlways)
            prompt.emplace("canAlways", *canAlways);
        return prompt;
    }

    // The result of a call that should end; a call that hangs ends the whole run loudly instead of
    // leaving it stuck.
    template <typename Result> Result await(std::future<Result>& future)
    {
        if (future.wait_for(LatchedFakeRunner::kPatience) != std::future_status::ready) {
            std::fprintf(stderr, "a call that should have ended is still blocked\n");
            std::abort();
        }
        return future.get();
    }

    template <typename Call> auto inBackground(Call call) { return std::async(std::launch::async, call); }

    RelayHTTPError thrownBy(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const RelayHTTPError& error) {
            return error;
        }
        ADD_FAILURE() << "no RelayHTTPError was thrown";
        return { 0, "", "" };
    }

    class JobManagerTest : public ::testing::Test {
    protected:
        JobManagerTest() { rebuild(); }

        ~JobManagerTest() override
        {
            runner->setHonoursStop(true);
            manager.reset();
        }

        void rebuild(int maxRunning = 2, double retention = 86'400)
        {
            if (manager) {
                runner->setHonoursStop(true);
                manager.reset();
            }
            manager = std::make_unique<JobManager>(JobManager::Options { .runner = runner,
                .labels = englishLabels(),
                .maxRunning = maxRunning,
                .retention = retention,
                .clock = clock,
                .questionLifetime = 600 });
        }

        std::string submit(JobSubmission submission)
        {
            return text(manager->submit(std::move(submission)), "jobId");
        }
        std::string submit(std::string_view conversation, JobMode mode = JobMode::queue)
        {
            return submit(request(conversation, mode));
        }

        JSON status(const std::string& id)
        {
            auto found = manager->status(id);
            if (!found) {
                ADD_FAILURE() << "no job " << id;
                return JSON();
            }
            return *found;
        }

        std::string statusText(const std::string& id) { return text(status(id), "status"); }

        LatchedFakeRunner::Run started(const std::string& id)
        {
            auto run = runner->awaitStart(id);
            if (!run) {
                std::fprintf(stderr, "job %s never started\n", id.c_str());
                std::abort();
            }
            return *run;
        }

        // Follows the job by long polls until its status is final. The clock does not move, so each poll
        // returns only on a change.
        JSON ended(const std::string& id)
        {
            auto follower = inBackground([&] {
                auto current = status(id);
                while (current.subscript("finishedAt") && current.subscript("finishedAt")->isNull()) {
                    auto next = manager->wait(id, integer(current, "version"), 25);
                    if (!next)
                        return JSON();
                    current = std::move(*next);
                }
                return current;
            });
            return await(follower);
        }

        std::future<std::string> askInBackground(const LatchedFakeRunner::Run& run, JSON prompt)
        {
            return inBackground([control = run.control, prompt] { return control->ask(prompt); });
        }

        void expectGolden(const JSON& actual, const std::string& name)
        {
            ASSERT_NE(actual.objectValue(), nullptr);
            EXPECT_TRUE(RelayIDs::isValidJobID(text(actual, "jobId")));
            auto members = *actual.objectValue();
            members["jobId"] = "j-0000000000000000";
            auto golden = JSON::decode(readFile(sourceDir() / "tests/Jobs/golden" / (name + ".json")));
            ASSERT_TRUE(golden) << name;
            EXPECT_EQ(JSON(members).encoded(), golden->encoded()) << name;
        }

        std::shared_ptr<ManualJobClock> clock = std::make_shared<ManualJobClock>();
        std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
        std::unique_ptr<JobManager> manager;
    };

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
        EXPECT_EQ(runner->startOrder(), (std::vector { first, second, third }));
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

    // --- Long polls

    TEST_F(JobManagerTest, WaitReturnsAsSoonAsTheJobChanges)
    {
        auto id = submit("a");
        auto run = started(id);
        auto version = *integer(status(id), "version");
        auto polled = inBackground([&] { return manager->wait(id, version, 60); });
        ASSERT_TRUE(clock->awaitSleepers(1));
        run.control->onEvent(RunnerEvent::tool("Read"));
        auto result = await(polled);
        ASSERT_TRUE(result);
        EXPECT_EQ(integer(*result, "version"), version + 1);
        EXPECT_EQ(text(*result, "activityKind"), "reading");
    }

    TEST_F(JobManagerTest, WaitEndsAfterItsTimeoutOfTheClockAndAtMost25Seconds)
    {
        struct Case {
            double timeout;
            std::chrono::milliseconds lasts;
        };
        const Case cases[] = { { 60, 25s }, { 25, 25s }, { 10, 10s }, { 0.5, 500ms } };
        auto id = submit("a");
        auto run = started(id);
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
            { "negative timeout", running, version, -5 },
            { "timeout not a number", running, version, std::numeric_limits<double>::quiet_NaN() },
            { "finished job at its version", finished, finishedVersion, 25 },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto polled
                = inBackground([&] { return manager->wait(testCase.id, testCase.since, testCase.timeout); });
            auto result = await(polled);
            ASSERT_TRUE(result);
            EXPECT_EQ(text(*result, "jobId"), testCase.id);
        }
        EXPECT_EQ(manager->wait("j-0123456789abcdef", 0, 25), std::nullopt);
    }

    TEST_F(JobManagerTest, OneChangeWakesEveryWaiterAndTheEndShowsTheFinalStatus)
    {
        auto id = submit("a");
        auto run = started(id);
        auto version = *integer(status(id), "version");
        std::vector<std::future<std::optional<JSON>>> waiters;
        for (int index = 0; index < 3; ++index)
            waiters.push_back(inBackground([&] { return manager->wait(id, version, 25); }));
        ASSERT_TRUE(clock->awaitSleepers(3));
        run.control->onEvent(RunnerEvent::writing());
        for (auto& waiter : waiters)
            EXPECT_EQ(integer(await(waiter).value_or(JSON()), "version"), version + 1);

        auto last = inBackground([&] { return manager->wait(id, version + 1, 25); });
        ASSERT_TRUE(clock->awaitSleepers(1));
        runner->reply(id, "Done.");
        EXPECT_EQ(text(await(last).value_or(JSON()), "status"), "done");
    }

    // --- Questions

    TEST_F(JobManagerTest, EleventhOpenQuestionIsBusyAndRecordsNothing)
    {
        auto id = submit("a");
        auto run = started(id);
        std::vector<std::future<std::string>> askers;
        std::vector<std::string> asked;
        for (int index = 0; index < 10; ++index) {
            char requestID[16];
            std::snprintf(requestID, sizeof requestID, "p-00000000000%x", index);
            asked.push_back(requestID);
            askers.push_back(askInBackground(run, permissionPrompt(requestID)));
            ASSERT_TRUE(clock->awaitSleepers(asked.size()));
        }
        auto before = status(id);
        auto eleventh = askInBackground(run, permissionPrompt("p-aaaaaaaaaaaa"));
        EXPECT_EQ(await(eleventh), "busy");
        EXPECT_EQ(status(id).encoded(), before.encoded());

        std::vector<std::string> listed;
        for (const auto& prompt : *before.subscript("permissionRequests")->arrayValue())
            listed.push_back(text(prompt, "requestId"));
        EXPECT_EQ(listed, asked);

        manager->cancel(id);
        for (auto& asker : askers)
            EXPECT_EQ(await(asker), "canceled");
        EXPECT_EQ(ended(id).subscript("permissionRequests"), nullptr);
    }

    TEST_F(JobManagerTest, AnswerToAClosedQuestionIsNotPending)
    {
        auto id = submit("a");
        auto run = started(id);
        auto asker = askInBackground(run, permissionPrompt("p-0123456789ab"));
        ASSERT_TRUE(clock->awaitSleepers(1));
        manager->cancel(id);
        EXPECT_EQ(await(asker), "canceled");

        struct Case {
            const char* name;
            std::string id;
            std::string requestID;
        };
        const Case cases[] = {
            { "question of a canceled job", id, "p-0123456789ab" },
            { "unknown question", id, "p-ffffffffffff" },
            { "unknown job", "j-0123456789abcdef", "p-0123456789ab" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto error = thrownBy([&] { manager->answer(testCase.id, testCase.requestID, "once"); });
            EXPECT_EQ(error.status(), 409);
            EXPECT_EQ(error.code(), "not_pending");
            EXPECT_EQ(error.message(), "This question is no longer open (it expired or the work ended).");
            EXPECT_EQ(error.retryAfter(), std::nullopt);
        }
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
        auto id = submit("a");
        auto run = started(id);
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto requestID = text(testCase.prompt, "requestId");
            auto asker = askInBackground(run, testCase.prompt);
            ASSERT_TRUE(clock->awaitSleepers(1));
            auto error = thrownBy([&] { manager->answer(id, requestID, "always"); });
            EXPECT_EQ(error.status(), 400);
            EXPECT_EQ(error.code(), "bad_request");
            EXPECT_EQ(error.message(), "This place cannot be allowed always.");
            EXPECT_EQ(status(id).subscript("permissionRequests")->arrayValue()->size(), 1u);

            auto answered = manager->answer(id, requestID, "once");
            EXPECT_EQ(answered.encoded(),
                JSON::object(
                    { { "requestId", requestID }, { "decision", "once" }, { "scope", testCase.scope } })
                    .encoded());
            EXPECT_EQ(await(asker), "once");
        }

        auto allowed = askInBackground(run, permissionPrompt("p-000000000004", true));
        ASSERT_TRUE(clock->awaitSleepers(1));
        EXPECT_EQ(text(manager->answer(id, "p-000000000004", "always"), "decision"), "always");
        EXPECT_EQ(await(allowed), "always");
    }

    TEST_F(JobManagerTest, UnansweredQuestionTimesOutAfterItsLifetime)
    {
        auto id = submit("a");
        auto run = started(id);
        auto early = askInBackground(run, permissionPrompt("p-000000000001"));
        ASSERT_TRUE(clock->awaitSleepers(1));
        clock->advance(600s - 1ms);
        EXPECT_EQ(text(manager->answer(id, "p-000000000001", "deny"), "decision"), "deny");
        EXPECT_EQ(await(early), "deny");

        auto late = askInBackground(run, permissionPrompt("p-000000000002"));
        ASSERT_TRUE(clock->awaitSleepers(1));
        clock->advance(600s);
        EXPECT_EQ(await(late), "timeout");
        EXPECT_EQ(thrownBy([&] { manager->answer(id, "p-000000000002", "once"); }).code(), "not_pending");
    }

    TEST_F(JobManagerTest, ActivityReturnsWhenTheLastQuestionCloses)
    {
        auto id = submit("a");
        auto run = started(id);
        run.control->onEvent(RunnerEvent::tool("Read"));
        auto first = askInBackground(run, permissionPrompt("p-000000000001"));
        ASSERT_TRUE(clock->awaitSleepers(1));
        auto second = askInBackground(run, permissionPrompt("p-000000000002"));
        ASSERT_TRUE(clock->awaitSleepers(2));
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
        EXPECT_EQ(text(after, "activity"), "Reading files");
        EXPECT_EQ(text(after.subscript("events")->arrayValue()->back(), "label"), "Reading files");
        EXPECT_EQ(after.subscript("permissionRequests"), nullptr);
    }

    TEST_F(JobManagerTest, AQuestionAskedAgainUnderItsIDCancelsTheEarlierAsker)
    {
        auto id = submit("a");
        auto run = started(id);
        auto earlier = askInBackground(run, permissionPrompt("p-0123456789ab"));
        ASSERT_TRUE(clock->awaitSleepers(1));
        auto replacing = JSON::object({ { "requestId", "p-0123456789ab" }, { "tool", "Edit" } });
        auto later = askInBackground(run, replacing);
        EXPECT_EQ(await(earlier), "canceled");
        ASSERT_TRUE(clock->awaitSleepers(1));

        auto listed = *status(id).subscript("permissionRequests")->arrayValue();
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].encoded(), replacing.encoded());
        manager->answer(id, "p-0123456789ab", "once");
        EXPECT_EQ(await(later), "once");
        EXPECT_EQ(text(status(id), "activityKind"), "starting");
    }

    TEST_F(JobManagerTest, QuestionsThatCannotBeAskedAreCanceledAtOnce)
    {
        auto id = submit("a");
        auto run = started(id);
        struct Case {
            const char* name;
            JSON prompt;
        };
        const Case cases[] = {
            { "no requestId", JSON::object({ { "tool", "Write" } }) },
            { "requestId not a string", JSON::object({ { "requestId", 12 } }) },
            { "prompt not an object", JSON("p-0123456789ab") },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto asker = askInBackground(run, testCase.prompt);
            EXPECT_EQ(await(asker), "canceled");
        }
        runner->reply(id, "Done.");
        ended(id);
        auto afterEnd = askInBackground(run, permissionPrompt("p-0123456789ab"));
        EXPECT_EQ(await(afterEnd), "canceled");
    }

    // --- Status objects

    TEST_F(JobManagerTest, StatusObjectOfAQueuedJob)
    {
        rebuild(1);
        started(submit("a"));
        clock->advance(1s);
        expectGolden(manager->submit(request("b")), "queued");
    }

    TEST_F(JobManagerTest, StatusObjectOfARunningJobWithActivityAndAQuestion)
    {
        auto id = submit("a");
        auto run = started(id);
        clock->advance(2s);
        run.control->onEvent(RunnerEvent::tool("Read"));
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Looking at the file."));
        clock->advance(1s);
        auto prompt = JSON::object({ { "requestId", "p-0123456789ab" }, { "canAlways", true },
            { "scope", "folder" }, { "tool", "Write" }, { "path", "/Users/me/Notes/todo.md" } });
        auto asker = askInBackground(run, prompt);
        ASSERT_TRUE(clock->awaitSleepers(1));
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
        auto id = submit(routineRequest("a"));
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
        auto id = submit("a");
        auto run = started(id);
        clock->advance(1s);
        run.control->onEvent(RunnerEvent::interim("Half way there."));
        clock->advance(1s);
        submit("a", JobMode::interrupt);
        clock->advance(1s);
        runner->reply(id, "Finished anyway.");
        expectGolden(ended(id), "interrupted");
    }

    TEST_F(JobManagerTest, ElapsedSecondsAreTruncatedWholeSeconds)
    {
        auto id = submit("a");
        started(id);
        clock->advance(1999ms);
        EXPECT_EQ(integer(status(id), "elapsedSeconds"), 1);
        clock->advance(1ms);
        EXPECT_EQ(integer(status(id), "elapsedSeconds"), 2);
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
            auto id = submit("a");
            manager->cancel(id);
            canceled.push_back(id);
        }
        // Each submission first trims the finished jobs to 500 besides the running one.
        for (int index = 0; index < 5; ++index)
            EXPECT_FALSE(manager->status(canceled[index])) << index;
        EXPECT_TRUE(manager->status(canceled[5]));
        EXPECT_TRUE(manager->status(canceled.back()));
        EXPECT_EQ(statusText(running), "running");
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
