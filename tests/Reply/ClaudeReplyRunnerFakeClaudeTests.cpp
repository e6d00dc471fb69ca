// The reply runner against a python3 stand-in for `claude` (tests/Reply/peers/fake_claude.py) that
// records its arguments, environment, input and surroundings and ends as each test scripts it: the
// failures Claude Code reports cannot be provoked on demand from the real CLI.
#include "tests/support/JobsTestSupport.h"
#include "FakeClaudeWorld.h"
#include "ReplyRunnerFixture.h"

#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Reply/Prompts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <future>
#include <stop_token>
#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using test::argumentAfter;
using test::argvOf;
using test::assistantLine;
using test::FakeClaudeWorld;
using test::initLine;
using test::replyStep;
using test::resultLine;
using test::stdinOf;

constexpr const char* kSessionID = test::kFakeSessionID;

std::string temporaryFolderOf(const JSON& call)
{
    return *call.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue();
}

}

TEST(ClaudeReplyRunnerWithFakeClaude,
    ArgumentsStartWithTheLeadNameThePrivateSettingsFileAndResumeOnTheSecondRun)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("First answer."), replyStep("Second answer.") }));
    world.start();
    auto job = test::RunnerWorld::submission("ios:team:1", "What is new?");

    ReplyOutput first = world.run(job);
    EXPECT_EQ(first.reply, "First answer.");
    ASSERT_TRUE(first.context);
    EXPECT_EQ(first.context->subscript("tokens")->intValue(), 1234);

    ReplyOutput second = world.run(job);
    EXPECT_EQ(second.reply, "Second answer.");

    auto calls = world.calls();
    ASSERT_EQ(calls.size(), 2u);
    auto argv = argvOf(calls[0]);
    const auto& lead = ClaudeInvocation::leadArguments();
    ASSERT_GE(argv.size(), lead.size());
    EXPECT_TRUE(std::equal(lead.begin(), lead.end(), argv.begin()));
    fs::path settings = world.dataFolder / "claude-settings" / "ios_team_1.json";
    EXPECT_EQ(argumentAfter(argv, "--settings"), settings.string());
    struct stat info { };
    ASSERT_EQ(::stat(settings.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(test::decoded(test::readFile(settings)).objectValue());
    EXPECT_TRUE(argumentAfter(argv, "--append-system-prompt"));
    EXPECT_FALSE(argumentAfter(argv, "--resume"));
    EXPECT_EQ(
        *calls[0].subscript("cwd")->stringValue(), fs::canonical(world.workFolder("ios:team:1")).string());
    EXPECT_TRUE(stdinOf(calls[0]).ends_with("What is new?"));

    auto resumed = argvOf(calls[1]);
    ASSERT_GE(resumed.size(), 2u);
    EXPECT_EQ(resumed[resumed.size() - 2], "--resume");
    EXPECT_EQ(resumed.back(), kSessionID);
    // The second turn was recorded against the same session.
    EXPECT_EQ(world.data->sessions.sessionID("ios:team:1", "bot-1"), kSessionID);
}

TEST(ClaudeReplyRunnerWithFakeClaude, EnvironmentKeepsOnlyTheAllowedNamesAndAddsItsOwn)
{
    struct Case {
        const char* name;
        ClaudeReplyRunner::Environment base;
        std::string expectedLang;
    };
    const std::vector<Case> cases {
        { "no LANG of its own", {}, "en_US.UTF-8" },
        { "its own LANG", { { "LANG", "de_CH.UTF-8" } }, "de_CH.UTF-8" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Done.") }));
        world.options.baseEnvironment = { { "HOME", world.home.string() }, { "USER", "ada" },
            { "https_proxy", "http://proxy.local:3128" }, { "ANTHROPIC_API_KEY", "sk-secret" },
            { "ANTHROPIC_BASE_URL", "http://elsewhere" }, { "LD_PRELOAD", "/tmp/evil.so" },
            { "PATH", "/evil" }, { "CLAUDECODE", "1" }, { "EDITOR", "vi" }, { "HTTPS_PROXY_EXTRA", "x" } };
        world.options.baseEnvironment.insert(testCase.base.begin(), testCase.base.end());
        world.start();
        world.run(test::RunnerWorld::submission());

        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 1u);
        std::map<std::string, std::string> environment;
        for (const auto& [name, value] : *calls[0].subscript("env")->objectValue())
            environment.emplace(name, *value.stringValue());
        std::string temporaryFolder = temporaryFolderOf(calls[0]);
        EXPECT_TRUE(temporaryFolder.starts_with("/tmp/vl-")) << temporaryFolder;
        EXPECT_EQ(temporaryFolder.size(), std::string("/tmp/vl-XXXXXXXX").size());
        std::map<std::string, std::string> expected { { "HOME", world.home.string() }, { "USER", "ada" },
            { "https_proxy", "http://proxy.local:3128" }, { "PATH", "/usr/local/bin:/usr/bin:/bin" },
            { "LANG", testCase.expectedLang }, { "CLAUDE_CODE_TMPDIR", temporaryFolder } };
        EXPECT_EQ(environment, expected);
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, TemporaryFolderGateAndClaudeFilesNeverOutliveTheRun)
{
    struct Case {
        const char* name;
        JSON step;
        bool cancel;
        std::string expectedFailure; // empty for a reply, "stopped" for a cancellation
    };
    const std::vector<Case> cases {
        { "success",
            JSON::object({ { "stdout", JSON::array({ initLine(), resultLine("Done.") }) },
                { "writeClaudeFile", true } }),
            false, "" },
        { "failure", JSON::object({ { "stderr", "boom" }, { "exit", 3 }, { "writeClaudeFile", true } }),
            false, "Claude Code stopped without a reply (exit 3)." },
        { "cancellation", JSON::object({ { "hang", true }, { "writeClaudeFile", true } }), true, "stopped" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ testCase.step }));
        test::RunnerWorld::openGates(
            world.options, [](const JSON&, const ClaudeReplyRunner::QuestionContext&) {
                return JSON::object({ { "behavior", "deny" }, { "message", "No." } });
            });
        world.start();

        std::stop_source stop;
        auto outcome = std::async(
            std::launch::async, [&] { return world.run(test::RunnerWorld::submission(), stop.get_token()); });
        if (testCase.cancel) {
            ASSERT_TRUE(test::eventually([&] { return world.started(0); }));
            stop.request_stop();
        }
        std::string failure;
        try {
            outcome.get();
        } catch (const RelayHTTPError& error) {
            failure = error.message();
        } catch (const CancellationError&) {
            failure = "stopped";
        }
        EXPECT_EQ(failure, testCase.expectedFailure);

        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 1u);
        // During the run: a private temporary folder and a listening gate.
        EXPECT_EQ(*calls[0].subscript("temporaryFolder")->subscript("mode")->stringValue(), "700");
        EXPECT_EQ(calls[0].subscript("gateSocket")->boolValue(), true);
        // After it: neither, and no instruction file left in the work folder.
        EXPECT_FALSE(fs::exists(temporaryFolderOf(calls[0])));
        auto argv = argvOf(calls[0]);
        auto config = test::decoded(*argumentAfter(argv, "--mcp-config"));
        const auto& socketArguments
            = *config.subscript("mcpServers")->subscript("vellumar")->subscript("args");
        fs::path socket = *socketArguments.arrayValue()->back().stringValue();
        EXPECT_FALSE(fs::exists(socket));
        EXPECT_FALSE(fs::exists(socket.parent_path()));
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, WithoutAPermissionHelperNoGateIsOpened)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("Done.") }));
    world.start();
    world.run(test::RunnerWorld::submission());
    auto argv = argvOf(world.calls().at(0));
    EXPECT_FALSE(argumentAfter(argv, "--mcp-config"));
    EXPECT_EQ(argumentAfter(argv, "--permission-prompts"), "none");
}

TEST(ClaudeReplyRunnerWithFakeClaude, AnIdleSessionWithASummaryIsHandedOverInsteadOfResumed)
{
    struct Case {
        const char* name;
        std::int64_t ageSeconds;
        std::optional<std::string> summary;
        bool resumed;
    };
    const std::vector<Case> cases {
        { "idle 3601 s with a summary", 3601, "We planned the trip to Lyon.", false },
        { "idle a day with a summary", 86400, "We planned the trip to Lyon.", false },
        { "idle a day with nothing to hand over", 86400, std::nullopt, true },
        { "used a minute ago", 60, "We planned the trip to Lyon.", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Noted.") }));
        world.storeSession(testCase.ageSeconds, testCase.summary);
        world.start();
        world.run(test::RunnerWorld::submission("ios-1", "And the hotel?"));

        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 1u);
        auto argv = argvOf(calls[0]);
        std::string input = stdinOf(calls[0]);
        if (testCase.resumed) {
            EXPECT_EQ(argumentAfter(argv, "--resume"), "old-session-1");
            continue;
        }
        EXPECT_FALSE(argumentAfter(argv, "--resume"));
        auto handover = Prompts::conversationSoFar(testCase.summary, {});
        ASSERT_TRUE(handover);
        // A new session reads the full settings first, then the hand-over, then the message.
        EXPECT_TRUE(input.starts_with("[Current settings]")) << input;
        auto handoverAt = input.find(*handover);
        ASSERT_NE(handoverAt, std::string::npos) << input;
        EXPECT_LT(handoverAt, input.find("And the hotel?"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, FailuresReachTheJobWithTheirExactMessages)
{
    struct Case {
        const char* name;
        JSON steps;
        int status;
        std::string code;
        std::string message;
    };
    const std::vector<Case> cases {
        { "no result and exit 3", JSON::array({ JSON::object({ { "exit", 3 } }) }), 502, "claude_failed",
            "Claude Code stopped without a reply (exit 3)." },
        { "an error result",
            JSON::array(
                { JSON::object({ { "stdout",
                                     JSON::array({ initLine(),
                                         resultLine("\n\nThe API is overloaded.\nRetry later.", true) }) },
                    { "exit", 1 } }) }),
            502, "claude_failed", "Claude Code reported an error: The API is overloaded." },
        { "an error result without text",
            JSON::array(
                { JSON::object({ { "stdout", JSON::array({ resultLine(" \n", true) }) }, { "exit", 1 } }) }),
            502, "claude_failed", "Claude Code reported an error." },
        { "not logged in",
            JSON::array({ JSON::object(
                { { "stdout", JSON::array({ resultLine("Not logged in · Please run /login", true) }) },
                    { "exit", 1 } }) }),
            502, "claude_failed",
            "Claude Code is not logged in on the Mac. Run claude in Terminal and log in." },
        { "too old",
            JSON::array(
                { JSON::object({ { "stderr", "error: unknown option '--restricted'\n" }, { "exit", 1 } }) }),
            502, "claude_failed", "Claude Code on the Mac is too old. Run claude update in Terminal." },
        { "an empty reply",
            JSON::array({ JSON::object({ { "stdout", JSON::array({ resultLine("  \n ") }) } }) }), 502,
            "empty_reply", "Claude Code returned an empty reply." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(testCase.steps);
        world.start();
        auto error = test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->status(), testCase.status);
        EXPECT_EQ(error->code(), testCase.code);
        EXPECT_EQ(error->message(), testCase.message);
        EXPECT_FALSE(error->retryAfter());
        // A failed turn records nothing.
        EXPECT_FALSE(world.data->sessions.entry("ios-1", "bot-1"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, ALostSessionIsRetriedExactlyOnceInANewSession)
{
    const JSON lost = JSON::object(
        { { "stderr", "No Conversation Found with session ID: old-session-1\n" }, { "exit", 1 } });
    {
        SCOPED_TRACE("the retry answers");
        FakeClaudeWorld world;
        world.play(JSON::array({ lost, replyStep("Fresh start.") }));
        world.storeSession(60, "We planned the trip to Lyon.");
        world.start();
        EXPECT_EQ(world.run(test::RunnerWorld::submission()).reply, "Fresh start.");
        auto calls = world.calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(argumentAfter(argvOf(calls[0]), "--resume"), "old-session-1");
        EXPECT_FALSE(argumentAfter(argvOf(calls[1]), "--resume"));
        EXPECT_NE(stdinOf(calls[1]).find("We planned the trip to Lyon."), std::string::npos);
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), kSessionID);
    }
    {
        SCOPED_TRACE("the retry is lost too");
        FakeClaudeWorld world;
        world.play(JSON::array({ lost }));
        world.storeSession(60, std::nullopt);
        world.start();
        auto error = test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), "Claude Code stopped without a reply (exit 1).");
        EXPECT_EQ(world.calls().size(), 2u);
        // The lost session was ended before the retry.
        EXPECT_FALSE(world.data->sessions.sessionID("ios-1", "bot-1"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, ARetryWithFiveSecondsOrLessLeftFailsAsTimedOut)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ JSON::object({ { "stderr", "no conversation found" }, { "exit", 1 } }) }));
    world.storeSession(60, std::nullopt);
    // The first run is seen to take all but five seconds of the job's limit.
    auto begun = std::chrono::steady_clock::now();
    int reads = 0;
    world.options.now = [&] { return begun + std::chrono::seconds(reads++ == 0 ? 0 : 595); };
    world.start();
    auto error = test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 504);
    EXPECT_EQ(error->code(), "timeout");
    EXPECT_EQ(error->message(), "The reply took longer than its time limit.");
    EXPECT_EQ(world.calls().size(), 1u);
}

TEST(ClaudeReplyRunnerWithFakeClaude, ATimeLimitIsNamedInWholeMinutes)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ JSON::object({ { "hang", true } }) }));
    world.start();
    auto job = test::RunnerWorld::submission();
    job.timeLimit = 1.5;
    auto error = test::relayErrorOf([&] { world.run(job); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 504);
    EXPECT_EQ(error->message(), "The reply took longer than its time limit (0 min).");
}

TEST(ClaudeReplyRunnerWithFakeClaude, RefusesBeforeStartingClaudeWhenItOrAnAttachmentIsMissing)
{
    {
        SCOPED_TRACE("no claude");
        FakeClaudeWorld world;
        world.options.locate = [] { return std::optional<fs::path>(); };
        world.start();
        auto error = test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); });
        ASSERT_TRUE(error);
        EXPECT_EQ(
            *error, RelayHTTPError(503, "claude_unavailable", "Claude Code is not installed on the Mac."));
    }
    {
        SCOPED_TRACE("an attachment that is not there");
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Done.") }));
        world.start();
        auto job = test::RunnerWorld::submission();
        job.attachments = { "uploads/gone.jpg" };
        auto error = test::relayErrorOf([&] { world.run(job); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error,
            RelayHTTPError(400, "bad_request", "An attachment was not found on the Mac. Send it again."));
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, AStoppedJobWaitingForTheConversationGivesWayToTheNext)
{
    FakeClaudeWorld world;
    // The first run hangs until it is stopped; the third plays the reply.
    world.play(JSON::array({ JSON::object({ { "hang", true } }), replyStep("Third.") }));
    world.start();

    std::stop_source firstStop;
    std::stop_source secondStop;
    auto first = std::async(std::launch::async,
        [&] { return world.run(test::RunnerWorld::submission(), firstStop.get_token()); });
    ASSERT_TRUE(test::eventually([&] { return world.started(0); }));
    secondStop.request_stop();
    auto second = std::async(std::launch::async,
        [&] { return world.run(test::RunnerWorld::submission(), secondStop.get_token()); });
    auto third = std::async(std::launch::async, [&] { return world.run(test::RunnerWorld::submission()); });
    firstStop.request_stop();
    EXPECT_THROW(first.get(), CancellationError);
    EXPECT_THROW(second.get(), CancellationError);
    EXPECT_EQ(third.get().reply, "Third.");
    // The stopped second job never started Claude Code.
    EXPECT_EQ(world.calls().size(), 2u);
}

TEST(ClaudeReplyRunnerWithFakeClaude, ARoutineRunNeverResumesAndRecordsNothing)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("Daily digest.") }));
    world.storeSession(60, "We planned the trip to Lyon.");
    world.start();
    auto job = test::RunnerWorld::submission();
    job.routineID = "r-morning";
    EXPECT_EQ(world.run(job).reply, "Daily digest.");
    auto calls = world.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(argumentAfter(argvOf(calls[0]), "--resume"));
    EXPECT_EQ(stdinOf(calls[0]).find("We planned the trip to Lyon."), std::string::npos);
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
}

TEST(ClaudeReplyRunnerWithFakeClaude, AResumedRunWithNoticesThatEndsInAnErrorIsRetriedOnce)
{
    const std::string stoppedNote = "[Stopped reply] Your previous reply was stopped.";
    const JSON failed = JSON::object(
        { { "stdout", JSON::array({ initLine(), resultLine("Tool use was interrupted.", true) }) },
            { "exit", 1 } });
    struct Case {
        const char* name;
        std::optional<std::string> note;
        std::size_t expectedCalls;
        std::string expected;
    };
    const std::vector<Case> cases {
        { "with a notice", stoppedNote, 2, "Fresh start." },
        { "without notices", std::nullopt, 1, "Claude Code reported an error: Tool use was interrupted." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ failed, replyStep("Fresh start.") }));
        world.storeSession(60, "We planned the trip to Lyon.");
        world.start();
        std::string outcome;
        try {
            outcome = world.run(test::RunnerWorld::submission(), {}, testCase.note).reply;
        } catch (const RelayHTTPError& error) {
            outcome = error.message();
        }
        EXPECT_EQ(outcome, testCase.expected);
        auto calls = world.calls();
        ASSERT_EQ(calls.size(), testCase.expectedCalls);
        if (testCase.note) {
            // The notice comes before the message on both runs.
            for (const auto& call : calls) {
                auto input = stdinOf(call);
                ASSERT_NE(input.find(stoppedNote), std::string::npos);
                EXPECT_LT(input.find(stoppedNote), input.find("Hello"));
            }
            EXPECT_FALSE(argumentAfter(argvOf(calls[1]), "--resume"));
        }
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, ApprovalsOpenOnlyTheKindsTheBotLetsTheUserApprove)
{
    struct Case {
        const char* name;
        std::vector<std::string> approve;
        bool noticed;
    };
    const std::vector<Case> cases {
        { "a kind the bot lets the user approve", { "write" }, true },
        { "a kind it does not", {}, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Done.") }));
        world.start();
        fs::path notes = fs::canonical(world.folder.path()) / "notes";
        fs::create_directories(notes);
        auto cards = world.data->approvals.add("ios-1", { { "write", (notes / "plan.md").string() } });
        ASSERT_EQ(cards.size(), 1u);
        auto job = test::RunnerWorld::submission();
        job.approvals = { *cards[0].subscript("approvalId")->stringValue() };
        PermissionSettings settings;
        settings.folders = { PermissionSettings::Folder { notes.string(), true } };
        settings.approve = testCase.approve;
        job.permissions = settings;
        world.run(job);

        std::string input = stdinOf(world.calls().at(0));
        EXPECT_EQ(input.find(RelayData::defaultLabels().at("write")) != std::string::npos, testCase.noticed)
            << input;
        // Consumed either way.
        EXPECT_EQ(world.data->approvals.take("ios-1", job.approvals).expiredCount, 1);
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, AutomaticCompactionIsLeftToClaudeCodeFromAHundredThousandTokens)
{
    struct Case {
        const char* name;
        AutoCompactSetting setting;
        bool storedSession;
        std::optional<std::string> expectedOption;
        bool compactingSent;
    };
    const std::vector<Case> cases {
        { "auto at 100000 on a resumed session", { "auto", 100'000 }, true, "100000", false },
        { "auto at 1000000", { "auto", 1'000'000 }, true, "1000000", false },
        { "auto at 50000 with 60000 stored tokens", { "auto", 50'000 }, true, std::nullopt, true },
        { "auto on a new session", { "auto", 100'000 }, false, std::nullopt, false },
        { "suggest", { "suggest", 100'000 }, true, std::nullopt, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Done.") }));
        if (testCase.storedSession)
            world.storeSession(60, std::nullopt, 60'000);
        world.start();
        auto job = test::RunnerWorld::submission();
        job.autoCompact = testCase.setting;
        world.run(job);
        EXPECT_EQ(argumentAfter(argvOf(world.calls().at(0)), "--autocompact"), testCase.expectedOption);
        auto events = world.events->events();
        bool compacting = std::find(events.begin(), events.end(), RunnerEvent::compacting()) != events.end();
        EXPECT_EQ(compacting, testCase.compactingSent);
    }
}
