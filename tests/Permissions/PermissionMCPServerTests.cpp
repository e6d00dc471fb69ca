// The permission sub-mode through the real executable, as Claude Code starts it.
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "tests/support/InteractivePeer.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <set>

using namespace vellumar;

namespace {

const std::string kExecutable = VELLUMAR_EXECUTABLE;
const std::string kFlag(PermissionMCPServer::flag);
const JSON kUnreachable = JSON::object(
    { { "behavior", "deny" }, { "message", "Vellumar for Mac could not be asked, so this was refused." } });

std::string approveCall(int id, const std::string& arguments)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id)
        + ",\"method\":\"tools/call\",\"params\":{\"name\":\"approve\",\"arguments\":" + arguments + "}}\n";
}

// The answer to a call with `id`: the decision as the text of its one content item.
std::string toolResult(int id, const JSON& decision)
{
    JSON content = JSON::array({ JSON::object({ { "type", "text" }, { "text", decision.encoded() } }) });
    return JSON::object(
        { { "jsonrpc", "2.0" }, { "id", id }, { "result", JSON::object({ { "content", content } }) } })
        .encoded();
}

// A gate that holds each request under its text until the test releases it with a decision.
PermissionGate::Decide heldDecision(std::shared_ptr<test::HeldCalls> held)
{
    return
        [held](const JSON& request) { return JSON::decode(held->hold(request.encoded())).value_or(JSON()); };
}

}

TEST(PermissionMCPServer, AnswersEachKindOfMessageAsTheProtocolSays)
{
    const std::string initialized = ",\"jsonrpc\":\"2.0\",\"result\":{\"capabilities\":{\"tools\":{}},"
                                    "\"protocolVersion\":";
    const std::string server = ",\"serverInfo\":{\"name\":\"vellumar\",\"version\":\"1\"}}}\n";
    struct Case {
        std::string name, input, output;
    };
    const std::vector<Case> cases = {
        { "initialize with a version",
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})"
            "\n",
            "{\"id\":1" + initialized + "\"2024-11-05\"" + server },
        { "initialize without one", "{\"id\":\"a\",\"method\":\"initialize\"}\n",
            "{\"id\":\"a\"" + initialized + "\"2025-06-18\"" + server },
        { "tools/list", "{\"id\":3,\"method\":\"tools/list\"}\n",
            "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{\"tools\":[{\"description\":\"Vellumar for Mac passes "
            "Claude "
            "Code's permission questions to the user's "
            "iPhone.\",\"inputSchema\":{\"additionalProperties\":true,"
            "\"properties\":{\"input\":{\"type\":\"object\"},\"tool_name\":{\"type\":\"string\"},\"tool_use_"
            "id\":{"
            "\"type\":\"string\"}},\"type\":\"object\"},\"name\":\"approve\"}]}}\n" },
        { "notification", "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n", "" },
        { "an id but no method", "{\"id\":[1]}\n", "{\"id\":[1],\"jsonrpc\":\"2.0\",\"result\":{}}\n" },
        { "not JSON, then unknown methods after an empty line",
            "hello\n{\"id\":1,\"method\":\"a\"}\n\n{\"id\":2,\"method\":\"b\"}\n",
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n" },
        { "an array", "[{\"id\":1,\"method\":\"tools/list\"}]\n", "" },
        { "an unfinished line at the end of input", "{\"id\":8,\"method\":\"ping\"}", "" },
        // The dropped line ends in a message of its own; none of it may be taken for a request.
        { "a line over a mebibyte",
            std::string(3000000, ' ') + "{\"id\":9,\"method\":\"ping\"}\n{\"id\":10,\"method\":\"ping\"}\n",
            "{\"id\":10,\"jsonrpc\":\"2.0\",\"result\":{}}\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::PeerResult result = test::runPeer({ kExecutable, kFlag, "/nonexistent/s" }, c.input);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST(PermissionMCPServer, RefusesAtOnceWhenTheApplicationCannotBeReached)
{
    for (const std::string& socketPath :
        { std::string("/nonexistent/s"), "/" + std::string(200, 'x') + "/s" }) {
        SCOPED_TRACE(socketPath);
        test::InteractivePeer server({ kExecutable, kFlag, socketPath });
        ASSERT_TRUE(server.send(approveCall(1, "{\"tool_name\":\"Write\"}")));
        // Input stays open: the answer must come without waiting for anything.
        EXPECT_EQ(server.readLine(), toolResult(1, kUnreachable));
    }
}

TEST(PermissionMCPServer, PassesEachCallToTheGateAndItsDecisionBackAsSoonAsItIsGiven)
{
    auto held = std::make_shared<test::HeldCalls>();
    PermissionGate gate(heldDecision(held));
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    const std::string first
        = R"({"extra":[1],"input":{"file_path":"/a/b"},"tool_name":"Write","tool_use_id":"1"})",
        second = R"({"tool_use_id":"2"})";
    ASSERT_TRUE(server.send(approveCall(1, first) + approveCall(2, second)));
    EXPECT_EQ(held->arrived(2), (std::multiset<std::string> { first, second }));
    // Other messages are still answered while both calls wait.
    ASSERT_TRUE(server.send("{\"id\":3,\"method\":\"ping\"}\n"));
    EXPECT_EQ(server.readLine(), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{}}");
    JSON denied = JSON::object({ { "behavior", "deny" }, { "message", "No." } });
    held->release(second, denied.encoded());
    EXPECT_EQ(server.readLine(), toolResult(2, denied));
    JSON allowed
        = JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON::object({}) }, { "note", "kept" } });
    held->release(first, allowed.encoded());
    EXPECT_EQ(server.readLine(), toolResult(1, allowed));

    // Without arguments the gate is asked about an empty object; a decision it cannot read refuses.
    held->release("{}", R"({"behavior":"Allow"})");
    held->release(R"({"tool_use_id":"5"})", R"({"message":"x"})");
    ASSERT_TRUE(server.send("{\"id\":4,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\"}}\n"));
    EXPECT_EQ(server.readLine(), toolResult(4, kUnreachable));
    ASSERT_TRUE(server.send(approveCall(5, R"({"tool_use_id":"5"})")));
    EXPECT_EQ(server.readLine(), toolResult(5, kUnreachable));

    // Calls of any other tool, or of none, are refused as calls of an unknown tool.
    for (const std::string& params : { std::string(",\"params\":{\"name\":\"Bash\"}"), std::string() }) {
        ASSERT_TRUE(server.send("{\"id\":6,\"method\":\"tools/call\"" + params + "}\n"));
        EXPECT_EQ(server.readLine(),
            "{\"error\":{\"code\":-32602,\"message\":\"unknown tool\"},\"id\":6,\"jsonrpc\":\"2.0\"}");
    }
}

TEST(PermissionMCPServer, EndsAtEndOfInputWithoutWaitingForOpenCalls)
{
    auto held = std::make_shared<test::HeldCalls>();
    PermissionGate gate(heldDecision(held));
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(approveCall(1, "{}")));
    ASSERT_TRUE(held->arrived(1));
    server.closeInput();
    auto ended = std::async(std::launch::async, [&] { return server.wait(); });
    const bool inTime = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    // Answered only now, so that a server that does wait for the call ends all the same.
    held->release("{}", R"({"behavior":"deny","message":"late"})");
    EXPECT_TRUE(inTime);
    EXPECT_EQ(ended.get(), 0);
}
