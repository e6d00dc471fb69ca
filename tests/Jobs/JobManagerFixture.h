// The job manager's test fixture: a manager on a manual clock running jobs through a latched fake runner,
// with helpers to follow jobs, ask questions from the runner's side and compare status objects with
// golden files.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "tests/Jobs/LatchedFakeRunner.h"
#include "tests/Jobs/ManualJobClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <string_view>

// Named apart from the other suites' helpers, which share this test program.
namespace vellumar::test::jobManager {

inline constexpr std::int64_t kStartMillis = 1'740'787'200'000; // ManualJobClock::kStart

inline ActivityLabels englishLabels()
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

inline JobSubmission request(std::string_view conversation, JobMode mode = JobMode::queue)
{
    JobSubmission submission;
    submission.conversationID = "ios-" + std::string(conversation);
    submission.botID = "main";
    submission.message = "Hello";
    submission.mode = mode;
    return submission;
}

inline JobSubmission routineRequest(std::string_view conversation)
{
    auto submission = request(conversation);
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

inline RelayHTTPError thrownBy(const std::function<void()>& call)
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

}
