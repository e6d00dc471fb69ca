#include "VellumarMacCore/Permissions/PermissionHelper.h"

#include "VellumarMacCore/Foundations/JSON.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace vellumar;

TEST(PermissionHelper, WritesTheConfigurationWithSortedKeysAndPlainSlashes)
{
    PermissionHelper helper { "/Applications/Vellumar for Mac.app/Contents/MacOS/Vellumar for Mac",
        { "--vellumar-permission-mcp" } };
    EXPECT_EQ(helper.mcpConfig("/var/folders/x/T/vlp-0123456789ab/s"),
        "{\"mcpServers\":{\"vellumar\":{\"args\":[\"--vellumar-permission-mcp\",\"/var/folders/x/T/"
        "vlp-0123456789ab/s\"],"
        "\"command\":\"/Applications/Vellumar for Mac.app/Contents/MacOS/Vellumar for "
        "Mac\",\"type\":\"stdio\"}}}");
}

TEST(PermissionHelper, EscapesWhatJSONRequires)
{
    PermissionHelper helper { "/opt/a\"b\\c", {} };
    auto decoded = JSON::decode(helper.mcpConfig("/tmp/s\n"));
    ASSERT_TRUE(decoded);
    const JSON* server = decoded->subscript("mcpServers")->subscript("vellumar");
    EXPECT_EQ(*server->subscript("command")->stringValue(), "/opt/a\"b\\c");
    EXPECT_EQ(server->subscript("args")->encoded(), "[\"/tmp/s\\n\"]");
}

TEST(PermissionHelper, CurrentIsThisProgramWithTheSwitch)
{
    auto current = PermissionHelper::current();
    ASSERT_TRUE(current);
    char own[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", own, sizeof(own) - 1), 0);
    EXPECT_EQ(*current, (PermissionHelper { own, { "--vellumar-permission-mcp" } }));
    EXPECT_NE(*current, (PermissionHelper { own, { "--vellumar-permission-mcp", "x" } }));
}
