// The parser on transcripts of the real Claude Code CLI: the recorded ones in
// tests/ClaudeCode/fixtures (see the README there for how they were made against the scripted
// model endpoint) and one live run.
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include "tests/ClaudeCode/RunnerEventPrinting.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using namespace vellumar;

namespace {

using namespace std::chrono_literals;
using test::ManualClock;
using Events = std::vector<RunnerEvent>;

std::vector<std::string> fixtureLines(const std::string& name)
{
    std::istringstream file(
        test::readFile(test::sourceDir() / "tests/ClaudeCode/fixtures" / (name + ".jsonl")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

// Feeds a whole transcript; the events of every line, in order.
Events consumeFixture(ClaudeStreamParser& parser, const std::string& name)
{
    std::vector<std::string> lines = fixtureLines(name);
    EXPECT_FALSE(lines.empty()) << name << " is missing";
    Events events;
    for (const std::string& line : lines) {
        Events lineEvents = parser.consume(line);
        events.insert(events.end(), lineEvents.begin(), lineEvents.end());
    }
    return events;
}

// The session id as the transcript's first line spells it, found without the JSON decoder.
std::string fixtureSessionID(const std::string& name)
{
    std::string first = fixtureLines(name).at(0);
    constexpr std::string_view key = "\"session_id\":\"";
    std::size_t start = first.find(key) + key.size();
    return first.substr(start, first.find('"', start) - start);
}

TEST(ClaudeStreamParser, PlainReplyTranscript)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());

    Events events = consumeFixture(parser, "plain-reply");

    EXPECT_EQ(events, (Events { RunnerEvent::preparing(), RunnerEvent::writing() }));
    EXPECT_EQ(parser.eventCount(), 3);
    EXPECT_EQ(parser.sessionID(), fixtureSessionID("plain-reply"));
    ASSERT_TRUE(parser.final());
    EXPECT_EQ(
        *parser.final(), (ClaudeStreamParser::Final { "Hello from the scripted model.", false, "success" }));
    EXPECT_EQ(parser.lastAssistantText(), "Hello from the scripted model.");
    // The scripted endpoint reports 12 input and 1 output token at the start of each message.
    EXPECT_EQ(parser.contextTokens(), 13);
    EXPECT_EQ(parser.contextWindow(), 1000000);
    EXPECT_EQ(parser.contextJSON(), JSON::object({ { "tokens", 13 }, { "window", 1000000 } }));
    EXPECT_TRUE(parser.tools().empty());
    EXPECT_TRUE(parser.denials().empty());
    EXPECT_FALSE(parser.compacted());
    // No tool call came to flush it: the reply text is still waiting.
    EXPECT_EQ(parser.pendingText(), std::vector<std::string> { "Hello from the scripted model." });
}

TEST(ClaudeStreamParser, ToolCallTranscript)
{
    ManualClock clock;
    clock.now = std::chrono::system_clock::time_point(1'700'000'000'123ms);
    ClaudeStreamParser parser(clock.function());

    Events events = consumeFixture(parser, "tool-call");

    EXPECT_EQ(events,
        (Events {
            RunnerEvent::preparing(),
            RunnerEvent::writing(),
            RunnerEvent::interim("I will check the folder first."),
            RunnerEvent::tool("Bash"),
            RunnerEvent::thinking(),
            RunnerEvent::writing(),
            RunnerEvent::interim("Now the note."),
            RunnerEvent::tool("Write"),
            RunnerEvent::thinking(),
            RunnerEvent::writing(),
        }));
    ASSERT_EQ(parser.tools().size(), 2u);
    EXPECT_EQ(parser.tools()[0],
        (ClaudeStreamParser::ToolUse {
            .id = "toolu_01",
            .at = 1'700'000'000'123,
            .tool = "Bash",
            .kind = "command",
            .target = "echo ready",
            .status = "ok",
            .input = JSON::object({ { "command", "echo ready" }, { "description", "Say ready" } }),
        }));
    EXPECT_EQ(parser.tools()[1],
        (ClaudeStreamParser::ToolUse {
            .id = "toolu_02",
            .at = 1'700'000'000'123,
            .tool = "Write",
            .kind = "write",
            .target = "notes.txt",
            .status = "ok",
            .input = JSON::object({ { "file_path", "notes.txt" }, { "content", "remember the milk\n" } }),
        }));
    EXPECT_TRUE(parser.pending().empty());
    EXPECT_EQ(parser.lastAssistantText(), "The file notes.txt now holds the note.");
    ASSERT_TRUE(parser.final());
    EXPECT_FALSE(parser.final()->isError);
    EXPECT_EQ(parser.sessionID(), fixtureSessionID("tool-call"));
}

TEST(ClaudeStreamParser, PermissionDenialTranscript)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());

    Events events = consumeFixture(parser, "permission-denial");

    // The "permission_denied" system event is not one the parser shows.
    EXPECT_EQ(events,
        (Events {
            RunnerEvent::preparing(),
            RunnerEvent::writing(),
            RunnerEvent::interim("I will write the file."),
            RunnerEvent::tool("Write"),
            RunnerEvent::thinking(),
            RunnerEvent::writing(),
        }));
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].status, "error");
    ASSERT_EQ(parser.denials().size(), 1u);
    const ClaudeStreamParser::Denial& denial = parser.denials()[0];
    EXPECT_EQ(denial.tool, "Write");
    EXPECT_EQ(denial.toolUseID, "toolu_01");
    ASSERT_TRUE(denial.input);
    const JSON* content = denial.input->subscript("content");
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(*content, JSON("remember the milk\n"));
    ASSERT_TRUE(parser.final());
    EXPECT_FALSE(parser.final()->isError);
    EXPECT_EQ(parser.final()->text, "I could not write notes.txt: permission was denied.");
}

TEST(ClaudeStreamParser, ApiErrorTranscript)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());

    Events events = consumeFixture(parser, "api-error");

    EXPECT_EQ(events, (Events { RunnerEvent::preparing(), RunnerEvent::writing() }));
    ASSERT_TRUE(parser.final());
    // The CLI calls a failed request a "success" and says otherwise in "is_error".
    EXPECT_TRUE(parser.final()->isError);
    EXPECT_EQ(parser.final()->subtype, "success");
    EXPECT_EQ(parser.final()->text, "API Error: 400 The scripted model refuses this request.");
    // A failed request uses no tokens and names no model.
    EXPECT_FALSE(parser.contextTokens());
    EXPECT_FALSE(parser.contextWindow());
    EXPECT_FALSE(parser.contextJSON());
}

TEST(ClaudeStreamParser, MaxTurnsTranscript)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());

    Events events = consumeFixture(parser, "max-turns");

    EXPECT_EQ(
        events, (Events { RunnerEvent::preparing(), RunnerEvent::tool("Read"), RunnerEvent::thinking() }));
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].kind, "read");
    EXPECT_EQ(parser.tools()[0].target, "missing.txt");
    EXPECT_EQ(parser.tools()[0].status, "error");
    ASSERT_TRUE(parser.final());
    EXPECT_EQ(*parser.final(), (ClaudeStreamParser::Final { "", true, "error_max_turns" }));
    EXPECT_EQ(parser.lastAssistantText(), "");
}

// The transcripts above are frozen; this run checks that the CLI installed now still talks the
// same grammar, end to end through the scripted model endpoint.
TEST(ClaudeStreamParser, FollowsALiveRunOfTheRealCLI)
{
    test::TemporaryFolder folder;
    test::ScriptedModel model(folder / "model",
        R"([{"text": "Checking.", "tool_use": {"name": "Bash", "input": {"command": "echo ready"}}},)"
        R"( {"text": "All set."}])");
    std::filesystem::create_directories(folder / "work");
    std::vector<std::string> command { "env", "-i", "--chdir=" + (folder / "work").string() };
    for (const auto& [name, value] : model.claudeEnvironment(folder / "home"))
        command.push_back(name + "=" + value);
    command.insert(command.end(),
        { "timeout", "300", test::realClaudeExecutable().string(), "-p", "--output-format", "stream-json",
            "--verbose", "--tools", "Read Bash", "--allowedTools", "Bash", "--permission-mode", "manual",
            "--permission-prompts", "none" });

    test::PeerResult result = test::runPeer(command, "Get ready.");

    ASSERT_EQ(result.exitStatus, 0);
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    Events events;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        Events lineEvents = parser.consume(line);
        events.insert(events.end(), lineEvents.begin(), lineEvents.end());
    }
    EXPECT_EQ(events,
        (Events { RunnerEvent::preparing(), RunnerEvent::writing(), RunnerEvent::interim("Checking."),
            RunnerEvent::tool("Bash"), RunnerEvent::thinking(), RunnerEvent::writing() }));
    ASSERT_TRUE(parser.sessionID());
    EXPECT_EQ(parser.sessionID()->size(), 36u);
    ASSERT_TRUE(parser.final());
    EXPECT_EQ(*parser.final(), (ClaudeStreamParser::Final { "All set.", false, "success" }));
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].target, "echo ready");
    EXPECT_EQ(parser.tools()[0].status, "ok");
    EXPECT_TRUE(parser.pending().empty());
    // The endpoint logged the follow-up request that carried the command's output back.
    EXPECT_NE(model.requestLog().find("\"tool_result\""), std::string::npos);
}

TEST(ClaudeStreamParser, BrokenLinesInATranscriptAreSkipped)
{
    ManualClock clock;
    ClaudeStreamParser whole(clock.function());
    consumeFixture(whole, "tool-call");

    // Every line cut short, and garbage, between the real lines: the run reads as if they were absent.
    ClaudeStreamParser interrupted(clock.function());
    Events events;
    for (const std::string& line : fixtureLines("tool-call")) {
        for (std::size_t length = 0; length < line.size(); length += 97)
            EXPECT_TRUE(interrupted.consume(std::string_view(line).substr(0, length)).empty());
        EXPECT_TRUE(interrupted.consume("\xff\xfe{\"type\":\"result\"}").empty());
        Events lineEvents = interrupted.consume(line);
        events.insert(events.end(), lineEvents.begin(), lineEvents.end());
    }

    EXPECT_EQ(interrupted.eventCount(), whole.eventCount());
    EXPECT_EQ(interrupted.tools(), whole.tools());
    EXPECT_EQ(interrupted.final(), whole.final());
    EXPECT_EQ(interrupted.sessionID(), whole.sessionID());
    EXPECT_EQ(events.size(), 10u);
}

}
