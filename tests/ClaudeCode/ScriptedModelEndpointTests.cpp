// The scripted model endpoint (tests/peers/scripted_model.py) stands in for the Messages API in
// every test that runs the real Claude Code CLI; these tests hold it to its contract with curl.
#include "VellumarMacCore/Foundations/JSON.h"

#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;

namespace {

struct Answer {
    int status = 0;
    std::string body;
};

// One curl request; `headers` come before the body.
Answer post(const test::ScriptedModel& model, const std::string& path, const std::string& body,
    const std::vector<std::string>& headers = { "Content-Type: application/json" })
{
    std::vector<std::string> command { "curl", "-s", "-o", "-", "-w", "\n%{http_code}" };
    for (const std::string& header : headers)
        command.insert(command.end(), { "-H", header });
    command.insert(command.end(), { model.baseURL() + path, "--data-binary", body });
    test::PeerResult result = test::runPeer(command);
    std::size_t cut = result.output.rfind('\n');
    if (result.exitStatus != 0 || cut == std::string::npos)
        return {};
    return { std::stoi(result.output.substr(cut + 1)), result.output.substr(0, cut) };
}

JSON decoded(const std::string& body) { return JSON::decode(body).value_or(JSON("<not JSON>")); }

// The "data:" payloads of a server-sent event stream, in order.
std::vector<JSON> eventData(const std::string& stream)
{
    std::vector<JSON> events;
    std::size_t start = 0;
    while ((start = stream.find("data: ", start)) != std::string::npos) {
        start += 6;
        std::size_t end = stream.find('\n', start);
        events.push_back(decoded(stream.substr(start, end - start)));
        start = end;
    }
    return events;
}

std::string typeOf(const JSON& value)
{
    const JSON* type = value.subscript("type");
    return type && type->stringValue() ? *type->stringValue() : "<none>";
}

const std::string kTools = R"("tools": [{"name": "Read"}])";

TEST(ScriptedModelEndpoint, PicksTheStepByTheAssistantMessagesSoFar)
{
    test::TemporaryFolder folder;
    test::ScriptedModel model(folder.path(),
        R"([{"text": "first"}, {"tool_use": {"name": "Write", "input": {"file_path": "a"}}}, {"status": 529}])");

    Answer step0 = post(model, "/v1/messages", "{" + kTools + R"(, "messages": [{"role": "user"}]})");
    ASSERT_EQ(step0.status, 200);
    EXPECT_EQ(*decoded(step0.body).subscript("content"),
        JSON::array({ JSON::object({ { "type", "text" }, { "text", "first" } }) }));
    EXPECT_EQ(*decoded(step0.body).subscript("stop_reason"), JSON("end_turn"));

    Answer step1
        = post(model, "/v1/messages?beta=true", "{" + kTools + R"(, "stream": true, "model": "claude-x",
                  "messages": [{"role": "user"}, {"role": "assistant"}, {"role": "user"}]})");
    ASSERT_EQ(step1.status, 200);
    std::vector<JSON> events = eventData(step1.body);
    std::vector<std::string> types;
    std::transform(events.begin(), events.end(), std::back_inserter(types), typeOf);
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

    Answer step2 = post(model, "/v1/messages",
        "{" + kTools + R"(, "messages": [{"role": "assistant"}, {"role": "assistant"}]})");
    EXPECT_EQ(step2.status, 529);
    EXPECT_EQ(typeOf(*decoded(step2.body).subscript("error")), "overloaded_error");
}

TEST(ScriptedModelEndpoint, AnswersWhatTheScriptDoesNotCover)
{
    test::TemporaryFolder folder;
    test::ScriptedModel model(folder.path(), R"([{"text": "only step"}])");

    // Past the script, and for requests that offer no tools (the CLI's side requests), a short text.
    for (const std::string& body :
        { "{" + kTools + R"(, "messages": [{"role": "assistant"}]})", std::string(R"({"messages": []})") }) {
        SCOPED_TRACE(body);
        Answer answer = post(model, "/v1/messages", body);
        EXPECT_EQ(answer.status, 200);
        ASSERT_NE(decoded(answer.body).subscript("content"), nullptr);
        EXPECT_EQ(*decoded(answer.body).subscript("content"),
            JSON::array({ JSON::object({ { "type", "text" }, { "text", "OK." } }) }));
    }
    Answer count = post(model, "/v1/messages/count_tokens?beta=true", R"({"messages": []})");
    EXPECT_EQ(count.status, 200);
    ASSERT_NE(decoded(count.body).subscript("input_tokens"), nullptr);
    EXPECT_TRUE(decoded(count.body).subscript("input_tokens")->intValue());

    const std::pair<const char*, int> refused[] = { { "[1]", 400 }, { "null", 400 }, { "not JSON", 400 } };
    for (auto [body, status] : refused) {
        SCOPED_TRACE(body);
        EXPECT_EQ(post(model, "/v1/messages", body).status, status);
    }
    EXPECT_EQ(post(model, "/v1/complete", "{}").status, 404);

    // Every request is logged, refused ones included.
    std::string log = model.requestLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7);
}

TEST(ScriptedModelEndpoint, RefusesBodiesWithoutABoundedLength)
{
    test::TemporaryFolder folder;
    test::ScriptedModel model(folder.path(), "[]");

    EXPECT_EQ(post(model, "/v1/messages", "{}", { "Transfer-Encoding: chunked" }).status, 411);
    EXPECT_EQ(post(model, "/v1/messages", "{}", { "Content-Length: 999999999999" }).status, 413);
    EXPECT_EQ(post(model, "/v1/messages", R"({"messages": []})").status, 200);
}

}
