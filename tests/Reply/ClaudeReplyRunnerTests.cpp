// The reply runner's pieces that decide on their own: the environment filter, the settings file's
// name, the session choice, and what a finished run's outcome means for the job.
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/stat.h>
#include <variant>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using Outcome = ClaudeReplyRunner::RunOutcome;

// An outcome whose parser read `lines` of stream JSON.
Outcome outcomeOf(const std::vector<JSON>& lines, std::int32_t status = 0, std::string stderrTail = {},
    std::optional<ClaudeProcess::StopReason> stopReason = std::nullopt, bool outputTooLarge = false)
{
    ClaudeStreamParser parser([] { return std::chrono::system_clock::time_point(); });
    for (const auto& line : lines)
        parser.consume(line.encoded());
    return Outcome { ClaudeProcess::Outcome { .status = status,
        .parser = std::move(parser),
        .stderrTail = std::move(stderrTail),
        .stopReason = std::move(stopReason),
        .outputTooLarge = outputTooLarge } };
}

JSON result(const std::string& text, bool isError)
{
    return JSON::object({ { "type", "result" }, { "subtype", isError ? "error_during_execution" : "success" },
        { "is_error", isError }, { "result", text } });
}

JSON assistant(const std::string& text)
{
    return JSON::object({ { "type", "assistant" },
        { "message",
            JSON::object({ { "role", "assistant" },
                { "content",
                    JSON::array({ JSON::object({ { "type", "text" }, { "text", text } }) }) } }) } });
}

// The reply text, "stopped" for a cancellation, or the error's status, code and message.
std::string meaningOf(const Outcome& outcome, bool commandsAllowed, double timeLimit)
{
    try {
        return ClaudeReplyRunner::failureMessage(outcome, commandsAllowed, timeLimit);
    } catch (const RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    } catch (const CancellationError&) {
        return "stopped";
    }
}

}

TEST(ClaudeReplyRunner, EnvironmentNamesPassOnlyWhenKeptAndNotRemoved)
{
    struct Case {
        const char* name;
        bool passed;
    };
    const std::vector<Case> cases { { "HOME", true }, { "LANG", true }, { "HTTPS_PROXY", true },
        { "https_proxy", true }, { "Https_Proxy", false }, { "CLAUDE_CONFIG_DIR", true },
        { "__CF_USER_TEXT_ENCODING", true }, { "ANTHROPIC_API_KEY", false }, { "ANTHROPIC_BASE_URL", false },
        { "CLAUDECODE", false }, { "LD_PRELOAD", false }, { "PATH", false }, { "home", false }, { "", false },
        { "HOME ", false } };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(ClaudeReplyRunner::isPassedEnvironmentName(testCase.name), testCase.passed);
    }
}

TEST(ClaudeReplyRunner, ChildEnvironmentTakesPathAndTemporaryFolderFromTheRunner)
{
    auto environment
        = ClaudeReplyRunner::childEnvironment({ { "PATH", "/evil" }, { "ANTHROPIC_API_KEY", "sk" },
                                                  { "CLAUDE_CODE_TMPDIR", "/elsewhere" }, { "LC_ALL", "C" } },
            "/usr/bin:/bin", "/tmp/vl-abcdefgh");
    EXPECT_EQ(environment,
        (ClaudeReplyRunner::Environment { { "PATH", "/usr/bin:/bin" }, { "LANG", "en_US.UTF-8" },
            { "LC_ALL", "C" }, { "CLAUDE_CODE_TMPDIR", "/tmp/vl-abcdefgh" } }));
}

TEST(ClaudeReplyRunner, SettingsFileIsNamedFromTheConversationWithColonsReplaced)
{
    struct Case {
        const char* conversationID;
        const char* fileName;
    };
    const std::vector<Case> cases { { "ios-1", "ios-1.json" }, { "ios:team:7", "ios_team_7.json" },
        { "::", "__.json" }, { "a_b:c", "a_b_c.json" } };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.conversationID);
        EXPECT_EQ(ClaudeReplyRunner::settingsFile("/data", testCase.conversationID),
            fs::path("/data/claude-settings") / testCase.fileName);
    }
}

TEST(ClaudeReplyRunner, TemporaryFolderIsFreshAndPrivate)
{
    fs::path first = ClaudeReplyRunner::makeTemporaryFolder();
    fs::path second = ClaudeReplyRunner::makeTemporaryFolder();
    EXPECT_NE(first, second);
    for (const auto& made : { first, second }) {
        EXPECT_EQ(made.parent_path(), "/tmp");
        EXPECT_TRUE(made.filename().string().starts_with("vl-"));
        EXPECT_EQ(made.filename().string().size(), 11u);
        struct stat info { };
        ASSERT_EQ(::lstat(made.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        ClaudeReplyRunner::removeQuietly(made);
        EXPECT_FALSE(fs::exists(made));
    }
}

TEST(ClaudeReplyRunner, SessionIsResumedUpToAnHourIdleAndHandedOverAfterwards)
{
    const SessionStore::SummaryAndRecent summary { "We planned the trip to Lyon.", {} };
    const SessionStore::SummaryAndRecent nothing {};
    auto handover = Prompts::conversationSoFar(summary.summary, summary.recent);
    ASSERT_TRUE(handover);
    struct Case {
        const char* name;
        std::optional<std::string> sessionID;
        std::optional<double> age;
        SessionStore::SummaryAndRecent history;
        ClaudeReplyRunner::SessionChoice expected;
    };
    const std::vector<Case> cases {
        { "3600 s", "s-1", 3600, summary, { "s-1", std::nullopt } },
        { "3601 s", "s-1", 3601, summary, { std::nullopt, handover } },
        { "3601 s with nothing to hand over", "s-1", 3601, nothing, { "s-1", std::nullopt } },
        { "age unknown", "s-1", std::nullopt, summary, { "s-1", std::nullopt } },
        { "clock went back", "s-1", -50, summary, { "s-1", std::nullopt } },
        { "no session", std::nullopt, std::nullopt, summary, { std::nullopt, handover } },
        { "no session and no history", std::nullopt, std::nullopt, nothing, { std::nullopt, std::nullopt } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(ClaudeReplyRunner::chooseSession(testCase.sessionID, testCase.age, testCase.history),
            testCase.expected);
    }
}

TEST(ClaudeReplyRunner, ErrorLineIsTheFirstNonEmptyLineTrimmedAndCut)
{
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases {
        { "two empty lines first", "\n\n  Rate limited  \nsecond line", "Rate limited" },
        { "carriage returns", "\r\n\r\nOverloaded\r\nmore", "Overloaded" },
        { "a line separator", "\u2028 \tNo credit\u2028later", "No credit" },
        { "blank lines only", " \n\t\n", "" },
        { "empty", "", "" },
        { "long", std::string(250, 'x'), std::string(200, 'x') },
        { "long in two-byte characters", test::repeated("é", 201), test::repeated("é", 200) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(Outcome::errorLine(testCase.text), testCase.expected);
    }
}

TEST(ClaudeReplyRunner, OutcomeBecomesTheReplyOrTheFailureTheUserSees)
{
    using Stop = ClaudeProcess::StopReason;
    struct Case {
        const char* name;
        Outcome outcome;
        bool commandsAllowed;
        double timeLimit;
        std::string expected;
    };
    const std::vector<Case> cases {
        { "time limit of 90 s", outcomeOf({}, 143, {}, Stop::timeLimit()), false, 90,
            "504 timeout The reply took longer than its time limit (1 min)." },
        { "time limit of 1800 s", outcomeOf({}, 143, {}, Stop::timeLimit()), false, 1800,
            "504 timeout The reply took longer than its time limit (30 min)." },
        { "stalled at start", outcomeOf({}, 143, {}, Stop::stalled("startup")), false, 600,
            "504 timeout Claude Code did not start working. If the Mac shows a question (privacy or login), "
            "answer it there, then try again." },
        { "stalled in a file tool", outcomeOf({}, 143, {}, Stop::stalled("fileTool")), false, 600,
            "504 timeout A file operation did not finish. macOS may be asking on the Mac whether Vellumar "
            "for "
            "Mac may open that folder." },
        { "stalled idle", outcomeOf({}, 143, {}, Stop::stalled("idle")), false, 600,
            "504 timeout Claude Code stopped responding." },
        { "output cap", outcomeOf({}, 143, {}, Stop::cancelled(), true), false, 600,
            "502 claude_failed Claude Code sent more output than the Mac accepts." },
        { "cancelled", outcomeOf({ result("Partial", false) }, 143, {}, Stop::cancelled()), false, 600,
            "stopped" },
        { "a reply", outcomeOf({ result("  Hello \n", false) }, 1), false, 600, "Hello" },
        { "an empty final text falls back to the last assistant text",
            outcomeOf({ assistant(" From the stream "), result("", false) }), false, 600, "From the stream" },
        { "an empty reply", outcomeOf({ result(" \n", false) }), false, 600,
            "502 empty_reply Claude Code returned an empty reply." },
        { "not logged in, marker in standard error", outcomeOf({}, 1, "Invalid API key · Please run /login"),
            true, 600,
            "502 claude_failed Claude Code is not logged in on the Mac. Run claude in Terminal and log in." },
        { "not logged in, in the result", outcomeOf({ result("Please LOG IN first", true) }, 1), true, 600,
            "502 claude_failed Claude Code is not logged in on the Mac. Run claude in Terminal and log in." },
        { "sandbox with commands", outcomeOf({}, 1, "Sandbox failed to start"), true, 600,
            "502 sandbox_unavailable The sandbox for commands could not start. Turn off commands in the bot "
            "settings." },
        { "sandbox without commands", outcomeOf({}, 1, "Sandbox failed to start"), false, 600,
            "502 claude_failed Claude Code stopped without a reply (exit 1)." },
        { "unknown option", outcomeOf({}, 1, "error: Unknown Option '--restricted'"), false, 600,
            "502 claude_failed Claude Code on the Mac is too old. Run claude update in Terminal." },
        { "update marker", outcomeOf({}, 1, "Please run `claude update` to continue"), false, 600,
            "502 claude_failed Claude Code on the Mac is too old. Run claude update in Terminal." },
        { "an error result", outcomeOf({ result("\n\nRate limited\nDetails", true) }, 0), false, 600,
            "502 claude_failed Claude Code reported an error: Rate limited" },
        { "an error result without text", outcomeOf({ result("", true) }, 1), false, 600,
            "502 claude_failed Claude Code reported an error." },
        { "no result", outcomeOf({}, 3), false, 600,
            "502 claude_failed Claude Code stopped without a reply (exit 3)." },
        { "no result after a signal", outcomeOf({}, 137), false, 600,
            "502 claude_failed Claude Code stopped without a reply (exit 137)." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(
            meaningOf(testCase.outcome, testCase.commandsAllowed, testCase.timeLimit), testCase.expected);
    }
}

TEST(ClaudeReplyRunner, LostSessionIsRecognisedOnlyWithoutAGoodEnd)
{
    struct Case {
        const char* name;
        Outcome outcome;
        bool lost;
    };
    const std::vector<Case> cases {
        { "no conversation found", outcomeOf({}, 1, "No conversation found with session ID: x"), true },
        { "in the result", outcomeOf({ result("NO CONVERSATION FOUND", true) }, 1), true },
        { "session not found", outcomeOf({}, 1, "Error: session abc not found"), true },
        { "session alone", outcomeOf({}, 1, "session ended"), false },
        { "a good end with the words", outcomeOf({ result("no conversation found", false) }, 0), false },
        { "a good result with a bad exit", outcomeOf({ result("no conversation found", false) }, 1), true },
        { "something else", outcomeOf({}, 1, "overloaded"), false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(testCase.outcome.isLostSession(), testCase.lost);
    }
}

TEST(ClaudeReplyRunner, ApprovalRequestsComeFromDenialsTheUserMayApprove)
{
    test::TemporaryFolder folder;
    fs::path writable = fs::canonical(folder.path()) / "notes";
    fs::create_directories(writable);
    fs::create_symlink(writable, folder / "link");
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = writable, .writable = true, .label = "notes" } };
    permissions.bash = true;
    permissions.approve = { "write", "bash" };
    auto write = [](const std::string& tool, const std::string& path) {
        return ClaudeStreamParser::Denial { tool, "toolu_1", JSON::object({ { "file_path", path } }) };
    };
    ClaudeStreamParser::Denial bash { "Bash", "toolu_2", JSON::object({ { "command", "rm -rf build" } }) };

    struct Case {
        const char* name;
        std::vector<ClaudeStreamParser::Denial> denials;
        std::set<std::string> granted;
        std::vector<ApprovalStore::Request> expected;
    };
    const std::string inside = (writable / "plan.md").string();
    const std::vector<Case> cases {
        { "a write inside a writable folder", { write("Write", inside) }, {}, { { "write", inside } } },
        { "an edit through a link to it", { write("Edit", (folder / "link" / "plan.md").string()) }, {},
            { { "write", (folder / "link" / "plan.md").string() } } },
        { "a relative path", { write("Edit", "plan.md") }, {}, {} },
        { "outside every writable folder", { write("Write", (folder / "other.md").string()) }, {}, {} },
        { "write already granted", { write("Write", inside) }, { "write" }, {} },
        { "a gated command", { bash }, {}, { { "bash", "rm -rf build" } } },
        { "a granted command", { bash }, { "bash" }, {} },
        { "twice the same", { write("Write", inside), write("MultiEdit", inside), write("Write", inside) },
            {}, { { "write", inside } } },
        { "another tool", { ClaudeStreamParser::Denial { "WebFetch", "toolu_3", std::nullopt } }, {}, {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto run = permissions;
        run.granted = testCase.granted;
        auto requests = ClaudeReplyRunner::approvalRequests(testCase.denials, run);
        ASSERT_EQ(requests.size(), testCase.expected.size());
        for (std::size_t index = 0; index < requests.size(); ++index) {
            EXPECT_EQ(requests[index].kind, testCase.expected[index].kind);
            EXPECT_EQ(requests[index].detail,
                ApprovalStore::toolDetail(testCase.denials[0].tool, &*testCase.denials[0].input));
        }
    }
}
