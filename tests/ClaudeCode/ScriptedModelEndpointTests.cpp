// The scripted model endpoint (tests/peers/scripted_model.py) stands in for the Messages API in
// every test that runs the real Claude Code CLI; these tests hold it to its contract with curl.
#include "VellumarMacCore/Foundations/JSON.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace vellumar;

namespace {

// Starts the endpoint on `script`, then runs `requests` (bash, with $u the endpoint's base URL)
// in the folder; the endpoint is stopped when they end.
test::PeerResult withEndpoint(
    const test::TemporaryFolder& folder, const std::string& script, const std::string& requests)
{
    {
        std::ofstream file(folder / "script.json");
        file << script;
    }
    const std::string run = R"(
        set -u
        cd "$1"
        coproc ENDPOINT { exec python3 "$2/tests/peers/scripted_model.py" script.json requests.jsonl; }
        trap 'kill $ENDPOINT_PID' EXIT
        read -r port <&"${ENDPOINT[0]}"
        u="http://127.0.0.1:$port"
    )" + requests;
    return test::runPeer(
        { "bash", "-c", run, "endpoint", folder.path().string(), test::sourceDir().string() });
}

JSON decodedFile(const std::filesystem::path& file)
{
    return JSON::decode(test::readFile(file)).value_or(JSON("<not JSON>"));
}

// The "data:" payloads of a server-sent event stream, in order.
std::vector<JSON> eventData(const std::string& stream)
{
    std::vector<JSON> events;
    std::size_t start = 0;
    while ((start = stream.find("data: ", start)) != std::string::npos) {
        start += 6;
        std::size_t end = stream.find('\n', start);
        events.push_back(JSON::decode(stream.substr(start, end - start)).value_or(JSON("<not JSON>")));
        start = end;
    }
    return events;
}

const std::string* typeOf(const JSON& value)
{
    const JSON* type = value.subscript("type");
    return type ? type->stringValue() : nullptr;
}

TEST(ScriptedModelEndpoint, PicksTheStepByTheAssistantMessagesSoFar)
{
    test::TemporaryFolder folder;
    const std::string script
        = R"([{"text": "first"}, {"tool_use": {"name": "Write", "input": {"file_path": "a"}}},
        {"status": 529}])";
    const std::string requests = R"(
        tools='"tools": [{"name": "Read"}]'
        post() { curl -s -o "$1" -w '%{http_code}\n' -H 'content-type: application/json' "$u$2" -d "$3"; }
        post step0.json /v1/messages "{$tools, \"messages\": [{\"role\": \"user\", \"content\": \"hi\"}]}"
        post step1.sse '/v1/messages?beta=true' "{$tools, \"stream\": true, \"model\": \"claude-x\",
            \"messages\": [{\"role\": \"user\"}, {\"role\": \"assistant\"}, {\"role\": \"user\"}]}"
        post step2.json /v1/messages "{$tools, \"messages\": [{\"role\": \"assistant\"}, {\"role\": \"assistant\"}]}"
        post beyond.json /v1/messages "{$tools, \"messages\": [{\"role\": \"assistant\"}, {\"role\": \"assistant\"}, {\"role\": \"assistant\"}]}"
        post title.json /v1/messages '{"messages": [{"role": "assistant"}, {"role": "assistant"}]}'
        post count.json '/v1/messages/count_tokens?beta=true' '{"messages": []}'
        post array.json /v1/messages '[1]'
        post null.json /v1/messages 'null'
        post other.json /v1/complete '{}'
    )";

    test::PeerResult result = withEndpoint(folder, script, requests);

    ASSERT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "200\n200\n529\n200\n200\n200\n400\n400\n404\n");

    JSON step0 = decodedFile(folder / "step0.json");
    EXPECT_EQ(*step0.subscript("content"),
        JSON::array({ JSON::object({ { "type", "text" }, { "text", "first" } }) }));
    EXPECT_EQ(*step0.subscript("stop_reason"), JSON("end_turn"));

    std::vector<JSON> events = eventData(test::readFile(folder / "step1.sse"));
    std::vector<std::string> types;
    for (const JSON& event : events)
        types.push_back(typeOf(event) ? *typeOf(event) : "<none>");
    EXPECT_EQ(types,
        (std::vector<std::string> { "message_start", "content_block_start", "content_block_delta",
            "content_block_stop", "message_delta", "message_stop" }));
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(*events[0].subscript("message")->subscript("model"), JSON("claude-x"));
    const JSON* block = events[1].subscript("content_block");
    EXPECT_EQ(*block->subscript("type"), JSON("tool_use"));
    EXPECT_EQ(*block->subscript("name"), JSON("Write"));
    const std::string* partial = events[2].subscript("delta")->subscript("partial_json")->stringValue();
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(JSON::decode(*partial), JSON::object({ { "file_path", "a" } }));
    EXPECT_EQ(*events[4].subscript("delta")->subscript("stop_reason"), JSON("tool_use"));

    EXPECT_EQ(
        *decodedFile(folder / "step2.json").subscript("error")->subscript("type"), JSON("overloaded_error"));
    // Past the script, and for requests that offer no tools (the CLI's side requests), a short text.
    for (const char* name : { "beyond.json", "title.json" }) {
        SCOPED_TRACE(name);
        JSON answer = decodedFile(folder / name);
        ASSERT_NE(answer.subscript("content"), nullptr);
        EXPECT_EQ(*answer.subscript("content"),
            JSON::array({ JSON::object({ { "type", "text" }, { "text", "OK." } }) }));
    }
    ASSERT_NE(decodedFile(folder / "count.json").subscript("input_tokens"), nullptr);
    EXPECT_TRUE(decodedFile(folder / "count.json").subscript("input_tokens")->intValue());

    // Every request is logged, bad ones included.
    std::string log = test::readFile(folder / "requests.jsonl");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 9);
}

TEST(ScriptedModelEndpoint, RefusesBodiesWithoutALength)
{
    test::TemporaryFolder folder;
    const std::string requests = R"(
        curl -s -o /dev/null -w '%{http_code}\n' -H 'Transfer-Encoding: chunked' "$u/v1/messages" -d '{}'
        curl -s -o /dev/null -w '%{http_code}\n' -H 'Content-Length: 999999999999' "$u/v1/messages" -d '{}'
        curl -s -o /dev/null -w '%{http_code}\n' "$u/v1/messages" -d '{"messages": []}'
    )";

    test::PeerResult result = withEndpoint(folder, "[]", requests);

    ASSERT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "411\n413\n200\n");
}

}
