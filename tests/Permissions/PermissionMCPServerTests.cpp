// The permission sub-mode through the real executable, as Claude Code starts it.
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>

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

// A gate whose answers the test gives one by one, by the request's "tool_use_id". The state is
// shared with the gate's connection threads, which may outlive the test's use of it.
class AnsweringGate {
public:
    AnsweringGate()
        : m_gate([state = m_state](const JSON& request) { return state->answer(request); })
    {
    }

    const std::string& path() const { return m_gate.path(); }

    // The requests that arrived, in the order of their text, once `count` did.
    std::vector<std::string> waitForRequests(std::size_t count)
    {
        std::unique_lock guard(m_state->lock);
        m_state->changed.wait_for(
            guard, std::chrono::seconds(60), [&] { return m_state->requests.size() >= count; });
        std::vector<std::string> sorted = m_state->requests;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
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
        std::vector<std::string> requests;
        std::map<std::string, JSON> answers;

        JSON answer(const JSON& request)
        {
            const JSON* id = request.subscript("tool_use_id");
            std::string key = id && id->stringValue() ? *id->stringValue() : "";
            std::unique_lock guard(lock);
            requests.push_back(request.encoded());
            changed.notify_all();
            changed.wait(guard, [&] { return answers.contains(key); });
            return answers.at(key);
        }
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    PermissionGate m_gate;
};

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
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(
        approveCall(
            1, R"({"tool_name":"Write","input":{"file_path":"/a/b"},"tool_use_id":"first","extra":[1]})")
        + approveCall(2, R"({"tool_use_id":"second"})")));
    EXPECT_EQ(gate.waitForRequests(2),
        (std::vector<std::string> {
            R"({"extra":[1],"input":{"file_path":"/a/b"},"tool_name":"Write","tool_use_id":"first"})",
            R"({"tool_use_id":"second"})" }));
    // Other messages are still answered while both calls wait.
    ASSERT_TRUE(server.send("{\"id\":3,\"method\":\"ping\"}\n"));
    EXPECT_EQ(server.readLine(), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{}}");
    JSON denied = JSON::object({ { "behavior", "deny" }, { "message", "No." } });
    gate.reply("second", denied);
    EXPECT_EQ(server.readLine(), toolResult(2, denied));
    JSON allowed
        = JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON::object({}) }, { "note", "kept" } });
    gate.reply("first", allowed);
    EXPECT_EQ(server.readLine(), toolResult(1, allowed));

    // Without arguments the gate is asked about an empty object; a decision it cannot read refuses.
    gate.reply("", JSON::object({ { "behavior", "Allow" } }));
    gate.reply("no behavior", JSON::object({ { "message", "x" } }));
    ASSERT_TRUE(server.send("{\"id\":4,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\"}}\n"));
    EXPECT_EQ(server.readLine(), toolResult(4, kUnreachable));
    ASSERT_TRUE(server.send(approveCall(5, R"({"tool_use_id":"no behavior"})")));
    EXPECT_EQ(server.readLine(), toolResult(5, kUnreachable));
    EXPECT_EQ(gate.waitForRequests(4).back(), "{}");

    // Calls of any other tool, or of none, are refused as calls of an unknown tool.
    for (const std::string& params : { std::string(",\"params\":{\"name\":\"Bash\"}"), std::string() }) {
        ASSERT_TRUE(server.send("{\"id\":6,\"method\":\"tools/call\"" + params + "}\n"));
        EXPECT_EQ(server.readLine(),
            "{\"error\":{\"code\":-32602,\"message\":\"unknown tool\"},\"id\":6,\"jsonrpc\":\"2.0\"}");
    }
}

TEST(PermissionMCPServer, EndsAtEndOfInputWithoutWaitingForOpenCalls)
{
    AnsweringGate gate;
    test::InteractivePeer server({ kExecutable, kFlag, gate.path() });
    ASSERT_TRUE(server.send(approveCall(1, "{\"tool_use_id\":\"never\"}")));
    ASSERT_EQ(gate.waitForRequests(1).size(), 1u);
    server.closeInput();
    auto ended = std::async(std::launch::async, [&] { return server.wait(); });
    const bool inTime = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    // Answered only now, so that a server that does wait for the call ends all the same.
    gate.reply("never", JSON::object({ { "behavior", "deny" }, { "message", "late" } }));
    EXPECT_TRUE(inTime);
    EXPECT_EQ(ended.get(), 0);
}
