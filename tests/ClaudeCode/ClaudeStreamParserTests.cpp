// The parser on hand-made lines: the edge cases a real run seldom shows.
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include "tests/ClaudeCode/RunnerEventPrinting.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

using namespace std::chrono_literals;
using test::ManualClock;
using Events = std::vector<RunnerEvent>;

std::string jsonLine(const JSON& value) { return value.encoded(); }

JSON assistant(JSON::Array content, std::optional<JSON> usage = std::nullopt)
{
    JSON::Object message { { "role", JSON("assistant") }, { "content", JSON(std::move(content)) } };
    if (usage)
        message.emplace("usage", *usage);
    return JSON::object({ { "type", "assistant" }, { "message", JSON(std::move(message)) } });
}

JSON textBlock(std::string text) { return JSON::object({ { "type", "text" }, { "text", std::move(text) } }); }

JSON toolUseBlock(std::string id, std::string name, JSON input = JSON::object({}))
{
    return JSON::object({ { "type", "tool_use" }, { "id", std::move(id) }, { "name", std::move(name) },
        { "input", std::move(input) } });
}

JSON toolResult(std::string id, std::optional<JSON> isError = std::nullopt)
{
    JSON::Object block { { "type", JSON("tool_result") }, { "tool_use_id", JSON(std::move(id)) },
        { "content", JSON("done") } };
    if (isError)
        block.emplace("is_error", *isError);
    return JSON::object({ { "type", "user" },
        { "message",
            JSON::object({ { "role", "user" }, { "content", JSON::array({ JSON(std::move(block)) }) } }) } });
}

std::string manyCharacters(char c, std::size_t count) { return std::string(count, c); }

TEST(ClaudeStreamParser, LinesThatAreNotEventsChangeNothing)
{
    const std::pair<const char*, std::string> cases[] = {
        { "empty", "" },
        { "spaces and tabs", " \t \t " },
        { "not JSON", "Loading configuration..." },
        { "cut short", "{\"type\":\"system\",\"subtype\":\"init\"" },
        { "array", "[{\"type\":\"system\"}]" },
        { "text", "\"system\"" },
        { "null", "null" },
        { "no type", "{\"subtype\":\"init\",\"session_id\":\"abcdefgh-1234\"}" },
        { "numeric type", "{\"type\":1,\"session_id\":\"abcdefgh-1234\"}" },
        { "null type", "{\"type\":null,\"session_id\":\"abcdefgh-1234\"}" },
        { "invalid UTF-8", "{\"type\":\"system\",\"subtype\":\"init\",\"x\":\"\xC3\x28\"}" },
        { "two objects", "{\"type\":\"system\"}{\"type\":\"system\"}" },
    };
    for (const auto& [name, line] : cases) {
        SCOPED_TRACE(name);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        EXPECT_TRUE(parser.consume(line).empty());
        EXPECT_EQ(parser.eventCount(), 0);
        EXPECT_FALSE(parser.sessionID());
    }
}

TEST(ClaudeStreamParser, PaddingAroundTheLineIsIgnored)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    // Tab, space, no-break space and ideographic space are all space separators or tabs.
    Events events = parser.consume("\t \xC2\xA0{\"type\":\"system\",\"subtype\":\"init\"}\xE3\x80\x80 ");
    EXPECT_EQ(events, Events { RunnerEvent::preparing() });
    EXPECT_EQ(parser.eventCount(), 1);
}

TEST(ClaudeStreamParser, UnknownEventsCountAndCarryTheSessionID)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    EXPECT_TRUE(parser.consume(R"({"type":"stream_event","session_id":"abcdefgh-1234"})").empty());
    EXPECT_EQ(parser.eventCount(), 1);
    EXPECT_EQ(parser.sessionID(), "abcdefgh-1234");
}

TEST(ClaudeStreamParser, SessionIDsMustFitTheRule)
{
    struct Case {
        const char* name;
        JSON id;
        bool accepted;
    };
    const Case cases[] = {
        { "7 characters", JSON(manyCharacters('a', 7)), false },
        { "8 characters", JSON(manyCharacters('a', 8)), true },
        { "64 characters", JSON(manyCharacters('7', 64)), true },
        { "65 characters", JSON(manyCharacters('a', 65)), false },
        { "underscore", JSON("abcd_efgh"), false },
        { "dot", JSON("abcd.efgh"), false },
        { "space", JSON("abcd efgh"), false },
        { "non-ASCII letter",
            JSON("abcd\xC3\xA9"
                 "fgh"),
            false },
        { "uuid", JSON("63589f18-49bd-41a7-bb07-6e8456ce43d3"), true },
        { "number", JSON(12345678), false },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        parser.consume(R"({"type":"system","subtype":"status","session_id":"previous-id"})");
        parser.consume(jsonLine(JSON::object({ { "type", "system" }, { "session_id", testCase.id } })));
        std::string expected = testCase.accepted ? *testCase.id.stringValue() : "previous-id";
        EXPECT_EQ(parser.sessionID(), expected);
        EXPECT_EQ(parser.eventCount(), 2);
    }
}

TEST(ClaudeStreamParser, SystemSubtypes)
{
    struct Case {
        const char* line;
        Events events;
        bool compacted;
    };
    const Case cases[] = {
        { R"({"type":"system","subtype":"init"})", { RunnerEvent::preparing() }, false },
        { R"({"type":"system","subtype":"compact_boundary"})", { RunnerEvent::compacting() }, true },
        { R"({"type":"system","subtype":"api_retry"})", {}, false },
        { R"({"type":"system","subtype":"Init"})", {}, false },
        { R"({"type":"system"})", {}, false },
        { R"({"type":"system","subtype":7})", {}, false },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        EXPECT_EQ(parser.consume(testCase.line), testCase.events);
        EXPECT_EQ(parser.compacted(), testCase.compacted);
        EXPECT_EQ(parser.eventCount(), 1);
    }
}

TEST(ClaudeStreamParser, CompactionIsNeverForgotten)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(R"({"type":"system","subtype":"compact_boundary"})");
    parser.consume(R"({"type":"system","subtype":"init"})");
    parser.consume(R"({"type":"result","subtype":"success"})");
    EXPECT_TRUE(parser.compacted());
}

TEST(ClaudeStreamParser, TextBeforeAToolCallIsShownAsInterimText)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    Events events = parser.consume(jsonLine(assistant({ textBlock("Let me look."),
        toolUseBlock("toolu_1", "Bash", JSON::object({ { "command", "ls" } })) })));

    EXPECT_EQ(events, (Events { RunnerEvent::interim("Let me look."), RunnerEvent::tool("Bash") }));
    EXPECT_EQ(parser.lastAssistantText(), "Let me look.");
    EXPECT_TRUE(parser.pendingText().empty());
    ASSERT_EQ(parser.pending().count("toolu_1"), 1u);
    EXPECT_EQ(parser.pending().at("toolu_1").name, "Bash");
    EXPECT_EQ(parser.pending().at("toolu_1").since, clock.now);
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].status, "stopped");
    EXPECT_EQ(parser.tools()[0].target, "ls");
}

TEST(ClaudeStreamParser, TextsOfSeveralMessagesAreJoinedBeforeTheNextToolCall)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    EXPECT_EQ(
        parser.consume(jsonLine(assistant({ textBlock("  First.\n") }))), Events { RunnerEvent::writing() });
    EXPECT_EQ(parser.consume(jsonLine(assistant({ textBlock("Second."), textBlock("Third.\n\n") }))),
        Events { RunnerEvent::writing() });
    EXPECT_EQ(parser.lastAssistantText(), "Second.\nThird.\n\n");
    EXPECT_EQ(parser.pendingText(), (std::vector<std::string> { "  First.\n", "Second.", "Third.\n\n" }));

    Events events = parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read") })));

    EXPECT_EQ(events,
        (Events { RunnerEvent::interim("First.\n\n\nSecond.\n\nThird."), RunnerEvent::tool("Read") }));
    EXPECT_TRUE(parser.pendingText().empty());
    // The tool call carried no text, so the last text stays.
    EXPECT_EQ(parser.lastAssistantText(), "Second.\nThird.\n\n");
}

TEST(ClaudeStreamParser, BlankTextCountsAsWritingButIsNotShown)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    EXPECT_EQ(parser.consume(jsonLine(assistant({ textBlock(" \n\t\xE2\x80\xA8") }))),
        Events { RunnerEvent::writing() });
    EXPECT_EQ(parser.lastAssistantText(), " \n\t\xE2\x80\xA8");
    EXPECT_TRUE(parser.pendingText().empty());
    EXPECT_EQ(parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read") }))),
        Events { RunnerEvent::tool("Read") });
}

TEST(ClaudeStreamParser, ThinkingOutranksWriting)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    JSON thinking = JSON::object({ { "type", "thinking" }, { "thinking", "hmm" } });
    EXPECT_EQ(parser.consume(jsonLine(assistant({ thinking }))), Events { RunnerEvent::thinking() });
    EXPECT_EQ(parser.consume(jsonLine(assistant({ thinking, textBlock("Answer.") }))),
        Events { RunnerEvent::thinking() });
    EXPECT_EQ(parser.lastAssistantText(), "Answer.");
}

TEST(ClaudeStreamParser, MalformedAssistantBlocksAreSkipped)
{
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {
        { "no message", R"({"type":"assistant"})" },
        { "content not an array", R"({"type":"assistant","message":{"content":"Hello"}})" },
        { "block not an object", R"({"type":"assistant","message":{"content":["Hello",1,null]}})" },
        { "empty block", R"({"type":"assistant","message":{"content":[{}]}})" },
        { "block without type", R"({"type":"assistant","message":{"content":[{"text":"Hello"}]}})" },
        { "text not a text", R"({"type":"assistant","message":{"content":[{"type":"text","text":5}]}})" },
        { "unknown block", R"({"type":"assistant","message":{"content":[{"type":"image","text":"x"}]}})" },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        EXPECT_TRUE(parser.consume(testCase.line).empty());
        EXPECT_EQ(parser.eventCount(), 1);
        EXPECT_EQ(parser.lastAssistantText(), "");
        EXPECT_TRUE(parser.tools().empty());
    }
}

TEST(ClaudeStreamParser, ToolCallsWithoutIDOrName)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    JSON noID = JSON::object({ { "type", "tool_use" }, { "name", "Bash" } });
    JSON noName = JSON::object({ { "type", "tool_use" }, { "id", "toolu_2" }, { "name", 3 } });

    Events events = parser.consume(jsonLine(assistant({ noID, noName })));

    EXPECT_EQ(events, (Events { RunnerEvent::tool("Bash"), RunnerEvent::tool("") }));
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].id, "toolu_2");
    EXPECT_EQ(parser.tools()[0].tool, "");
    EXPECT_EQ(parser.tools()[0].kind, "other");
    EXPECT_FALSE(parser.tools()[0].input);
    EXPECT_EQ(parser.pending().size(), 1u);
}

TEST(ClaudeStreamParser, ToolInputIsKeptAsSent)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    JSON nullInput = JSON::object(
        { { "type", "tool_use" }, { "id", "toolu_1" }, { "name", "Bash" }, { "input", nullptr } });
    JSON arrayInput = toolUseBlock("toolu_2", "Read", JSON::array({ "a.txt" }));
    parser.consume(jsonLine(assistant({ nullInput, arrayInput })));

    ASSERT_EQ(parser.tools().size(), 2u);
    EXPECT_EQ(parser.tools()[0].input, JSON(nullptr));
    EXPECT_EQ(parser.tools()[0].target, "");
    EXPECT_EQ(parser.tools()[1].input, JSON::array({ "a.txt" }));
    EXPECT_EQ(parser.tools()[1].target, "");
}

TEST(ClaudeStreamParser, ToolTargetsAreRedacted)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Bash",
        JSON::object({ { "command", "curl -H 'Authorization: Bearer abcdefgh12345678' x" } })) })));
    ASSERT_EQ(parser.tools().size(), 1u);
    EXPECT_EQ(parser.tools()[0].target.find("abcdefgh12345678"), std::string::npos)
        << parser.tools()[0].target;
    // The input itself is kept whole for the reply engine.
    EXPECT_EQ(*parser.tools()[0].input->subscript("command"),
        JSON("curl -H 'Authorization: Bearer abcdefgh12345678' x"));
}

TEST(ClaudeStreamParser, LongToolNamesAreCutToFortyCharacters)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    // "e" with a combining acute accent is one character of three bytes.
    std::string accented;
    for (int index = 0; index < 50; ++index)
        accented += "e\xCC\x81";
    std::string plain = "mcp__" + manyCharacters('x', 45);
    parser.consume(
        jsonLine(assistant({ toolUseBlock("toolu_1", accented), toolUseBlock("toolu_2", plain) })));

    ASSERT_EQ(parser.tools().size(), 2u);
    EXPECT_EQ(parser.tools()[0].tool, accented.substr(0, 40 * 3));
    EXPECT_EQ(parser.tools()[1].tool, plain.substr(0, 40));
    // Events and the watchdog see the full name.
    EXPECT_EQ(parser.pending().at("toolu_2").name, plain);
}

TEST(ClaudeStreamParser, The501stToolCallAddsNoRecord)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    for (std::size_t index = 0; index < ClaudeStreamParser::maxTools; ++index)
        parser.consume(jsonLine(assistant({ toolUseBlock("toolu_" + std::to_string(index), "Read") })));
    ASSERT_EQ(parser.tools().size(), 500u);

    Events events = parser.consume(jsonLine(assistant({ toolUseBlock("toolu_500", "Bash") })));

    EXPECT_EQ(events, Events { RunnerEvent::tool("Bash") });
    EXPECT_EQ(parser.tools().size(), 500u);
    EXPECT_EQ(parser.tools().back().id, "toolu_499");
    EXPECT_EQ(parser.pending().size(), 501u);
    EXPECT_EQ(parser.pending().count("toolu_500"), 1u);
}

TEST(ClaudeStreamParser, ToolResultsSetTheStatusOnce)
{
    struct Case {
        const char* name;
        std::optional<JSON> isError;
        const char* status;
    };
    const Case cases[] = {
        { "is_error true", JSON(true), "error" },
        { "is_error false", JSON(false), "ok" },
        { "is_error missing", std::nullopt, "ok" },
        { "is_error the text true", JSON("true"), "ok" },
        { "is_error 1", JSON(1), "ok" },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Bash") })));
        EXPECT_EQ(parser.consume(jsonLine(toolResult("toolu_1", testCase.isError))),
            Events { RunnerEvent::thinking() });
        ASSERT_EQ(parser.tools().size(), 1u);
        EXPECT_EQ(parser.tools()[0].status, testCase.status);
        EXPECT_TRUE(parser.pending().empty());
    }
}

TEST(ClaudeStreamParser, ThinkingFollowsTheLastPendingResult)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read"), toolUseBlock("toolu_2", "Grep") })));

    EXPECT_TRUE(parser.consume(jsonLine(toolResult("toolu_1"))).empty());
    EXPECT_EQ(parser.pending().size(), 1u);
    EXPECT_EQ(parser.consume(jsonLine(toolResult("toolu_2"))), Events { RunnerEvent::thinking() });
    // An answer to a call nobody knows still says Claude Code is thinking once nothing is pending.
    EXPECT_EQ(parser.consume(jsonLine(toolResult("toolu_unknown", JSON(true)))),
        Events { RunnerEvent::thinking() });
    EXPECT_EQ(parser.tools()[0].status, "ok");
    EXPECT_EQ(parser.tools()[1].status, "ok");
}

TEST(ClaudeStreamParser, OneThinkingPerResultBlockWhenNothingIsPending)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    std::string line = R"({"type":"user","message":{"content":[)"
                       R"({"type":"tool_result","tool_use_id":"a"},)"
                       R"({"type":"text","text":"x"},)"
                       R"({"type":"tool_result","tool_use_id":7},)"
                       R"({"type":"tool_result","tool_use_id":"b"}]}})";
    EXPECT_EQ(parser.consume(line), (Events { RunnerEvent::thinking(), RunnerEvent::thinking() }));
    EXPECT_TRUE(parser.consume(R"({"type":"user","message":{"content":"text"}})").empty());
}

TEST(ClaudeStreamParser, ARepeatedToolUseIDReplacesItsPendingEntry)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read") })));
    clock.now += 5s;
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Grep") })));

    ASSERT_EQ(parser.pending().size(), 1u);
    EXPECT_EQ(parser.pending().at("toolu_1").name, "Grep");
    EXPECT_EQ(parser.pending().at("toolu_1").since, clock.now);
    EXPECT_EQ(parser.tools().size(), 2u);
}

TEST(ClaudeStreamParser, CallTimesRoundToTheNearestMillisecond)
{
    using std::chrono::system_clock;
    const std::pair<system_clock::duration, std::int64_t> cases[] = {
        { 1'000'499'999ns, 1000 },
        { 1'000'500'000ns, 1001 },
        { 1'000'999'999ns, 1001 },
        { -1'000'500'000ns, -1001 },
        { -1'000'499'999ns, -1000 },
        { 0ns, 0 },
    };
    for (auto [sinceEpoch, milliseconds] : cases) {
        SCOPED_TRACE(sinceEpoch.count());
        ManualClock clock;
        clock.now = system_clock::time_point(sinceEpoch);
        ClaudeStreamParser parser(clock.function());
        parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read") })));
        ASSERT_EQ(parser.tools().size(), 1u);
        EXPECT_EQ(parser.tools()[0].at, milliseconds);
    }
}

TEST(ClaudeStreamParser, ResultErrorFlag)
{
    struct Case {
        const char* line;
        ClaudeStreamParser::Final final;
    };
    const Case cases[] = {
        { R"({"type":"result","subtype":"success","result":"Done."})", { "Done.", false, "success" } },
        { R"({"type":"result","subtype":"error_during_execution"})", { "", true, "error_during_execution" } },
        { R"({"type":"result","subtype":"Success"})", { "", true, "Success" } },
        { R"({"type":"result"})", { "", true, std::nullopt } },
        { R"({"type":"result","subtype":3,"result":4})", { "", true, std::nullopt } },
        { R"({"type":"result","subtype":"error_max_turns","is_error":false})",
            { "", false, "error_max_turns" } },
        { R"({"type":"result","subtype":"success","is_error":true})", { "", true, "success" } },
        { R"({"type":"result","subtype":"success","is_error":"true"})", { "", false, "success" } },
        { R"({"type":"result","is_error":"false"})", { "", true, std::nullopt } },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        ManualClock clock;
        ClaudeStreamParser parser(clock.function());
        EXPECT_TRUE(parser.consume(testCase.line).empty());
        ASSERT_TRUE(parser.final());
        EXPECT_EQ(*parser.final(), testCase.final);
    }
}

TEST(ClaudeStreamParser, ALaterResultReplacesTheEarlierOne)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read"), textBlock("pending words") })));
    parser.consume(R"({"type":"result","subtype":"success","result":"first",)"
                   R"("modelUsage":{"m":{"contextWindow":200000,"inputTokens":5}},)"
                   R"("permission_denials":[{"tool_name":"Bash"}]})");
    ASSERT_EQ(parser.denials().size(), 1u);
    EXPECT_EQ(parser.contextWindow(), 200000);

    parser.consume(R"({"type":"result","subtype":"error_during_execution","result":"second"})");

    EXPECT_EQ(*parser.final(), (ClaudeStreamParser::Final { "second", true, "error_during_execution" }));
    EXPECT_FALSE(parser.contextWindow());
    EXPECT_TRUE(parser.denials().empty());
    // A result closes nothing: calls and text stay as they were.
    EXPECT_EQ(parser.pending().size(), 1u);
    EXPECT_EQ(parser.pendingText(), std::vector<std::string> { "pending words" });
    EXPECT_EQ(parser.tools()[0].status, "stopped");
}

TEST(ClaudeStreamParser, DenialsAreReadUpToFiveHundred)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    JSON::Array denials;
    for (int index = 0; index < 600; ++index) {
        denials.push_back(
            JSON::object({ { "tool_name", "Bash" }, { "tool_use_id", "toolu_" + std::to_string(index) },
                { "tool_input", JSON::object({ { "command", "ls" } }) } }));
    }
    parser.consume(
        jsonLine(JSON::object({ { "type", "result" }, { "permission_denials", JSON(std::move(denials)) } })));

    ASSERT_EQ(parser.denials().size(), 500u);
    EXPECT_EQ(parser.denials().back().toolUseID, "toolu_499");
}

TEST(ClaudeStreamParser, DenialEntriesOfTheWrongShapeAreSkipped)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    std::string longName = manyCharacters('T', 50);
    JSON::Array denials {
        JSON("Bash"),
        JSON::object({}),
        JSON::object({ { "tool_name", 5 } }),
        JSON::object({ { "tool_name", longName }, { "tool_use_id", 9 }, { "tool_input", nullptr } }),
        JSON::object({ { "tool_name", "Write" } }),
    };
    parser.consume(
        jsonLine(JSON::object({ { "type", "result" }, { "permission_denials", JSON(std::move(denials)) } })));

    ASSERT_EQ(parser.denials().size(), 2u);
    EXPECT_EQ(parser.denials()[0], (ClaudeStreamParser::Denial { longName, std::nullopt, JSON(nullptr) }));
    EXPECT_EQ(parser.denials()[1], (ClaudeStreamParser::Denial { "Write", std::nullopt, std::nullopt }));

    // Only the first 500 entries are looked at, even when some of them are unusable.
    JSON::Array mixed(1, JSON(nullptr));
    for (int index = 0; index < 599; ++index)
        mixed.push_back(JSON::object({ { "tool_name", "Bash" } }));
    parser.consume(
        jsonLine(JSON::object({ { "type", "result" }, { "permission_denials", JSON(std::move(mixed)) } })));
    EXPECT_EQ(parser.denials().size(), 499u);

    parser.consume(R"({"type":"result","permission_denials":{"tool_name":"Bash"}})");
    EXPECT_TRUE(parser.denials().empty());
}

TEST(ClaudeStreamParser, UsageTokens)
{
    struct Case {
        const char* name;
        std::optional<JSON> usage;
        std::optional<std::int64_t> tokens;
    };
    const Case cases[] = {
        { "absent", std::nullopt, std::nullopt },
        { "all four",
            JSON::object({ { "input_tokens", 100 }, { "cache_creation_input_tokens", 20 },
                { "cache_read_input_tokens", 3 }, { "output_tokens", 4 } }),
            127 },
        { "fraction", JSON::object({ { "input_tokens", JSON::number(1.5) }, { "output_tokens", 2 } }), 2 },
        { "too large", JSON::object({ { "input_tokens", JSON::number(1e15) }, { "output_tokens", 2 } }), 2 },
        { "negative", JSON::object({ { "input_tokens", -50 }, { "output_tokens", 2 } }), 2 },
        { "text", JSON::object({ { "input_tokens", "50" } }), std::nullopt },
        { "zero", JSON::object({ { "input_tokens", 0 }, { "output_tokens", 0 } }), std::nullopt },
        { "other keys only", JSON::object({ { "inputTokens", 5 } }), std::nullopt },
        { "empty", JSON::object({}), std::nullopt },
        { "array", JSON::array({ 1, 2 }), std::nullopt },
        { "largest integers",
            JSON::object({ { "input_tokens", JSON::number(999'999'999'999'999.0) },
                { "cache_creation_input_tokens", JSON::number(999'999'999'999'999.0) },
                { "cache_read_input_tokens", JSON::number(999'999'999'999'999.0) },
                { "output_tokens", JSON::number(999'999'999'999'999.0) } }),
            3'999'999'999'999'996 },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(
            ClaudeStreamParser::usageTokens(testCase.usage ? &*testCase.usage : nullptr), testCase.tokens);
    }
}

TEST(ClaudeStreamParser, UsageOfZeroKeepsTheContextSize)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ textBlock("a") }, JSON::object({ { "input_tokens", 1200 } }))));
    EXPECT_EQ(parser.contextJSON(), JSON::object({ { "tokens", 1200 } }));

    parser.consume(jsonLine(assistant({ textBlock("b") }, JSON::object({ { "input_tokens", 0 } }))));
    parser.consume(jsonLine(assistant({ textBlock("c") })));
    EXPECT_EQ(parser.contextTokens(), 1200);

    parser.consume(jsonLine(assistant({}, JSON::object({ { "output_tokens", 7 } }))));
    EXPECT_EQ(parser.contextTokens(), 7);
}

TEST(ClaudeStreamParser, ContextJSONNeedsTokens)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(R"({"type":"result","modelUsage":{"m":{"contextWindow":200000}}})");
    EXPECT_EQ(parser.contextWindow(), 200000);
    EXPECT_FALSE(parser.contextJSON());
}

TEST(ClaudeStreamParser, ContextWindowOfTheBusiestModel)
{
    struct Case {
        const char* name;
        const char* modelUsage;
        std::optional<std::int64_t> window;
    };
    const Case cases[] = {
        { "more input-side tokens win",
            R"({"haiku":{"contextWindow":200000,"inputTokens":10,"outputTokens":9000},)"
            R"("opus":{"contextWindow":1000000,"inputTokens":5,"cacheReadInputTokens":4,"cacheCreationInputTokens":2}})",
            1000000 },
        { "a window of 0 or none is never chosen",
            R"({"a":{"contextWindow":0,"inputTokens":900},"b":{"inputTokens":800},)"
            R"("c":{"contextWindow":1.5,"inputTokens":700},"d":{"contextWindow":200000}})",
            200000 },
        { "equal weights keep the first visited",
            R"({"b":{"contextWindow":2000,"inputTokens":5},"a":{"contextWindow":1000,"inputTokens":5}})",
            1000 },
        { "negative tokens count against a model",
            R"({"a":{"contextWindow":1000,"inputTokens":-5},"b":{"contextWindow":2000,"inputTokens":-1}})",
            2000 },
        { "not an object", R"([{"contextWindow":1000}])", std::nullopt },
        { "no usable model", R"({"a":{"contextWindow":-3},"b":{},"c":7})", std::nullopt },
        { "empty", R"({})", std::nullopt },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::optional<JSON> modelUsage = JSON::decode(testCase.modelUsage);
        ASSERT_TRUE(modelUsage);
        EXPECT_EQ(ClaudeStreamParser::contextWindow(&*modelUsage), testCase.window);
    }
    EXPECT_EQ(ClaudeStreamParser::contextWindow(nullptr), std::nullopt);
}

TEST(ClaudeStreamParser, RecordsCompareTextsByCanonicalEquivalence)
{
    // "é" precomposed and as "e" with a combining accent.
    ClaudeStreamParser::Final precomposed { "caf\xC3\xA9", false, "success" };
    ClaudeStreamParser::Final decomposed { "cafe\xCC\x81", false, "success" };
    EXPECT_EQ(precomposed, decomposed);
    EXPECT_NE(precomposed, (ClaudeStreamParser::Final { "caf\xC3\xA9", true, "success" }));
    EXPECT_NE(precomposed, (ClaudeStreamParser::Final { "caf\xC3\xA9", false, std::nullopt }));

    ClaudeStreamParser::Denial withNullInput { "Bash", "toolu_1", JSON(nullptr) };
    EXPECT_NE(withNullInput, (ClaudeStreamParser::Denial { "Bash", "toolu_1", std::nullopt }));
    EXPECT_NE(withNullInput, (ClaudeStreamParser::Denial { "Bash", std::nullopt, JSON(nullptr) }));
}

TEST(ClaudeStreamParser, CopiesAreIndependent)
{
    ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    parser.consume(jsonLine(assistant({ toolUseBlock("toolu_1", "Read") })));
    ClaudeStreamParser copy = parser;

    copy.consume(jsonLine(toolResult("toolu_1", JSON(true))));

    EXPECT_EQ(parser.tools()[0].status, "stopped");
    EXPECT_EQ(parser.pending().size(), 1u);
    EXPECT_EQ(copy.tools()[0].status, "error");
    EXPECT_TRUE(copy.pending().empty());
    EXPECT_EQ(copy.eventCount(), parser.eventCount() + 1);
}

}
