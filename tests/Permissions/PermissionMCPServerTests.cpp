// The permission sub-mode through the real executable, as Claude Code starts it.
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

const std::string kExecutable = VELLUMAR_EXECUTABLE;
const std::string kFlag(PermissionMCPServer::flag);
const std::string kUnreachableText = "{\\\"behavior\\\":\\\"deny\\\",\\\"message\\\":\\\"Vellumar for Mac "
                                     "could not be asked, so this was refused.\\\"}";

std::string approveCall(int id, const std::string& arguments)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id)
        + ",\"method\":\"tools/call\",\"params\":{\"name\":\"approve\",\"arguments\":" + arguments + "}}\n";
}

std::string toolResult(int id, const std::string& escapedText)
{
    return "{\"id\":" + std::to_string(id) + ",\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\""
        + escapedText + "\",\"type\":\"text\"}]}}";
}

// A gate whose answers the test gives one by one, by the request's "tool_use_id". The state is
// shared with the gate's connection threads, which may outlive the test's use of it.
class AnsweringGate {
public:
    AnsweringGate()
        : m_gate([state = m_state](const JSON& request) { return state->answer(request); })
    {
    }

    const std::string& path() const { return m_gate.path(); }
    void close() { m_gate.close(); }

    bool waitForRequests(std::size_t count)
    {
        std::unique_lock guard(m_state->lock);
        return m_state->changed.wait_for(
            guard, std::chrono::seconds(60), [&] { return m_state->requests.size() >= count; });
    }
    std::vector<JSON> requests()
    {
        std::lock_guard guard(m_state->lock);
        return m_state->requests;
    }
    void reply(const std::string& toolUseID, JSON decision)
    {
        std::lock_guard guard(m_state->lock);
        m_state->answers.emplace(toolUseID, std::move(decision));
        m_state->changed.notify_all();
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<JSON> requests;
        std::map<std::string, JSON> answers;

        JSON answer(const JSON& request)
        {
            const JSON* id = request.subscript("tool_use_id");
            std::string key = id && id->stringValue() ? *id->stringValue() : "";
            std::unique_lock guard(lock);
            requests.push_back(request);
            changed.notify_all();
            changed.wait(guard, [&] { return answers.contains(key); });
            return answers.at(key);
        }
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    PermissionGate m_gate;
};

}

TEST(PermissionMCPServer, AnswersAnUnknownMethodWithAnEmptyResult)
{
    test::PeerResult result = test::runPeer(
        { kExecutable, kFlag, "/nonexistent/s" }, "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"foo\"}\n");
    EXPECT_EQ(result.output, "{\"id\":7,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(PermissionMCPServer, AnswersEachKindOfMessageAsTheProtocolSays)
{
    const std::string tool
        = "{\"description\":\"Vellumar for Mac passes Claude Code's permission questions to the user's "
          "iPhone.\","
          "\"inputSchema\":{\"additionalProperties\":true,\"properties\":{\"input\":{\"type\":\"object\"},"
          "\"tool_name\":{\"type\":\"string\"},\"tool_use_id\":{\"type\":\"string\"}},\"type\":\"object\"},"
          "\"name\":\"approve\"}";
    struct Case {
        std::string name;
        std::string input;
        std::string output;
    };
    const std::vector<Case> cases = {
        { "initialize with a version",
            "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"2024-"
            "11-05\"}}\n",
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"capabilities\":{\"tools\":{}},\"protocolVersion\":"
            "\"2024-11-05\","
            "\"serverInfo\":{\"name\":\"vellumar\",\"version\":\"1\"}}}\n" },
        { "initialize without params", "{\"jsonrpc\":\"2.0\",\"id\":\"a\",\"method\":\"initialize\"}\n",
            "{\"id\":\"a\",\"jsonrpc\":\"2.0\",\"result\":{\"capabilities\":{\"tools\":{}},"
            "\"protocolVersion\":\"2025-06-18\","
            "\"serverInfo\":{\"name\":\"vellumar\",\"version\":\"1\"}}}\n" },
        { "initialize with a number as version",
            "{\"id\":2,\"method\":\"initialize\",\"params\":{\"protocolVersion\":3}}\n",
            "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{\"capabilities\":{\"tools\":{}},\"protocolVersion\":"
            "\"2025-06-18\","
            "\"serverInfo\":{\"name\":\"vellumar\",\"version\":\"1\"}}}\n" },
        { "tools/list", "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/list\"}\n",
            "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{\"tools\":[" + tool + "]}}\n" },
        { "tools/list without id", "{\"jsonrpc\":\"2.0\",\"method\":\"tools/list\"}\n",
            "{\"id\":null,\"jsonrpc\":\"2.0\",\"result\":{\"tools\":[" + tool + "]}}\n" },
        { "notification", "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n", "" },
        { "null id", "{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}\n", "" },
        { "no method", "{\"id\":[1]}\n", "{\"id\":[1],\"jsonrpc\":\"2.0\",\"result\":{}}\n" },
        { "not JSON", "hello\n", "" },
        { "array", "[{\"id\":1,\"method\":\"tools/list\"}]\n", "" },
        { "empty line", "\n", "" },
        { "empty object", "{}\n", "" },
        { "unfinished line at end of input", "{\"id\":8,\"method\":\"ping\"}", "" },
        { "two in a row", "{\"id\":1,\"method\":\"a\"}\n\n{\"id\":2,\"method\":\"b\"}\n",
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::PeerResult result = test::runPeer({ kExecutable, kFlag, "/nonexistent/s" }, testCase.input);
        EXPECT_EQ(result.output, testCase.output);
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST(PermissionMCPServer, RefusesCallsOfOtherToolsAsUnknown)
{
    auto unknownTool = [](const std::string& id) {
        return "{\"error\":{\"code\":-32602,\"message\":\"unknown tool\"},\"id\":" + id
            + ",\"jsonrpc\":\"2.0\"}";
    };
    struct Case {
        std::string name;
        std::string input;
        std::string output;
    };
    const std::vector<Case> cases = {
        { "another tool", "{\"id\":4,\"method\":\"tools/call\",\"params\":{\"name\":\"Bash\"}}\n",
            unknownTool("4") },
        { "no params", "{\"id\":5,\"method\":\"tools/call\"}\n", unknownTool("5") },
        { "params not an object", "{\"id\":5,\"method\":\"tools/call\",\"params\":[]}\n", unknownTool("5") },
        { "name not a string", "{\"id\":6,\"method\":\"tools/call\",\"params\":{\"name\":1}}\n",
            unknownTool("6") },
        { "without id", "{\"method\":\"tools/call\",\"params\":{}}\n", unknownTool("null") },
    };
    test::InteractivePeer server({ kExecutable, kFlag, "/nonexistent/s" });
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_TRUE(server.send(testCase.input));
        EXPECT_EQ(server.readLine(), testCase.output);
    }
}

TEST(PermissionMCPServer, DropsALineOverOneMebibyteWhole)
{
    // The dropped line ends in a message of its own; none of it may be taken for a request.
    std::string input = std::string(3000000, ' ') + "{\"id\":9,\"method\":\"ping\"}\n"
        + "{\"id\":10,\"method\":\"ping\"}\n";
    test::PeerResult result = test::runPeer({ kExecutable, kFlag, "/nonexistent/s" }, input);
    EXPECT_EQ(result.output, "{\"id\":10,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
}

TEST(PermissionMCPServer, RefusesAtOnceWhenTheApplicationCannotBeReached)
{
    test::TemporaryFolder folder;
    std::string tooLong = "/" + std::string(200, 'x') + "/s";
    for (const std::string& socketPath :
        { std::string("/nonexistent/s"), tooLong, (folder / "not-a-socket").string() }) {
        SCOPED_TRACE(socketPath);
        test::InteractivePeer server({ kExecutable, kFlag, socketPath });
        ASSERT_TRUE(server.send(approveCall(1, "{\"tool_name\":\"Write\"}")));
        // Input stays open: the answer must come without waiting for anything.
        EXPECT_EQ(server.readLine(), toolResult(1, kUnreachableText));
        server.closeInput();
        EXPECT_EQ(server.wait(), 0);
    }
}

TEST(PermissionMCPServer, PassesTheArgumentsToTheGateAndItsDecisionBack)
{
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(approveCall(1,
        "{\"tool_name\":\"Write\",\"input\":{\"file_path\":\"/a/"
        "b\"},\"tool_use_id\":\"t1\",\"extra\":[1]}")));
    ASSERT_TRUE(gate.waitForRequests(1));
    EXPECT_EQ(gate.requests()[0].encoded(),
        "{\"extra\":[1],\"input\":{\"file_path\":\"/a/b\"},\"tool_name\":\"Write\",\"tool_use_id\":\"t1\"}");
    gate.reply("t1",
        JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON::object({ { "file_path", "/a/b" } }) },
            { "note", "kept" } }));
    EXPECT_EQ(server.readLine(),
        toolResult(1,
            "{\\\"behavior\\\":\\\"allow\\\",\\\"note\\\":\\\"kept\\\",\\\"updatedInput\\\":{\\\"file_"
            "path\\\":\\\"/a/b\\\"}}"));

    ASSERT_TRUE(server.send(
        "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\"}}\n"));
    ASSERT_TRUE(gate.waitForRequests(2));
    EXPECT_EQ(gate.requests()[1].encoded(), "{}");
    gate.reply("", JSON::object({ { "behavior", "deny" }, { "message", "No." } }));
    EXPECT_EQ(
        server.readLine(), toolResult(2, "{\\\"behavior\\\":\\\"deny\\\",\\\"message\\\":\\\"No.\\\"}"));
    server.closeInput();
    EXPECT_EQ(server.wait(), 0);
}

TEST(PermissionMCPServer, RefusesWhenTheGateAnswersWithoutAKnownBehavior)
{
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    struct Case {
        std::string toolUseID;
        JSON decision;
    };
    const std::vector<Case> cases = {
        { "maybe", JSON::object({ { "behavior", "maybe" } }) },
        { "number", JSON::object({ { "behavior", 1 } }) },
        { "missing", JSON::object({ { "message", "x" } }) },
        { "upper case", JSON::object({ { "behavior", "Allow" } }) },
    };
    int id = 0;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.toolUseID);
        ASSERT_TRUE(server.send(approveCall(++id, "{\"tool_use_id\":\"" + testCase.toolUseID + "\"}")));
        gate.reply(testCase.toolUseID, testCase.decision);
        EXPECT_EQ(server.readLine(), toolResult(id, kUnreachableText));
    }
}

TEST(PermissionMCPServer, WritesAnswersInTheOrderTheyAreGiven)
{
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(
        approveCall(1, "{\"tool_use_id\":\"first\"}") + approveCall(2, "{\"tool_use_id\":\"second\"}")));
    ASSERT_TRUE(gate.waitForRequests(2));
    // Other requests are still served while both calls wait.
    ASSERT_TRUE(server.send("{\"id\":3,\"method\":\"ping\"}\n"));
    EXPECT_EQ(server.readLine(), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{}}");
    gate.reply("second", JSON::object({ { "behavior", "deny" }, { "message", "2" } }));
    EXPECT_EQ(server.readLine(), toolResult(2, "{\\\"behavior\\\":\\\"deny\\\",\\\"message\\\":\\\"2\\\"}"));
    gate.reply("first", JSON::object({ { "behavior", "deny" }, { "message", "1" } }));
    EXPECT_EQ(server.readLine(), toolResult(1, "{\\\"behavior\\\":\\\"deny\\\",\\\"message\\\":\\\"1\\\"}"));
}

TEST(PermissionMCPServer, EndsAtEndOfInputWithoutWaitingForOpenCalls)
{
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(approveCall(1, "{\"tool_use_id\":\"never\"}")));
    ASSERT_TRUE(gate.waitForRequests(1));
    server.closeInput();
    EXPECT_EQ(server.readLine(), std::nullopt);
    EXPECT_EQ(server.wait(), 0);
    gate.reply("never", JSON::object({ { "behavior", "deny" }, { "message", "late" } }));
}

TEST(PermissionMCPServer, RefusesAtOnceOnceTheGateIsClosed)
{
    AnsweringGate gate;
    gate.close();
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(approveCall(1, "{}")));
    EXPECT_EQ(server.readLine(), toolResult(1, kUnreachableText));
}

TEST(PermissionMCPServerInProcess, HandlesMessagesWithoutTouchingTheSocketUnlessAsked)
{
    EXPECT_EQ(PermissionMCPServer::handle(JSON("text"), "/nonexistent/s"), std::nullopt);
    EXPECT_EQ(
        PermissionMCPServer::handle(JSON::object({ { "method", "x" } }), "/nonexistent/s"), std::nullopt);
    EXPECT_EQ(PermissionMCPServer::askApp("/nonexistent/s", JSON::object({})),
        PermissionMCPServer::unreachableReply());
    EXPECT_EQ(PermissionMCPServer::roundTrip("/nonexistent/s", "{}", 1.0, 10), std::nullopt);
}

TEST(PermissionMCPServerInProcess, RoundTripReturnsTheReplyLineOnly)
{
    PermissionGate gate([](const JSON& request) {
        return JSON::object({ { "behavior", "allow" }, { "echo", request } });
    });
    EXPECT_EQ(PermissionMCPServer::roundTrip(gate.path(), "{\"a\":1}", 30.0, 1048576),
        "{\"behavior\":\"allow\",\"echo\":{\"a\":1}}");
    EXPECT_EQ(PermissionMCPServer::roundTrip(gate.path(), "not json", 30.0, 1048576),
        "{\"behavior\":\"deny\",\"message\":\"This needs a confirmation that could not be given here, so it "
        "was refused.\"}");
}
