// Clearing and compacting conversations with the python3 stand-in for `claude`: a lost session, an
// unusable summary and a hand-over without a session cannot be provoked on demand from the real CLI.
#include "FakeClaudeWorld.h"

#include "VellumarMacCore/Reply/Prompts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellumar;
namespace fs = std::filesystem;
using test::argumentAfter;
using test::argvOf;
using test::stdinOf;

namespace {

const std::string kNothingToSummarise
    = "There is nothing to summarise yet (the conversation was cleared or has not started).";
const std::string kSessionGone = "The earlier conversation is no longer on the Mac. Start a new one.";

CompactionRequest compaction(const std::string& botID = "bot-1")
{
    return { "ios-1", botID, std::nullopt, std::nullopt };
}

// A start that writes an instruction file into the work folder and then answers `text`.
JSON replyWritingClaudeFile(const std::string& text)
{
    JSON step = test::replyStep(text);
    return JSON::object({ { "stdout", *step.subscript("stdout") }, { "writeClaudeFile", true } });
}

// A start that answers in no session at all.
JSON replyWithoutSession(const std::string& text)
{
    return JSON::object({ { "stdout",
        JSON::array({ JSON::object({ { "type", "result" }, { "subtype", "success" }, { "is_error", false },
            { "result", text } }) }) } });
}

}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ClearingForgetsTheSessionGrantsAndOnRequestTheWorkFolder)
{
    struct Case {
        const char* name;
        bool storedSession;
        WorkFolder workFolder;
        ClearedConversation expected;
    };
    const std::vector<Case> cases {
        { "never used, folder kept", false, WorkFolder::keep, { false, false } },
        { "a session, folder kept", true, WorkFolder::keep, { true, false } },
        { "a session, folder cleared", true, WorkFolder::clear, { true, true } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        if (testCase.storedSession)
            world.storeSession(60, "We planned the trip to Lyon.");
        auto& runner = world.start();
        fs::path upload = world.workFolder("ios-1") / "uploads" / "photo.jpg";
        if (testCase.storedSession) {
            fs::create_directories(upload.parent_path());
            std::ofstream(upload) << "jpeg";
        }
        world.data->memory.apply("ios-1", { MemoryStore::Op::remember("Likes tea") });
        runner.grants().add("ios-1", world.home / "Documents");
        runner.grants().add("ios-2", world.home / "Documents");

        auto cleared = runner.clearConversation("ios-1", testCase.workFolder);

        EXPECT_EQ(cleared.hadSession, testCase.expected.hadSession);
        EXPECT_EQ(cleared.workspaceCleared, testCase.expected.workspaceCleared);
        if (testCase.storedSession) {
            auto stored = test::decoded(test::readFile(world.dataFolder / "sessions.json"));
            EXPECT_FALSE(stored.subscript("ios-1"));
            EXPECT_EQ(fs::exists(upload), testCase.workFolder == WorkFolder::keep);
        } else {
            // Nothing to forget: the store is not written at all.
            EXPECT_FALSE(fs::exists(world.dataFolder / "sessions.json"));
        }
        EXPECT_FALSE(world.data->sessions.entry("ios-1", "bot-1"));
        EXPECT_EQ(world.data->memory.memories("ios-1").size(), 1u);
        EXPECT_FALSE(runner.grants().covers("ios-1", world.home / "Documents" / "a.txt"));
        EXPECT_TRUE(runner.grants().covers("ios-2", world.home / "Documents" / "a.txt"));
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, CompactingWithoutAStoredSessionOfTheBotStartsNothing)
{
    struct Case {
        const char* name;
        bool clearFirst;
        std::string botID;
    };
    const std::vector<Case> cases {
        { "right after a clear", true, "bot-1" },
        { "another bot's session", false, "bot-2" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        world.play(JSON::array({ test::replyStep("A summary.") }));
        world.storeSession(60, std::nullopt);
        auto& runner = world.start();
        if (testCase.clearFirst)
            runner.clearConversation("ios-1", WorkFolder::keep);

        auto error = test::relayErrorOf([&] { runner.compact(compaction(testCase.botID), {}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->status(), 409);
        EXPECT_EQ(error->code(), "no_session");
        EXPECT_EQ(error->message(), kNothingToSummarise);
        EXPECT_FALSE(error->retryAfter());
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, CompactionResumesToSummariseAndHandsTheSummaryToANewSession)
{
    test::FakeClaudeWorld world;
    std::string summary = "## Important facts\nLyon in May.";
    std::string reply = "```action\n{\"type\":\"remember\",\"text\":\"x\"}\n```\n" + summary;
    world.play(JSON::array({ test::replyStep(reply), test::replyStep("OK") }));
    world.storeSession(60, "An older summary.");
    test::RunnerWorld::openGates(world.options, [](const JSON&, const ClaudeReplyRunner::QuestionContext&) {
        return JSON::object({ { "behavior", "deny" }, { "message", "No." } });
    });
    auto& runner = world.start();

    auto compacted = runner.compact(compaction(), {});

    EXPECT_EQ(compacted.summary, summary);
    ASSERT_TRUE(compacted.context);
    EXPECT_EQ(compacted.context->subscript("tokens")->intValue(), 1234);
    auto calls = world.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(argumentAfter(argvOf(calls[0]), "--resume"), "old-session-1");
    EXPECT_EQ(stdinOf(calls[0]), Prompts::summaryRequest());
    EXPECT_FALSE(argumentAfter(argvOf(calls[1]), "--resume"));
    EXPECT_EQ(stdinOf(calls[1]), Prompts::summaryHandover(summary));
    for (const auto& call : calls) {
        EXPECT_FALSE(argumentAfter(argvOf(call), "--autocompact"));
        EXPECT_EQ(call.subscript("gateSocket")->boolValue(), true);
        EXPECT_FALSE(fs::exists(*call.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue()));
    }
    auto entry = world.data->sessions.entry("ios-1", "bot-1");
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry->at("sessionId").stringValue(), test::kFakeSessionID);
    EXPECT_EQ(*entry->at("summary").stringValue(), summary);
    EXPECT_EQ(entry->at("contextTokens").intValue(), 1234);
    EXPECT_FALSE(entry->contains("state"));
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AFailedCompactionLeavesNoInstructionFilesAndKeepsTheRecord)
{
    const JSON lost = JSON::object({ { "stderr", "No conversation found with session ID: old-session-1\n" },
        { "exit", 1 }, { "writeClaudeFile", true } });
    struct Case {
        const char* name;
        JSON steps;
        int status;
        std::string code;
        std::string message;
        bool sessionKept;
    };
    const std::vector<Case> cases {
        { "a summary of action blocks only",
            JSON::array({ replyWritingClaudeFile("```action\n{\"type\":\"remember\",\"text\":\"x\"}\n```") }),
            502, "empty_reply", "The summary could not be made.", true },
        { "a lost session", JSON::array({ lost }), 409, "no_session", kSessionGone, false },
        { "a hand-over without a session",
            JSON::array({ replyWritingClaudeFile("A summary."), replyWithoutSession("OK") }), 502,
            "claude_failed", "A new conversation could not be started from the summary.", true },
        { "a failed hand-over",
            JSON::array({ replyWritingClaudeFile("A summary."), JSON::object({ { "exit", 4 } }) }), 502,
            "claude_failed", "Claude Code stopped without a reply (exit 4).", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        world.play(testCase.steps);
        world.storeSession(60, "We planned the trip to Lyon.");
        auto& runner = world.start();

        auto error = test::relayErrorOf([&] { runner.compact(compaction(), {}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->status(), testCase.status);
        EXPECT_EQ(error->code(), testCase.code);
        EXPECT_EQ(error->message(), testCase.message);
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        auto history = world.data->sessions.summaryAndRecent("ios-1", "bot-1");
        EXPECT_EQ(history.summary, "We planned the trip to Lyon.");
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"),
            testCase.sessionKept ? std::optional<std::string>("old-session-1") : std::nullopt);
    }
}

TEST(ClaudeReplyMaintenance, ACompactionRunStoppedAtItsTimeLimitNamesTenMinutes)
{
    ClaudeReplyRunner::RunOutcome outcome { ClaudeProcess::Outcome {
        .parser = ClaudeStreamParser([] { return std::chrono::system_clock::time_point(); }),
        .stopReason = ClaudeProcess::StopReason::timeLimit() } };
    try {
        ClaudeReplyRunner::failureMessage(outcome, false, 600);
        ADD_FAILURE() << "no failure";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.status(), 504);
        EXPECT_EQ(error.message(), "The reply took longer than its time limit (10 min).");
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AutomaticCompactionBelowAHundredThousandTokensRunsBeforeTheTurn)
{
    struct Case {
        const char* name;
        JSON steps;
        std::optional<std::string> turnResumes;
        bool compacted;
    };
    const std::vector<Case> cases {
        { "the compaction succeeds",
            JSON::array({ test::replyStep("The summary."), test::replyStep("OK"), test::replyStep("Hi.") }),
            test::kFakeSessionID, true },
        { "the compaction fails",
            JSON::array({ test::replyStep("```action\n{}\n```"), test::replyStep("Hi.") }), "old-session-1",
            false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        world.play(testCase.steps);
        world.storeSession(60, std::nullopt, 60'000);
        world.start();
        auto job = test::RunnerWorld::submission();
        job.autoCompact = AutoCompactSetting { "auto", 50'000 };

        ReplyOutput output = world.run(job);

        EXPECT_EQ(output.reply, "Hi.");
        auto events = world.events->events();
        EXPECT_NE(std::find(events.begin(), events.end(), RunnerEvent::compacting()), events.end());
        auto calls = world.calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(argumentAfter(argvOf(calls.back()), "--resume"), testCase.turnResumes);
        if (testCase.compacted) {
            ASSERT_TRUE(output.compacted);
            EXPECT_EQ(*output.compacted, JSON::object({ { "by", "relay" }, { "summary", "The summary." } }));
        } else {
            EXPECT_FALSE(output.compacted);
        }
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionAskedForDuringARunWaitsForTheRunsSession)
{
    test::FakeClaudeWorld world;
    world.play(JSON::array({ test::replyStep("The summary."), test::replyStep("OK") }));
    world.storeSession(60, std::nullopt);
    // The first start is the run: it holds until the test opens the gate, then answers in a session
    // of its own. Every later start is the stand-in.
    fs::path gate = world.folder / "gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    const std::string runSession = "run-session-1";
    JSON result = JSON::object({ { "type", "result" }, { "subtype", "success" }, { "is_error", false },
        { "result", "Ran." }, { "session_id", runSession } });
    fs::path wrapper = world.folder / "claude";
    std::ofstream(wrapper) << "#!/bin/sh\n"
                           << "if mkdir '" << (world.folder / "first").string() << "' 2>/dev/null; then\n"
                           << "  cat > /dev/null\n"
                           << "  touch '" << (world.folder / "run-started").string() << "'\n"
                           << "  read line < '" << gate.string() << "'\n"
                           << "  printf '%s\\n' '" << test::initLine(runSession).encoded() << "' '"
                           << result.encoded() << "'\n"
                           << "  exit 0\n"
                           << "fi\n"
                           << "exec '" << world.executable.string() << "' \"$@\"\n";
    fs::permissions(wrapper, fs::perms::owner_all);
    world.options.locate = [wrapper] { return std::optional(wrapper); };
    auto& runner = world.start();

    auto run = std::async(std::launch::async, [&] { return world.run(test::RunnerWorld::submission()); });
    ASSERT_TRUE(test::eventually([&] { return fs::exists(world.folder / "run-started"); }));
    auto compacted = std::async(std::launch::async, [&] { return runner.compact(compaction(), {}); });
    // The run cannot end before the gate opens, so a compaction that waits for it cannot be done yet;
    // the pause only gives one that does not wait the time to go wrong.
    EXPECT_EQ(compacted.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    std::ofstream(gate) << "go\n";

    EXPECT_EQ(run.get().reply, "Ran.");
    EXPECT_EQ(compacted.get().summary, "The summary.");
    auto calls = world.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(argumentAfter(argvOf(calls[0]), "--resume"), runSession);
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), test::kFakeSessionID);
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, CompactingWithoutClaudeCodeIsRefusedBeforeAnythingRuns)
{
    test::FakeClaudeWorld world;
    world.storeSession(60, std::nullopt);
    world.options.locate = [] { return std::optional<fs::path>(); };
    auto& runner = world.start();
    auto error = test::relayErrorOf([&] { runner.compact(compaction(), {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 503);
    EXPECT_EQ(error->code(), "claude_unavailable");
    EXPECT_EQ(error->message(), "Claude Code is not installed on the Mac.");
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, AStoppedCompactionEndsItsRunAndLeavesNoInstructionFiles)
{
    test::FakeClaudeWorld world;
    world.play(JSON::array({ JSON::object({ { "hang", true }, { "writeClaudeFile", true } }) }));
    world.storeSession(60, std::nullopt);
    auto& runner = world.start();
    std::stop_source stop;
    auto compacted
        = std::async(std::launch::async, [&] { return runner.compact(compaction(), stop.get_token()); });
    ASSERT_TRUE(test::eventually([&] { return world.started(0); }));
    stop.request_stop();
    EXPECT_THROW(compacted.get(), CancellationError);
    EXPECT_EQ(world.calls().size(), 1u);
    EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, TheStoredActionsSettingDecidesTheActionsBlockOfBothRuns)
{
    for (bool actions : { false, true }) {
        SCOPED_TRACE(actions ? "actions allowed" : "no actions");
        test::FakeClaudeWorld world;
        world.play(JSON::array({ test::replyStep("The summary."), test::replyStep("OK") }));
        world.storeSession(60, std::nullopt);
        auto& runner = world.start();
        world.data->sessions.recordReply("ios-1", "bot-1", "old-session-1", { .actions = actions });

        runner.compact(compaction(), {});

        for (const auto& call : world.calls()) {
            auto prompt = argumentAfter(argvOf(call), "--append-system-prompt");
            ASSERT_TRUE(prompt);
            EXPECT_EQ(prompt->find("[Actions]") != std::string::npos, actions);
        }
        EXPECT_EQ(world.data->sessions.actions("ios-1", "bot-1"), actions);
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, NoRunFindsTheInstructionFilesACompactionRunWrote)
{
    for (bool automatic : { false, true }) {
        SCOPED_TRACE(automatic ? "automatic, before a turn" : "asked for");
        test::FakeClaudeWorld world;
        world.play(JSON::array({ replyWritingClaudeFile("The summary."), replyWritingClaudeFile("OK"),
            test::replyStep("Hi.") }));
        world.storeSession(60, std::nullopt, 60'000);
        fs::path found = world.folder / "found-instructions";
        fs::path wrapper = world.folder / "claude";
        std::ofstream(wrapper) << "#!/bin/sh\n"
                               << "if [ -e CLAUDE.md ]; then echo found >> '" << found.string() << "'; fi\n"
                               << "exec '" << world.executable.string() << "' \"$@\"\n";
        fs::permissions(wrapper, fs::perms::owner_all);
        world.options.locate = [wrapper] { return std::optional(wrapper); };
        auto& runner = world.start();

        if (automatic) {
            auto job = test::RunnerWorld::submission();
            job.autoCompact = AutoCompactSetting { "auto", 50'000 };
            EXPECT_TRUE(world.run(job).compacted);
            EXPECT_EQ(world.calls().size(), 3u);
        } else {
            runner.compact(compaction(), {});
            EXPECT_EQ(world.calls().size(), 2u);
        }
        EXPECT_FALSE(fs::exists(found));
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
    }
}

TEST(ClaudeReplyMaintenanceWithFakeClaude, ACompactionRunsWithTheGivenPermissionsOrTheDefaultOnes)
{
    struct Case {
        const char* name;
        std::optional<PermissionSettings> permissions;
        bool web;
        bool commands;
    };
    PermissionSettings commandsNoWeb;
    commandsNoWeb.web = false;
    commandsNoWeb.bash = true;
    const std::vector<Case> cases {
        { "no permissions: web on, commands off", std::nullopt, true, false },
        { "commands on, web off", commandsNoWeb, false, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::FakeClaudeWorld world;
        world.play(JSON::array({ test::replyStep("The summary."), test::replyStep("OK") }));
        world.storeSession(60, std::nullopt);
        auto& runner = world.start();
        auto request = compaction();
        request.permissions = testCase.permissions;

        runner.compact(request, {});

        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 2u);
        for (const auto& call : calls) {
            auto tools = argumentAfter(argvOf(call), "--tools").value_or("");
            EXPECT_EQ(tools.find("WebFetch") != std::string::npos, testCase.web) << tools;
            EXPECT_EQ(tools.find("Bash") != std::string::npos, testCase.commands) << tools;
        }
    }
}
