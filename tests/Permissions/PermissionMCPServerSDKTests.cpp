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
    EXPECT_EQ(report->subscript("server")->encoded(), "{\"name\":\"vellumar\",\"version\":\"1\"}");
    EXPECT_EQ(report->subscript("call")->subscript("content")->encoded(),
        "[{\"text\":\"{\\\"behavior\\\":\\\"allow\\\",\\\"updatedInput\\\":{\\\"file_path\\\":\\\"/tmp/"
        "x\\\"}}\","
        "\"type\":\"text\"}]");
}
