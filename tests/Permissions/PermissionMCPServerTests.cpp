// The permission sub-mode through the real executable, as Claude Code starts it, also against the
// official MCP client (TypeScript SDK, tests/peers); and the executable's start, where the
// permission switch picks the sub-mode and anything else the application.
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "tests/support/ApplicationProcess.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <memory>
#include <set>
#include <tuple>

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
    const std::string initialized
        = R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":)";
    const std::string server = R"(,"serverInfo":{"name":"vellumar","version":"1"}}})";
    const std::string empty = R"(,"jsonrpc":"2.0","result":{}})";
    // Each input is sent with a line feed after it.
    for (const auto& [input, output] :
        std::vector<std::pair<std::string, std::string>> {
            { R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
                R"({"id":1)" + initialized + R"("2024-11-05")" + server },
            { R"({"id":3,"method":"tools/list"})",
                R"({"id":3,"jsonrpc":"2.0","result":{"tools":[{"description":"Vellumar for Mac passes Claude Code's )"
                R"(permission questions to the user's iPhone.","inputSchema":{"additionalProperties":true,"properties":)"
                R"({"input":{"type":"object"},"tool_name":{"type":"string"},"tool_use_id":{"type":"string"}},)"
                R"("type":"object"},"name":"approve"}]}})" },
            { R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "" },
            // Not JSON, then unknown methods after an empty line.
            { "hello\n{\"id\":1,\"method\":\"a\"}\n\n{\"id\":2,\"method\":\"b\"}",
                R"({"id":1)" + empty + "\n" + R"({"id":2)" + empty },
            // A line over a mebibyte, dropped up to its end: none of it may be taken for a request.
            { std::string(3000000, ' ') + "{\"id\":9,\"method\":\"ping\"}\n{\"id\":10,\"method\":\"ping\"}",
                R"({"id":10)" + empty } }) {
        SCOPED_TRACE(input.substr(0, 100));
        test::PeerResult result = test::runPeer({ kExecutable, kFlag, "/nonexistent/s" }, input + "\n");
        EXPECT_EQ(result.output, output.empty() ? "" : output + "\n");
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST(PermissionMCPServer, RefusesAtOnceWhenTheApplicationCannotBeReached)
{
    test::InteractivePeer server({ kExecutable, kFlag, "/nonexistent/s" });
    ASSERT_TRUE(server.send(approveCall(1, "{\"tool_name\":\"Write\"}")));
    // Input stays open: the answer must come without waiting for anything.
    EXPECT_EQ(server.readLine(), toolResult(1, kUnreachable));
}

TEST(PermissionMCPServer, PassesEachCallToTheGateAndItsDecisionBackAsSoonAsItIsGiven)
{
    auto held = std::make_shared<test::HeldCalls>();
    PermissionGate gate(heldDecision(held));
    // The sub-mode takes the argument after the first switch.
    test::InteractivePeer server({ kExecutable, "--other", kFlag, gate.path(), kFlag, "/nonexistent/s" });
    const std::string first
        = R"({"extra":[1],"input":{"file_path":"/a/b"},"tool_name":"Write","tool_use_id":"1"})",
        second = R"({"tool_use_id":"2"})";
    ASSERT_TRUE(server.send(approveCall(1, first) + approveCall(2, second)));
    EXPECT_EQ(held->arrived(2), (std::multiset<std::string> { first, second }));
    // Other messages are still answered while both calls wait.
    ASSERT_TRUE(server.send("{\"id\":3,\"method\":\"ping\"}\n"));
    EXPECT_EQ(server.readLine(), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{}}");
    for (const auto& [request, id, decision] : std::vector<std::tuple<std::string, int, std::string>> {
             { second, 2, R"({"behavior":"deny","message":"No."})" },
             { first, 1, R"({"behavior":"allow","note":"kept","updatedInput":{}})" } }) {
        held->release(request, decision);
        EXPECT_EQ(server.readLine(), toolResult(id, *JSON::decode(decision)));
    }

    // Without arguments the gate is asked about an empty object; a decision it cannot read refuses.
    held->release("{}", R"({"behavior":"Allow"})");
    held->release(R"({"tool_use_id":"5"})", R"({"message":"x"})");
    ASSERT_TRUE(server.send("{\"id\":4,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\"}}\n"));
    EXPECT_EQ(server.readLine(), toolResult(4, kUnreachable));
    ASSERT_TRUE(server.send(approveCall(5, R"({"tool_use_id":"5"})")));
    EXPECT_EQ(server.readLine(), toolResult(5, kUnreachable));

    // Calls of any other tool are refused as calls of an unknown tool.
    ASSERT_TRUE(server.send("{\"id\":6,\"method\":\"tools/call\",\"params\":{\"name\":\"Bash\"}}\n"));
    EXPECT_EQ(server.readLine(),
        "{\"error\":{\"code\":-32602,\"message\":\"unknown tool\"},\"id\":6,\"jsonrpc\":\"2.0\"}");
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

TEST(PermissionMCPServerSDK, ListsExactlyTheApproveToolAndCallsIt)
{
    PermissionGate gate([](const JSON& request) {
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", *request.subscript("input") } });
    });
    test::PeerResult result = test::runPeer({ "node",
        (test::sourceDir() / "tests/peers/mcp_list_tools.mjs").string(), kExecutable, kFlag, gate.path() });
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    auto report = JSON::decode(result.output);
    ASSERT_TRUE(report) << result.output;
    const JSON::Array& tools = *report->subscript("tools")->arrayValue();
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(*tools[0].subscript("name")->stringValue(), "approve");
    EXPECT_EQ(report->subscript("server")->encoded(), "{\"name\":\"vellumar\",\"version\":\"1\"}");
    EXPECT_EQ(report->subscript("call")->subscript("content")->encoded(),
        "[{\"text\":\"{\\\"behavior\\\":\\\"allow\\\",\\\"updatedInput\\\":{\\\"file_path\\\":\\\"/tmp/"
        "x\\\"}}\","
        "\"type\":\"text\"}]");
}

TEST(ProcessEntry, StartsTheApplicationWithoutTheExactSwitchAndEndsWithTwoWithoutItsPath)
{
    test::TemporaryFolder home;
    test::ApplicationProcess application(kExecutable, home.path());
    EXPECT_TRUE(application.waitUntilListening());
    EXPECT_EQ(application.endWith({ SIGTERM }), 0);
    EXPECT_EQ(
        test::runPeer({ kExecutable, "--verbose", kFlag }, "{\"id\":1,\"method\":\"ping\"}\n").exitStatus, 2);
}

TEST(ProcessEntry, AnythingButThePermissionSwitchOrARestartEndsWithTwoAndOneLineBeforeAnyFolderIsMade)
{
    auto refused = [](const std::string& argument) {
        return "vellumar takes no arguments, so not \"" + argument + "\" (Claude Code starts it with " + kFlag
            + " <socket>).\n";
    };
    const std::string socketMissing = "vellumar: \"" + kFlag
        + "\" is missing its socket (Claude Code starts it with " + kFlag + " <socket>).\n";
    // The application itself starts: it is ended once it listens.
    constexpr int kStarts = -1;
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int exitStatus;
        std::string standardError;
    } cases[] = {
        { "help", { "--help" }, 2, refused("--help") },
        { "version", { "--version", "--help" }, 2, refused("--version") },
        { "a typo", { "--vellumar-permision-mcp", "/tmp/s" }, 2, refused("--vellumar-permision-mcp") },
        { "the switch joined to its value", { kFlag + "=/tmp/s" }, 2, refused(kFlag + "=/tmp/s") },
        { "the switch alone", { kFlag }, 2, socketMissing },
        { "the switch without its socket", { "--help", kFlag }, 2, refused("--help") },
        { "the switch and its socket", { "--help", kFlag, "/nonexistent/s" }, 0, "" },
        { "the session manager's restart", { "-session", "10d2a3c4e5f6_1733650000" }, kStarts, "" },
        { "a session without its id", { "-session" }, 2, refused("-session") },
        { "a session with an empty id", { "-session", "" }, 2, refused("-session") },
        { "a session id and more", { "-session", "10d2a3c4e5f6", "--help" }, 2, refused("--help") },
        { "a session id and the switch alone", { "-session", "10d2a3c4e5f6", kFlag }, 2, socketMissing },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder home;
        if (testCase.exitStatus == kStarts) {
            test::ApplicationProcess application(kExecutable, home.path(), testCase.arguments);
            EXPECT_TRUE(application.waitUntilListening());
            EXPECT_EQ(application.endWith({ SIGTERM }), 0);
            continue;
        }
        // Standard error alone; a program that starts after all is ended in time to report it.
        std::vector<std::string> argv { "sh", "-c", "exec \"$@\" 2>&1 >/dev/null", "sh", "timeout", "30",
            "env", "HOME=" + home.path().string(), "XDG_DATA_HOME=" + (home / "data").string(),
            "XDG_CONFIG_HOME=" + (home / "config").string(), "XDG_RUNTIME_DIR=" + (home / "run").string(),
            "QT_QPA_PLATFORM=offscreen", kExecutable };
        argv.insert(argv.end(), testCase.arguments.begin(), testCase.arguments.end());
        auto result = test::runPeer(argv);
        EXPECT_EQ(result.exitStatus, testCase.exitStatus);
        EXPECT_EQ(result.output, testCase.standardError);
        EXPECT_EQ(test::namesIn(home.path()), std::set<std::string> {});
    }
}
