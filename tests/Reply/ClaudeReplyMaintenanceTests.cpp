// Clearing and compacting conversations with the python3 stand-in for `claude`: a lost session, an
// unusable summary and a hand-over without a session cannot be provoked on demand from the real CLI.
#include "tests/Reply/ReplyRunnerFixture.h"

#include <gtest/gtest.h>

#include <future>

using namespace vellumar;
namespace fs = std::filesystem;
using test::argumentAfter;
using test::replyStep;
using test::RunnerWorld;

namespace {

CompactionRequest compaction() { return { "ios-1", "bot-1", std::nullopt, std::nullopt }; }

}

// Both runs follow the stored actions setting and the given permissions; a failure leaves what it can.
TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionHandsOverToANewSessionOrLeavesTheOldOne)
{
    struct Case {
        const char* name;
        bool actions;
        JSON steps;
        std::string outcome; // the summary, or the error's status, code and message
        std::size_t starts;
        std::optional<std::string> session;
    };
    const JSON summary = replyStep("The summary.", { { "writeClaudeFile", true } });
    const JSON summarised = JSON::array({ summary, replyStep("OK", { { "writeClaudeFile", true } }) });
    const char* old = "old-session-1";
    const Case cases[] {
        { "with actions", true, summarised, "The summary.", 2, test::kFakeSessionID },
        { "a lost session", false,
            JSON::array({ test::failStep("No conversation found with session ID: old-session-1\n") }),
            "409 no_session The earlier conversation is no longer on the Mac. Start a new one.", 1,
            std::nullopt },
        { "a hand-over without a session", false,
            JSON::array({ summary,
                JSON::object({ { "stdout", JSON::array({ test::resultLine("OK", false, nullptr) }) } }) }),
            "502 claude_failed A new conversation could not be started from the summary.", 2, old },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        world.play(testCase.steps);
        world.storeSession({ { "summary", "We planned the trip to Lyon." } });
        auto& runner = world.start();
        world.data->sessions.recordReply("ios-1", "bot-1", old, { .actions = testCase.actions });
        auto request = compaction();
        request.permissions = PermissionSettings {};
        request.permissions->web = false;
        request.permissions->bash = true;
        EXPECT_EQ(test::replyOrError([&] { return runner.compact(request, {}).summary; }), testCase.outcome);
        auto calls = world.calls();
        EXPECT_EQ(calls.size(), testCase.starts);
        for (const auto& call : calls) {
            auto prompt = argumentAfter(call, "--append-system-prompt").value_or("");
            EXPECT_EQ(prompt.find("[Actions]") != std::string::npos, testCase.actions);
            auto tools = argumentAfter(call, "--tools").value_or("");
            EXPECT_TRUE(
                tools.find("WebFetch") == std::string::npos && tools.find("Bash") != std::string::npos)
                << tools;
            EXPECT_EQ(*call.subscript("claudeFileFound"), JSON(false));
        }
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), testCase.session);
        EXPECT_EQ(world.data->sessions.summaryAndRecent("ios-1", "bot-1").summary,
            testCase.session == test::kFakeSessionID ? testCase.outcome : "We planned the trip to Lyon.");
        EXPECT_EQ(world.data->sessions.actions("ios-1", "bot-1"), testCase.actions);
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionAskedForDuringARunWaitsForTheRunsSession)
{
    RunnerWorld world;
    world.play(JSON::array({ replyStep("Ran.", { { "hang", true } }, "run-session-1"),
        replyStep("The summary."), replyStep("OK") }));
    world.storeSession();
    auto& runner = world.start();
    auto run = std::async(std::launch::async, [&] { return world.run(RunnerWorld::submission()); });
    ASSERT_TRUE(world.awaitHanging());
    auto compacted = std::async(std::launch::async, [&] { return runner.compact(compaction(), {}); });
    // The run cannot end before it is released, so a compaction that waits for it cannot be done yet;
    // the pause only gives one that does not wait the time to go wrong.
    EXPECT_EQ(compacted.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    world.releaseHanging();
    EXPECT_EQ(run.get().reply, "Ran.");
    EXPECT_EQ(compacted.get().summary, "The summary.");
    EXPECT_EQ(argumentAfter(world.calls().at(1), "--resume"), "run-session-1");
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), test::kFakeSessionID);
}
