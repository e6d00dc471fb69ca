// Clearing and compacting conversations with the python3 stand-in for `claude`: a lost session, an
// unusable summary and a hand-over without a session cannot be provoked on demand from the real CLI.
#include "tests/Reply/FakeClaudeWorld.h"

#include <gtest/gtest.h>

#include <future>

using namespace vellumar;
namespace fs = std::filesystem;
using test::argumentAfter;
using test::replyStep;

namespace {

CompactionRequest compaction(const std::string& botID = "bot-1")
{
    return { "ios-1", botID, std::nullopt, std::nullopt };
}

// Writes a shell script as the world's `claude` that runs `body` and then the stand-in.
void wrapFakeClaude(test::FakeClaudeWorld& world, const std::string& body)
{
    world.claude = world.folder / "claude";
    std::ofstream(world.claude) << "#!/bin/sh\n"
                                << body << "exec '" << world.executable.string() << "' \"$@\"\n";
    fs::permissions(world.claude, fs::perms::owner_all);
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
        { "a session, folder kept", true, WorkFolder::keep },
        { "a session, folder cleared", true, WorkFolder::clear },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        if (testCase.storedSession)
            world.storeSession(60, "We planned the trip to Lyon.");
        auto& runner = world.start();
        fs::path upload = world.workFolder("ios-1") / "uploads" / "photo.jpg";
        fs::create_directories(upload.parent_path());
        std::ofstream(upload) << "jpeg";
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
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude,
    CompactingIsRefusedBeforeAnythingRunsWithoutClaudeCodeOrTheBotsSession)
{
    test::FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("A summary.") }));
    world.storeSession(60);
    auto& runner = world.start();
    EXPECT_EQ(test::relayErrorOf([&] { runner.compact(compaction("bot-2"), {}); }),
        RelayHTTPError(409, "no_session",
            "There is nothing to summarise yet (the conversation was cleared or has not started)."));
    world.options.locate = [] { return std::optional<fs::path>(); };
    EXPECT_EQ(test::relayErrorOf([&] { world.start().compact(compaction(), {}); }),
        RelayHTTPError(503, "claude_unavailable", "Claude Code is not installed on the Mac."));
    EXPECT_TRUE(world.calls().empty());
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AFailedCompactionLeavesNoInstructionFilesAndKeepsTheRecord)
{
    struct Case {
        const char* name;
        JSON steps;
        RelayHTTPError error;
        bool sessionKept;
    };
    const Case cases[] {
        { "a summary of action blocks only",
            JSON::array({ replyStep("```action\n{\"type\":\"remember\",\"text\":\"x\"}\n```", true) }),
            { 502, "empty_reply", "The summary could not be made." }, true },
        { "a lost session",
            JSON::array(
                { JSON::object({ { "stderr", "No conversation found with session ID: old-session-1\n" },
                    { "exit", 1 }, { "writeClaudeFile", true } }) }),
            { 409, "no_session", "The earlier conversation is no longer on the Mac. Start a new one." },
            false },
        { "a hand-over without a session",
            JSON::array({ replyStep("A summary.", true),
                JSON::object({ { "stdout", JSON::array({ test::resultLine("OK", false, nullptr) }) } }) }),
            { 502, "claude_failed", "A new conversation could not be started from the summary." }, true },
        { "a failed hand-over",
            JSON::array({ replyStep("A summary.", true), JSON::object({ { "exit", 4 } }) }),
            { 502, "claude_failed", "Claude Code stopped without a reply (exit 4)." }, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        world.play(testCase.steps);
        world.storeSession(60, "We planned the trip to Lyon.");
        auto& runner = world.start();
        EXPECT_EQ(test::relayErrorOf([&] { runner.compact(compaction(), {}); }), testCase.error);
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        EXPECT_EQ(
            world.data->sessions.summaryAndRecent("ios-1", "bot-1").summary, "We planned the trip to Lyon.");
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"),
            testCase.sessionKept ? std::optional<std::string>("old-session-1") : std::nullopt);
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionAskedForDuringARunWaitsForTheRunsSession)
{
    test::FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("The summary."), replyStep("OK") }));
    world.storeSession(60);
    // The first start is the run: it holds until the test opens the gate, then answers in a session
    // of its own. Every later start is the stand-in.
    fs::path gate = world.folder / "gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    const std::string runSession = "run-session-1";
    wrapFakeClaude(world,
        "if mkdir '" + (world.folder / "first").string()
            + "' 2>/dev/null; then\n  cat > /dev/null\n  echo 0 > '" + (world.fakeFolder / "hanging").string()
            + "'\n  read line < '" + gate.string() + "'\n  printf '%s\\n' '"
            + test::initLine(runSession).encoded() + "' '"
            + test::resultLine("Ran.", false, runSession.c_str()).encoded() + "'\n  exit 0\nfi\n");
    auto& runner = world.start();

    auto run = std::async(std::launch::async, [&] { return world.run(test::RunnerWorld::submission()); });
    ASSERT_TRUE(world.awaitHanging());
    auto compacted = std::async(std::launch::async, [&] { return runner.compact(compaction(), {}); });
    // The run cannot end before the gate opens, so a compaction that waits for it cannot be done yet;
    // the pause only gives one that does not wait the time to go wrong.
    EXPECT_EQ(compacted.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    std::ofstream(gate) << "go\n";

    EXPECT_EQ(run.get().reply, "Ran.");
    EXPECT_EQ(compacted.get().summary, "The summary.");
    EXPECT_EQ(argumentAfter(world.calls().at(0), "--resume"), runSession);
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), test::kFakeSessionID);
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AStoppedCompactionEndsItsRunAndLeavesNoInstructionFiles)
{
    test::FakeClaudeWorld world;
    world.play(JSON::array({ test::kHangStep }));
    world.storeSession(60);
    auto& runner = world.start();
    std::stop_source stop;
    auto compacted
        = std::async(std::launch::async, [&] { return runner.compact(compaction(), stop.get_token()); });
    ASSERT_TRUE(world.awaitHanging());
    stop.request_stop();
    EXPECT_THROW(compacted.get(), CancellationError);
    EXPECT_EQ(world.calls().size(), 1u);
    EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
}

TEST(ClaudeReplyMaintenanceWithFakeClaude,
    BothRunsOfACompactionFollowTheStoredActionsSettingAndTheGivenPermissions)
{
    for (bool actions : { false, true }) {
        SCOPED_TRACE(actions ? "actions allowed" : "no actions");
        test::FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("The summary."), replyStep("OK") }));
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
        EXPECT_EQ(world.data->sessions.actions("ios-1", "bot-1"), actions);
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, NoRunFindsTheInstructionFilesACompactionRunWrote)
{
    for (bool automatic : { false, true }) {
        SCOPED_TRACE(automatic ? "automatic, before a turn" : "asked for");
        test::FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("The summary.", true), replyStep("OK", true), replyStep("Hi.") }));
        world.storeSession(60, std::nullopt, 60'000);
        fs::path found = world.folder / "found-instructions";
        wrapFakeClaude(world, "if [ -e CLAUDE.md ]; then echo found >> '" + found.string() + "'; fi\n");
        auto& runner = world.start();
        if (automatic) {
            auto job = test::RunnerWorld::submission();
            job.autoCompact = AutoCompactSetting { "auto", 50'000 };
            EXPECT_TRUE(world.run(job).compacted);
        } else {
            runner.compact(compaction(), {});
        }
        EXPECT_EQ(world.calls().size(), automatic ? 3u : 2u);
        EXPECT_FALSE(fs::exists(found));
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
    }
}
