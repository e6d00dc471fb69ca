// The permission sub-mode against the official MCP client (TypeScript SDK, tests/peers).
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(PermissionMCPServerSDK, ListsExactlyTheApproveToolAndCallsIt)
{
    PermissionGate gate([](const JSON& request) {
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", *request.subscript("input") } });
    });
    test::PeerResult result
        = test::runPeer({ "node", (test::sourceDir() / "tests/peers/mcp_list_tools.mjs").string(),
            VELLUMAR_EXECUTABLE, std::string(PermissionMCPServer::flag), gate.path() });
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    auto report = JSON::decode(result.output);
    ASSERT_TRUE(report) << result.output;

    const JSON::Array& tools = *report->subscript("tools")->arrayValue();
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(*tools[0].subscript("name")->stringValue(), "approve");
    EXPECT_EQ(*tools[0].subscript("description")->stringValue(),
        "Vellumar for Mac passes Claude Code's permission questions to the user's iPhone.");
    EXPECT_EQ(tools[0].subscript("inputSchema")->encoded(),
        "{\"additionalProperties\":true,\"properties\":{\"input\":{\"type\":\"object\"},\"tool_name\":{"
        "\"type\":"
        "\"string\"},\"tool_use_id\":{\"type\":\"string\"}},\"type\":\"object\"}");
    EXPECT_EQ(report->subscript("server")->encoded(), "{\"name\":\"vellumar\",\"version\":\"1\"}");

    const JSON* content = report->subscript("call")->subscript("content");
    ASSERT_TRUE(content && content->arrayValue() && content->arrayValue()->size() == 1) << result.output;
    EXPECT_EQ(*content->arrayValue()->front().subscript("text")->stringValue(),
        "{\"behavior\":\"allow\",\"updatedInput\":{\"file_path\":\"/tmp/x\"}}");
}
