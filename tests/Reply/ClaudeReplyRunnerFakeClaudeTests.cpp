// The reply runner against a python3 stand-in for `claude` (tests/Reply/peers/fake_claude.py) that
// records its arguments, environment, input and surroundings and ends as each test scripts it: the
// failures Claude Code reports cannot be provoked on demand from the real CLI.
#include "tests/Reply/FakeClaudeWorld.h"

#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <stop_token>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using test::argumentAfter;
using test::FakeClaudeWorld;
using test::kFakeSessionID;
using test::replyStep;
using test::stdinOf;

JSON denyAll(const JSON&, const ClaudeReplyRunner::QuestionContext&)
{
    return JSON::object({ { "behavior", "deny" }, { "message", "No." } });
}

// The gate's socket, as the run named it to Claude Code.
fs::path gateSocket(const JSON& call)
{
    auto config = test::decoded(*argumentAfter(call, "--mcp-config"));
    return *config.subscript("mcpServers")
                ->subscript("vellumar")
                ->subscript("args")
                ->arrayValue()
                ->back()
                .stringValue();
}

std::string temporaryFolderOf(const JSON& call)
{
    return *call.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue();
}

}

TEST(
    ClaudeReplyRunnerWithFakeClaude, ATurnGetsItsArgumentsPrivateFilesAndFilteredEnvironmentAndTheNextResumes)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("First answer.", true), replyStep("Second answer.") }));
    world.options.baseEnvironment = { { "HOME", world.home.string() }, { "USER", "ada" },
        { "https_proxy", "http://proxy.local:3128" }, { "ANTHROPIC_API_KEY", "sk-secret" },
        { "ANTHROPIC_BASE_URL", "http://elsewhere" }, { "LD_PRELOAD", "/tmp/evil.so" }, { "PATH", "/evil" },
        { "CLAUDECODE", "1" }, { "EDITOR", "vi" }, { "HTTPS_PROXY_EXTRA", "x" } };
    world.openGates(denyAll);
    world.start();
    auto job = test::RunnerWorld::submission("What is new?", "ios:team:1");

    ReplyOutput first = world.run(job);
    EXPECT_EQ(first.reply, "First answer.");
    ASSERT_TRUE(first.context);
    EXPECT_EQ(first.context->subscript("tokens")->intValue(), 1234);
    auto call = world.calls().at(0);
    auto argv = test::argvOf(call);
    const auto& lead = ClaudeInvocation::leadArguments();
    ASSERT_GE(argv.size(), lead.size());
    EXPECT_TRUE(std::equal(lead.begin(), lead.end(), argv.begin()));
    fs::path settings = world.dataFolder / "claude-settings" / "ios_team_1.json";
    EXPECT_EQ(argumentAfter(call, "--settings"), settings.string());
    struct stat info { };
    ASSERT_EQ(::stat(settings.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(test::decoded(test::readFile(settings)).objectValue());
    EXPECT_TRUE(argumentAfter(call, "--append-system-prompt"));
    EXPECT_FALSE(argumentAfter(call, "--resume"));
    EXPECT_EQ(*call.subscript("cwd")->stringValue(), fs::canonical(world.workFolder("ios:team:1")).string());
    EXPECT_TRUE(stdinOf(call).ends_with("What is new?"));

    std::map<std::string, std::string> environment;
    for (const auto& [name, value] : *call.subscript("env")->objectValue())
        environment.emplace(name, *value.stringValue());
    std::string temporaryFolder = temporaryFolderOf(call);
    EXPECT_TRUE(temporaryFolder.starts_with("/tmp/vl-") && temporaryFolder.size() == 16) << temporaryFolder;
    EXPECT_EQ(environment,
        (std::map<std::string, std::string> { { "HOME", world.home.string() }, { "USER", "ada" },
            { "https_proxy", "http://proxy.local:3128" }, { "PATH", "/usr/local/bin:/usr/bin:/bin" },
            { "LANG", "en_US.UTF-8" }, { "CLAUDE_CODE_TMPDIR", temporaryFolder } }));
    EXPECT_EQ(ClaudeReplyRunner::childEnvironment({ { "LANG", "de_CH.UTF-8" } }, "", "/tmp/vl-1").at("LANG"),
        "de_CH.UTF-8");

    // During the run: a private temporary folder and a listening gate; after it neither, and no
    // instruction file left in the work folder.
    EXPECT_EQ(*call.subscript("temporaryFolder")->subscript("mode")->stringValue(), "700");
    EXPECT_EQ(call.subscript("gateSocket")->boolValue(), true);
    EXPECT_FALSE(fs::exists(temporaryFolder));
    EXPECT_FALSE(fs::exists(gateSocket(call).parent_path()));
    EXPECT_FALSE(fs::exists(world.workFolder("ios:team:1") / "CLAUDE.md"));

    EXPECT_EQ(world.run(job).reply, "Second answer.");
    EXPECT_EQ(test::argvOf(world.calls().at(1)).back(), kFakeSessionID);
    EXPECT_EQ(argumentAfter(world.calls().at(1), "--resume"), kFakeSessionID);
    EXPECT_EQ(world.data->sessions.sessionID("ios:team:1", "bot-1"), kFakeSessionID);
}

TEST(ClaudeReplyRunnerWithFakeClaude, FailedAndStoppedRunsLeaveNothingBehindAndRecordNothing)
{
    for (bool stopped : { false, true }) {
        SCOPED_TRACE(stopped ? "stopped" : "failed");
        FakeClaudeWorld world;
        world.play(
            JSON::array({ stopped ? test::kHangStep
                                  : JSON::object({ { "stderr", "error: unknown option '--restricted'\n" },
                                      { "exit", 3 }, { "writeClaudeFile", true } }) }));
        if (stopped)
            world.openGates(denyAll);
        world.start();
        std::stop_source stop;
        auto outcome = std::async(std::launch::async, [&] {
            return test::relayErrorOf([&] { world.run(test::RunnerWorld::submission(), stop.get_token()); });
        });
        if (stopped) {
            ASSERT_TRUE(world.awaitHanging());
            stop.request_stop();
        }
        EXPECT_EQ(outcome.get().message(),
            stopped ? "" : "Claude Code on the Mac is too old. Run claude update in Terminal.");

        auto call = world.calls().at(0);
        EXPECT_FALSE(fs::exists(temporaryFolderOf(call)));
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        EXPECT_FALSE(world.data->sessions.entry("ios-1", "bot-1"));
        if (stopped)
            EXPECT_FALSE(fs::exists(gateSocket(call).parent_path()));
        else
            EXPECT_EQ(argumentAfter(call, "--permission-prompts"), "none");
    }
}

// The job's question handler waits for the user and for the run that asked, nothing else: once the
// process has gone, as at a time limit, closing the gate must not wait for the user.
TEST(ClaudeReplyRunnerWithFakeClaude, AQuestionStillOpenWhenTheProcessEndsEndsWithIt)
{
    FakeClaudeWorld world;
    fs::path project = world.home / "project";
    fs::create_directories(project / ".git");
    world.play(JSON::array({ JSON::object({ { "hang", true },
        { "ask",
            JSON::object({ { "tool_name", "Write" }, { "tool_use_id", "toolu_1" },
                { "input",
                    JSON::object({ { "file_path", (project / ".git/notes").string() },
                        { "content", "x" } }) } }) } }) }));
    world.openGates(decidePermission);
    world.start();
    std::promise<void> asked;
    bool endedWithTheRun = false;
    auto control = std::make_shared<JobControl>(
        "j-1", std::nullopt, JobControl::EventHandler {}, [&](const JSON&, std::stop_token runEnded) {
            asked.set_value();
            std::mutex lock;
            std::condition_variable ended;
            std::stop_callback wake(runEnded, [&] {
                std::lock_guard guard(lock);
                ended.notify_all();
            });
            std::unique_lock guard(lock);
            // Bounded, so that a question the run's end does not reach fails the test instead of hanging it.
            endedWithTheRun
                = ended.wait_for(guard, std::chrono::seconds(60), [&] { return runEnded.stop_requested(); });
            return std::string("canceled");
        });
    auto job = test::RunnerWorld::submission();
    job.permissions = PermissionSettings {};
    job.permissions->folders = { PermissionSettings::Folder { project.string(), true } };
    std::stop_source stop;
    auto run = std::async(std::launch::async,
        [&] { return test::relayErrorOf([&] { world.runner->run(job, control, stop.get_token()); }); });
    ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    stop.request_stop();
    EXPECT_EQ(run.get().code(), "stopped");
    EXPECT_TRUE(endedWithTheRun);
}

// A routine's run stands alone; a chat's run hands an idle session over.
TEST(ClaudeReplyRunnerWithFakeClaude, ARoutineRunNeverResumesAndAnIdleSessionWithASummaryIsHandedOver)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("Noted.") }));
    world.storeSession(86400, "We planned the trip to Lyon.");
    world.start();
    auto routine = test::RunnerWorld::submission();
    routine.routineID = "r-morning";
    world.run(routine);
    world.run(test::RunnerWorld::submission("And the hotel?"));
    auto calls = world.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(argumentAfter(calls[0], "--resume"));
    EXPECT_EQ(stdinOf(calls[0]).find("We planned the trip to Lyon."), std::string::npos);
    EXPECT_FALSE(argumentAfter(calls[1], "--resume"));
    // A new session reads the full settings first, then the hand-over, then the message.
    std::string input = stdinOf(calls[1]);
    auto handover = Prompts::conversationSoFar("We planned the trip to Lyon.", {});
    EXPECT_TRUE(input.starts_with("[Current settings]")) << input;
    ASSERT_NE(input.find(*handover), std::string::npos) << input;
    EXPECT_LT(input.find(*handover), input.find("And the hotel?"));
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
        EXPECT_EQ(argumentAfter(calls[0], "--resume"), "old-session-1");
        EXPECT_FALSE(argumentAfter(calls[1], "--resume"));
        EXPECT_NE(stdinOf(calls[1]).find("We planned the trip to Lyon."), std::string::npos);
        EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), kFakeSessionID);
    }
    {
        SCOPED_TRACE("the retry is lost too");
        FakeClaudeWorld world;
        world.play(JSON::array({ lost }));
        world.storeSession(60);
        world.start();
        EXPECT_EQ(test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); }).message(),
            "Claude Code stopped without a reply (exit 1).");
        EXPECT_EQ(world.calls().size(), 2u);
        // The lost session was ended before the retry.
        EXPECT_FALSE(world.data->sessions.sessionID("ios-1", "bot-1"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, ARetryWithFiveSecondsOrLessLeftFailsAsTimedOut)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ JSON::object({ { "stderr", "no conversation found" }, { "exit", 1 } }) }));
    world.storeSession(60);
    // The first run is seen to take all but five seconds of the job's limit.
    auto begun = std::chrono::steady_clock::now();
    int reads = 0;
    world.options.now = [&] { return begun + std::chrono::seconds(reads++ == 0 ? 0 : 595); };
    world.start();
    EXPECT_EQ(test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); }),
        RelayHTTPError(504, "timeout", "The reply took longer than its time limit."));
    EXPECT_EQ(world.calls().size(), 1u);
}

TEST(ClaudeReplyRunnerWithFakeClaude, ATimeLimitStopsTheRunAndIsNamedInWholeMinutes)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ JSON::object({ { "hang", true } }) }));
    world.start();
    auto job = test::RunnerWorld::submission();
    job.timeLimit = 1.5;
    EXPECT_EQ(test::relayErrorOf([&] { world.run(job); }),
        RelayHTTPError(504, "timeout", "The reply took longer than its time limit (0 min)."));
}

TEST(ClaudeReplyRunnerWithFakeClaude, RefusesBeforeStartingClaudeWhenItOrAnAttachmentIsMissing)
{
    FakeClaudeWorld world;
    world.play(JSON::array({ replyStep("Done.") }));
    world.start();
    auto job = test::RunnerWorld::submission();
    job.attachments = { "uploads/gone.jpg" };
    EXPECT_EQ(test::relayErrorOf([&] { world.run(job); }),
        RelayHTTPError(400, "bad_request", "An attachment was not found on the Mac. Send it again."));
    world.options.locate = [] { return std::optional<fs::path>(); };
    world.start();
    EXPECT_EQ(test::relayErrorOf([&] { world.run(test::RunnerWorld::submission()); }),
        RelayHTTPError(503, "claude_unavailable", "Claude Code is not installed on the Mac."));
    EXPECT_TRUE(world.calls().empty());
}

TEST(ClaudeReplyRunnerWithFakeClaude, AStoppedJobWaitingForTheConversationGivesWayToTheNext)
{
    FakeClaudeWorld world;
    // The first run hangs until it is stopped; the third plays the reply.
    world.play(JSON::array({ test::kHangStep, replyStep("Third.") }));
    world.start();
    std::stop_source firstStop;
    std::stop_source secondStop;
    auto first = std::async(std::launch::async,
        [&] { return world.run(test::RunnerWorld::submission(), firstStop.get_token()); });
    ASSERT_TRUE(world.awaitHanging());
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

TEST(ClaudeReplyRunnerWithFakeClaude, AResumedRunWithNoticesThatEndsInAnErrorIsRetriedOnce)
{
    const std::string stoppedNote = "[Stopped reply] Your previous reply was stopped.";
    const JSON failed = JSON::object(
        { { "stdout",
              JSON::array({ test::initLine(), test::resultLine("Tool use was interrupted.", true) }) },
            { "exit", 1 } });
    for (bool noticed : { true, false }) {
        SCOPED_TRACE(noticed ? "with a notice" : "without notices");
        FakeClaudeWorld world;
        world.play(JSON::array({ failed, replyStep("Fresh start.") }));
        world.storeSession(60, "We planned the trip to Lyon.");
        world.start();
        auto note = noticed ? std::optional(stoppedNote) : std::nullopt;
        std::string outcome;
        try {
            outcome = world.run(test::RunnerWorld::submission(), {}, note).reply;
        } catch (const RelayHTTPError& error) {
            outcome = error.message();
        }
        EXPECT_EQ(
            outcome, noticed ? "Fresh start." : "Claude Code reported an error: Tool use was interrupted.");
        auto calls = world.calls();
        ASSERT_EQ(calls.size(), noticed ? 2u : 1u);
        EXPECT_FALSE(argumentAfter(calls.back(), "--resume") && noticed);
        // The notice comes before the message on both runs.
        for (const auto& call : noticed ? calls : std::vector<JSON> {}) {
            auto input = stdinOf(call);
            ASSERT_NE(input.find(stoppedNote), std::string::npos);
            EXPECT_LT(input.find(stoppedNote), input.find("Hello"));
        }
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, ApprovalsOpenOnlyTheKindsTheBotLetsTheUserApprove)
{
    for (bool approvable : { true, false }) {
        SCOPED_TRACE(approvable ? "a kind the bot lets the user approve" : "a kind it does not");
        FakeClaudeWorld world;
        world.play(JSON::array({ replyStep("Done.") }));
        world.start();
        fs::path notes = fs::canonical(world.folder.path()) / "notes";
        fs::create_directories(notes);
        auto cards = world.data->approvals.add("ios-1", { { "write", (notes / "plan.md").string() } });
        auto job = test::RunnerWorld::submission();
        job.approvals = { *cards.at(0).subscript("approvalId")->stringValue() };
        PermissionSettings settings;
        settings.folders = { PermissionSettings::Folder { notes.string(), true } };
        settings.approve = approvable ? std::vector<std::string> { "write" } : std::vector<std::string> {};
        job.permissions = settings;
        world.run(job);
        std::string input = stdinOf(world.calls().at(0));
        EXPECT_EQ(input.find(RelayData::defaultLabels().at("write")) != std::string::npos, approvable)
            << input;
        // Consumed either way.
        EXPECT_EQ(world.data->approvals.take("ios-1", job.approvals).expiredCount, 1);
    }
}

// From a hundred thousand tokens Claude Code compacts by itself; below, the relay compacts before the
// turn, which goes on in the old session when that fails.
TEST(ClaudeReplyRunnerWithFakeClaude,
    AutomaticCompactionIsClaudeCodesFromAHundredThousandTokensAndTheRelaysBelow)
{
    const JSON relayCompacts = JSON::array({ replyStep("The summary."), replyStep("OK"), replyStep("Hi.") });
    struct Case {
        const char* name;
        AutoCompactSetting setting;
        bool storedSession;
        JSON steps;
        std::optional<std::string> option;
        std::optional<JSON> compacted;
        std::optional<std::string> turnResumes;
    };
    const Case cases[] {
        { "auto at 100000", { "auto", 100'000 }, true, JSON::array({ replyStep("Hi.") }), "100000",
            std::nullopt, "old-session-1" },
        { "auto at 1000000", { "auto", 1'000'000 }, true, JSON::array({ replyStep("Hi.") }), "1000000",
            std::nullopt, "old-session-1" },
        { "auto at 50000 with 60000 stored tokens", { "auto", 50'000 }, true, relayCompacts, std::nullopt,
            JSON::object({ { "by", "relay" }, { "summary", "The summary." } }), kFakeSessionID },
        { "a failed compaction", { "auto", 50'000 }, true,
            JSON::array({ replyStep("```action\n{}\n```"), replyStep("Hi.") }), std::nullopt, std::nullopt,
            "old-session-1" },
        { "auto on a new session", { "auto", 100'000 }, false, JSON::array({ replyStep("Hi.") }),
            std::nullopt, std::nullopt, std::nullopt },
        { "suggest", { "suggest", 50'000 }, true, JSON::array({ replyStep("Hi.") }), std::nullopt,
            std::nullopt, "old-session-1" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClaudeWorld world;
        world.play(testCase.steps);
        if (testCase.storedSession)
            world.storeSession(60, std::nullopt, 60'000);
        world.start();
        auto job = test::RunnerWorld::submission();
        job.autoCompact = testCase.setting;
        ReplyOutput output = world.run(job);
        EXPECT_EQ(output.reply, "Hi.");
        EXPECT_EQ(output.compacted, testCase.compacted);
        auto turn = world.calls().back();
        EXPECT_EQ(argumentAfter(turn, "--autocompact"), testCase.option);
        EXPECT_EQ(argumentAfter(turn, "--resume"), testCase.turnResumes);
        EXPECT_EQ(world.events->contains(RunnerEvent::compacting()), world.calls().size() > 1);
    }
}
