// The parser on hand-made lines, each case pinned as one summary of the events and everything the
// parser keeps. Runs of the real CLI are in ClaudeInvocationRealCLITests.
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include "tests/ClaudeCode/ParserSummary.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

std::string assistant(const std::string& blocks, const std::string& usage = "")
{
    return R"({"type":"assistant","message":{"content":[)" + blocks + "]" + usage + "}}";
}

// `text` is already escaped for JSON.
std::string text(const std::string& text) { return R"({"type":"text","text":")" + text + R"("})"; }

std::string toolUse(const std::string& id, const std::string& name, const std::string& input = "{}")
{
    return R"({"type":"tool_use","id":")" + id + R"(","name":")" + name + R"(","input":)" + input + "}";
}

std::string user(const std::string& blocks)
{
    return R"({"type":"user","message":{"content":[)" + blocks + "]}}";
}

std::string toolResult(const std::string& id, const std::string& more = "")
{
    return R"({"type":"tool_result","tool_use_id":")" + id + "\"" + more + "}";
}

std::string summary(const std::vector<std::string>& lines)
{
    test::ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    std::vector<RunnerEvent> events;
    for (const auto& line : lines) {
        auto more = parser.consume(line);
        events.insert(events.end(), more.begin(), more.end());
    }
    return test::parserSummary(events, parser);
}

TEST(ClaudeStreamParser, HandMadeLines)
{
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string expected;
    };
    const std::string session = R"({"type":"system","session_id":")";
    // "e" with a combining acute accent is one character of three bytes.
    const std::string accented = test::repeated("e\xCC\x81", 50), plain = "mcp__" + std::string(45, 'x');
    const Case cases[] = {
        { "lines that are no events",
            { "", " \t ", "Loading configuration...", R"({"type":"system","subtype":"init")",
                R"([{"type":"system"}])", R"({"type":1,"session_id":"abcdefgh-1234"})",
                "{\"type\":\"system\",\"x\":\"\xC3\x28\"}", R"({"type":"system"}{"type":"system"})" },
            "| n=0" },
        { "any event carries the session id; a later one replaces it unless it breaks the rule",
            { session + "first-id\"}", R"({"type":"stream_event","session_id":"abcdefgh-1234"})",
                session + "abcd_efg\"}" },
            "| n=3 session=abcdefgh-1234" },
        { "text before a tool call is shown first; targets are redacted, inputs kept",
            { assistant(text("Let me look.") + ","
                + toolUse(
                    "t1", "Bash", R"({"command":"curl -H 'Authorization: Bearer abcdefgh12345678' x"})")) },
            "interim(Let me look.) tool(Bash) | n=1 tool=t1/Bash/command/curl -H 'Authorization: Bearer "
            "\xEF\xBC\x8A\xEF\xBC\x8A\xEF\xBC\x8A' x/stopped/{\"command\":\"curl -H 'Authorization: Bearer "
            "abcdefgh12345678' x\"} pending=t1/Bash text=Let me look." },
        { "tool names are cut to forty characters in the record only",
            { assistant(toolUse("t1", accented) + "," + toolUse("t2", plain)) },
            "tool(" + accented + ") tool(" + plain + ") | n=1 tool=t1/" + accented.substr(0, 40 * 3)
                + "/other//stopped/{} tool=t2/" + plain.substr(0, 40) + "/other//stopped/{} pending=t1/"
                + accented + " pending=t2/" + plain },
        { "a boolean is_error marks a failed tool; thinking once nothing is pending",
            { assistant(toolUse("t1", "Read") + "," + toolUse("t2", "Bash")),
                user(toolResult("t1", R"(,"is_error":true)")),
                user(toolResult("t2", R"(,"is_error":"true")")) },
            "tool(Read) tool(Bash) thinking | n=3 tool=t1/Read/read//error/{} "
            "tool=t2/Bash/command//ok/{}" },
        { "usage sums every token count; the window is the one of the most input-side tokens",
            { assistant("",
                  R"(,"usage":{"input_tokens":100,"cache_creation_input_tokens":20,)"
                  R"("cache_read_input_tokens":3,"output_tokens":4})"),
                R"({"type":"result","modelUsage":{"haiku":{"contextWindow":200000,"inputTokens":10,)"
                R"("outputTokens":9000},"opus":{"contextWindow":1000000,"inputTokens":5,)"
                R"("cacheReadInputTokens":4,"cacheCreationInputTokens":2}}})" },
            "| n=2 final=/error/- context={\"tokens\":127,\"window\":1000000}" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(summary(testCase.lines), testCase.expected);
    }
}

TEST(ClaudeStreamParser, RecordsStopAtFiveHundredToolCallsAndDenials)
{
    test::ManualClock clock;
    ClaudeStreamParser parser(clock.function());
    for (std::size_t index = 0; index <= ClaudeStreamParser::maxTools; ++index)
        parser.consume(assistant(toolUse("t" + std::to_string(index), "Read")));
    EXPECT_EQ(parser.tools().size(), 500u);

    // Only the first 500 entries are looked at, even when some of them are unusable.
    parser.consume(R"({"type":"result","permission_denials":[null,)"
        + test::repeated(R"({"tool_name":"Bash"},)", 599) + R"({"tool_name":"Bash"}]})");
    EXPECT_EQ(parser.denials().size(), 499u);
}

}
