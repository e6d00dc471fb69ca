// The job manager's test fixture: a manager on a manual clock running jobs through a latched fake runner,
// with helpers to follow jobs, ask questions from the runner's side and compare status objects with
// golden files. Nothing here sleeps: waits end on a change, and their real-time limits only guard
// against a hang.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/Jobs/ManualJobClock.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <utility>

// Named apart from the other suites' helpers, which share this test program.
namespace vellumar::test::jobManager {

using namespace std::chrono_literals;

inline constexpr auto kPatience = LatchedFakeRunner::kPatience;
inline constexpr std::int64_t kStartMillis = 1'740'787'200'000; // ManualJobClock::kStart

inline JobSubmission request(
    std::string_view conversation, JobMode mode = JobMode::queue, bool routine = false)
{
    JobSubmission submission;
    submission.conversationID = "ios-" + std::string(conversation);
    submission.botID = "main";
    submission.message = "Hello";
    submission.mode = mode;
    if (routine)
        submission.routineID = "morning-news";
    return submission;
}

inline std::string text(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

inline std::optional<std::int64_t> integer(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member ? member->intValue() : std::nullopt;
}

inline JSON permissionPrompt(const std::string& requestID, std::optional<bool> canAlways = false)
{
    JSON::Object prompt { { "requestId", requestID }, { "scope", "folder" }, { "tool", "Write" } };
    if (canAlways)
        prompt.emplace("canAlways", *canAlways);
    return prompt;
}

// The result of a call that should end; a call that hangs ends the whole run loudly instead of leaving
// it stuck, since its thread cannot be joined.
template <typename Result> Result await(std::future<Result>&& future)
{
    if (future.wait_for(kPatience) != std::future_status::ready) {
        std::fprintf(stderr, "a call that should have ended is still blocked\n");
        std::abort();
    }
    return future.get();
}
template <typename Result> Result await(std::future<Result>& future) { return await(std::move(future)); }

template <typename Call> auto inBackground(Call call) { return std::async(std::launch::async, call); }

class JobManagerTest : public ::testing::Test {
protected:
    JobManagerTest() { rebuild(); }
    ~JobManagerTest() override
    {
        clock->letGo();
        rebuild(std::nullopt);
    }

    // A new manager on a new clock; none with a limit of nullopt.
    void rebuild(std::optional<int> maxRunning = 2, double retention = 86'400)
    {
        runner->setHonoursStop(true);
        manager.reset();
        clock = std::make_shared<ManualJobClock>();
        if (maxRunning)
            manager = std::make_unique<JobManager>(JobManager::Options { .runner = runner,
                .labels = { "Waiting in line", "Starting", "Thinking", "Reading files", "Searching files",
                    "Writing files", "Running a command", "Browsing the web", "Working", "Done", "Failed",
                    "Canceled", "Interrupted", "Preparing", "Writing the reply", "Compacting",
                    "Waiting for your approval", "Attaching files" },
                .maxRunning = *maxRunning,
                .retention = retention,
                .clock = clock });
    }

    std::string submit(JobSubmission submission)
    {
        return text(manager->submit(std::move(submission)), "jobId");
    }
    std::string submit(std::string_view conversation, JobMode mode = JobMode::queue)
    {
        return submit(request(conversation, mode));
    }
    JSON status(const std::string& id) { return manager->status(id).value_or(JSON()); }
    std::string statusText(const std::string& id) { return text(status(id), "status"); }
    LatchedFakeRunner::Run started(const std::string& id) { return runner->awaitStart(id); }
    std::pair<std::string, LatchedFakeRunner::Run> startedJob(std::string_view conversation)
    {
        auto id = submit(conversation);
        return { id, started(id) };
    }

    // Follows the job by long polls until it has ended. The clock does not move, so each poll returns
    // only on a change.
    JSON ended(const std::string& id)
    {
        return await(inBackground([&] {
            auto current = status(id);
            while (current.subscript("finishedAt") && current.subscript("finishedAt")->isNull())
                current = manager->wait(id, integer(current, "version"), 25).value_or(JSON());
            return current;
        }));
    }

    // Asks from the run's side and returns once `parked` timed waits (this question's among them) are
    // parked on the clock.
    std::future<std::string> ask(
        const LatchedFakeRunner::Run& run, JSON prompt, std::size_t parked = 1, std::stop_token runEnded = {})
    {
        auto asked = inBackground(
            [control = run.control, prompt, runEnded] { return control->ask(prompt, runEnded); });
        if (!clock->awaitSleepers(parked))
            ADD_FAILURE() << "the question was not parked";
        return asked;
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

    std::shared_ptr<ManualJobClock> clock;
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    std::unique_ptr<JobManager> manager;
};

}
