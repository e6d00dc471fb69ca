#include "VellumarMacCore/Permissions/PermissionHelper.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace vellumar;

TEST(PermissionHelper, IsThisProgramWithTheSwitchAndWritesItsConfigurationCanonically)
{
    char own[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", own, sizeof(own) - 1), 0);
    EXPECT_EQ(PermissionHelper::current(), (PermissionHelper { own, { "--vellumar-permission-mcp" } }));
    PermissionHelper helper { "/Applications/Vellumar for Mac.app/Contents/MacOS/Vellumar for Mac",
        { "--vellumar-permission-mcp" } };
    EXPECT_EQ(helper.mcpConfig("/var/folders/x/T/vlp-0123456789ab/s"),
        "{\"mcpServers\":{\"vellumar\":{\"args\":[\"--vellumar-permission-mcp\",\"/var/folders/x/T/"
        "vlp-0123456789ab/s\"],\"command\":\"/Applications/Vellumar for Mac.app/Contents/MacOS/Vellumar for "
        "Mac\",\"type\":\"stdio\"}}}");
}
