// The reply runner's parts that decide on their own: the session choice, and what a finished run's
// outcome means for the job and whether it lost its session.
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using Outcome = ClaudeReplyRunner::RunOutcome;

// An outcome whose parser read `lines` of stream JSON.
Outcome outcomeOf(const std::vector<JSON>& lines, std::int32_t status = 0, std::string stderrTail = {})
{
    ClaudeStreamParser parser([] { return std::chrono::system_clock::time_point(); });
    for (const auto& line : lines)
        parser.consume(line.encoded());
    return Outcome { ClaudeProcess::Outcome {
        .status = status, .parser = std::move(parser), .stderrTail = std::move(stderrTail) } };
}

}

TEST(ClaudeReplyRunner, SessionIsResumedUpToAnHourIdleAndHandedOverAfterwards)
{
    const SessionStore::SummaryAndRecent summary { "We planned the trip to Lyon.", {} };
    auto handover = Prompts::conversationSoFar(summary.summary, summary.recent);
    ASSERT_TRUE(handover);
    struct Case {
        const char* name;
        std::optional<std::string> sessionID;
        std::optional<double> age;
        SessionStore::SummaryAndRecent history;
        ClaudeReplyRunner::SessionChoice expected;
    };
    const Case cases[] {
        { "3600 s", "s-1", 3600, summary, { "s-1", std::nullopt } },
        { "3601 s", "s-1", 3601, summary, { std::nullopt, handover } },
        { "no session", std::nullopt, std::nullopt, summary, { std::nullopt, handover } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(ClaudeReplyRunner::chooseSession(testCase.sessionID, testCase.age, testCase.history),
            testCase.expected);
    }
}

TEST(ClaudeReplyRunner, OutcomeBecomesTheReplyOrTheFailureTheUserSeesAndTellsALostSession)
{
    const std::string stopped = "Claude Code stopped without a reply (exit 1); its standard error ended: ";
    // Node's last words after a long trace, of which the log keeps the last 1,000 bytes on one line.
    const std::string lastWords = "\n\n<--- JS stacktrace --->\r\n\x1b[31mFATAL ERROR: heap limit\x1b[0m\n";
    struct Case {
        const char* name;
        Outcome outcome;
        bool commandsAllowed;
        std::string expected; // the reply, "stopped", or the error's status, code and message
        bool lost = false;
        std::vector<std::string> logged = {};
    };
    const Case cases[] {
        { "a reply after a bad exit", outcomeOf({ test::resultLine(" No conversation found \n") }, 1), false,
            "No conversation found", true },
        { "a lost session", outcomeOf({}, 1, "No conversation found with session ID: x"), false,
            "502 claude_failed Claude Code stopped without a reply (exit 1).", true,
            { stopped + "No conversation found with session ID: x" } },
        { "sandbox with commands", outcomeOf({}, 1, "Sandbox failed to start"), true,
            "502 sandbox_unavailable The sandbox for commands could not start. Turn off commands in the bot "
            "settings." },
        { "sandbox without commands", outcomeOf({}, 1, "Sandbox failed to start"), false,
            "502 claude_failed Claude Code stopped without a reply (exit 1).", false,
            { stopped + "Sandbox failed to start" } },
        { "out of memory", outcomeOf({}, 1, std::string(2000, 'a') + lastWords), false,
            "502 claude_failed Claude Code stopped without a reply (exit 1).", false,
            { stopped + std::string(1000 - (lastWords.size() - 1), 'a')
                + " <--- JS stacktrace ---> ?[31mFATAL ERROR: heap limit?[0m" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::CapturedLog log;
        EXPECT_EQ(test::replyOrError([&] {
            return ClaudeReplyRunner::failureMessage(testCase.outcome, testCase.commandsAllowed, 90);
        }),
            testCase.expected);
        EXPECT_EQ(testCase.outcome.isLostSession(), testCase.lost);
        EXPECT_EQ(log.lines(), testCase.logged);
    }
}

TEST(ClaudeReplyRunner, ApprovalRequestsComeFromDenialsTheUserMayApprove)
{
    test::TemporaryFolder folder;
    fs::path writable = fs::canonical(folder.path()) / "notes";
    fs::create_directories(writable);
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = writable, .writable = true, .label = "notes" } };
    permissions.bash = true;
    permissions.approve = { "write", "bash" };
    auto write = [](const std::string& tool, const fs::path& path) {
        return ClaudeStreamParser::Denial { tool, "toolu_1",
            JSON::object({ { "file_path", path.string() } }) };
    };
    struct Case {
        const char* name;
        std::vector<ClaudeStreamParser::Denial> denials;
        std::set<std::string> granted;
        std::vector<ApprovalStore::Request> expected;
    };
    const fs::path inside = writable / "plan.md";
    const Case cases[] {
        { "a write inside a writable folder, asked for twice",
            { write("Write", inside), write("MultiEdit", inside), write("Write", inside) }, {},
            { { "write", inside.string() } } },
        { "outside every writable folder", { write("Write", folder / "other.md") }, {}, {} },
        { "write already granted", { write("Write", inside) }, { "write" }, {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto run = permissions;
        run.granted = testCase.granted;
        EXPECT_TRUE(ClaudeReplyRunner::approvalRequests(testCase.denials, run) == testCase.expected);
    }
}
