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

CompactionRequest compaction(const std::string& botID = "bot-1")
{
    return { "ios-1", botID, std::nullopt, std::nullopt };
}

}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ClearingForgetsTheSessionGrantsAndOnRequestTheWorkFolder)
{
    struct Case {
        const char* name;
        bool storedSession;
        WorkFolder workFolder;
    };
    const Case cases[] {
        { "never used, folder kept", false, WorkFolder::keep },
        { "a session, folder cleared", true, WorkFolder::clear },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        if (testCase.storedSession)
            world.storeSession(60, "We planned the trip to Lyon.");
        auto& runner = world.start();
        fs::path upload = world.workFolder("ios-1") / "uploads" / "photo.jpg";
        test::writeBytes(upload, "jpeg");
        world.data->memory.apply("ios-1", { MemoryStore::Op::remember("Likes tea") });
        runner.grants().add("ios-1", world.home / "Documents");
        runner.grants().add("ios-2", world.home / "Documents");

        auto cleared = runner.clearConversation("ios-1", testCase.workFolder);

        EXPECT_EQ(cleared.hadSession, testCase.storedSession);
        EXPECT_EQ(cleared.workspaceCleared, testCase.workFolder == WorkFolder::clear);
        EXPECT_EQ(fs::exists(upload), testCase.workFolder == WorkFolder::keep);
        // With nothing to forget the store is not written at all.
        EXPECT_EQ(fs::exists(world.dataFolder / "sessions.json"), testCase.storedSession);
        EXPECT_FALSE(world.data->sessions.entry("ios-1", "bot-1"));
        EXPECT_EQ(world.data->memory.memories("ios-1").size(), 1u);
        EXPECT_FALSE(runner.grants().covers("ios-1", world.home / "Documents" / "a.txt"));
        EXPECT_TRUE(runner.grants().covers("ios-2", world.home / "Documents" / "a.txt"));
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AFailedCompactionLeavesNoInstructionFilesAndKeepsWhatItCan)
{
    struct Case {
        const char* name;
        std::string botID;
        bool installed;
        JSON steps;
        RelayHTTPError error;
        std::size_t starts;
        bool sessionKept;
    };
    const JSON summary = replyStep("A summary.", { { "writeClaudeFile", true } });
    const Case cases[] {
        { "another bot's conversation", "bot-2", true, JSON::array({ summary }),
            { 409, "no_session",
                "There is nothing to summarise yet (the conversation was cleared or has not started)." },
            0, true },
        { "not installed", "bot-1", false, JSON::array({ summary }),
            { 503, "claude_unavailable", "Claude Code is not installed on the Mac." }, 0, true },
        { "a summary of action blocks only", "bot-1", true,
            JSON::array({ replyStep(
                "```action\n{\"type\":\"remember\",\"text\":\"x\"}\n```", { { "writeClaudeFile", true } }) }),
            { 502, "empty_reply", "The summary could not be made." }, 1, true },
        { "a lost session", "bot-1", true,
            JSON::array({ test::failStep("No conversation found with session ID: old-session-1\n") }),
            { 409, "no_session", "The earlier conversation is no longer on the Mac. Start a new one." }, 1,
            false },
        { "a hand-over without a session", "bot-1", true,
            JSON::array({ summary,
                JSON::object({ { "stdout", JSON::array({ test::resultLine("OK", false, nullptr) }) } }) }),
            { 502, "claude_failed", "A new conversation could not be started from the summary." }, 2, true },
        { "a failed hand-over", "bot-1", true, JSON::array({ summary, test::failStep("", 4) }),
            { 502, "claude_failed", "Claude Code stopped without a reply (exit 4)." }, 2, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        world.play(testCase.steps);
        world.storeSession(60, "We planned the trip to Lyon.");
        if (!testCase.installed)
            world.options.locate = [] { return std::optional<fs::path>(); };
        auto& runner = world.start();
        EXPECT_EQ(
            test::relayErrorOf([&] { runner.compact(compaction(testCase.botID), {}); }), testCase.error);
        EXPECT_EQ(world.calls().size(), testCase.starts);
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        EXPECT_EQ(
            world.data->sessions.summaryAndRecent("ios-1", "bot-1").summary, "We planned the trip to Lyon.");
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"),
            testCase.sessionKept ? std::optional<std::string>("old-session-1") : std::nullopt);
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionAskedForDuringARunWaitsForTheRunsSession)
{
    RunnerWorld world;
    world.play(JSON::array({ replyStep("Ran.", { { "hang", true } }, "run-session-1"),
        replyStep("The summary."), replyStep("OK") }));
    world.storeSession(60);
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

TEST(
    ClaudeReplyMaintenanceWithFakeClaude, BothRunsOfACompactionFollowTheStoredActionsSettingAndThePermissions)
{
    for (bool actions : { false, true }) {
        SCOPED_TRACE(actions ? "actions allowed" : "no actions");
        RunnerWorld world;
        world.play(
            JSON::array({ replyStep("The summary.", { { "writeClaudeFile", true } }), replyStep("OK") }));
        world.storeSession(60);
        auto& runner = world.start();
        world.data->sessions.recordReply("ios-1", "bot-1", "old-session-1", { .actions = actions });
        auto request = compaction();
        request.permissions = PermissionSettings {};
        request.permissions->web = false;
        request.permissions->bash = true;
        runner.compact(request, {});
        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 2u);
        for (const auto& call : calls) {
            EXPECT_EQ(argumentAfter(call, "--append-system-prompt").value_or("").find("[Actions]")
                    != std::string::npos,
                actions);
            auto tools = argumentAfter(call, "--tools").value_or("");
            EXPECT_EQ(tools.find("WebFetch"), std::string::npos) << tools;
            EXPECT_NE(tools.find("Bash"), std::string::npos) << tools;
        }
        EXPECT_EQ(*calls[1].subscript("claudeFileFound"), JSON(false));
        EXPECT_EQ(world.data->sessions.actions("ios-1", "bot-1"), actions);
    }
}
