// The executable's start: the permission switch picks the MCP sub-mode, anything else the application.
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

const std::string kExecutable = VELLUMAR_EXECUTABLE;
const std::string kFlag(PermissionMCPServer::flag);

}

TEST(ProcessEntry, StartsTheApplicationWithoutTheExactSwitchAndEndsWithTwoWithoutItsPath)
{
    for (const auto& arguments : std::vector<std::vector<std::string>> {
             {}, { kFlag + "=/tmp/s" }, { kFlag + "x", "/tmp/s" }, { kFlag.substr(0, 24), "/tmp/s" } }) {
        SCOPED_TRACE(arguments.empty() ? "no arguments" : arguments[0]);
        std::vector<std::string> argv = { kExecutable };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        test::PeerResult result = test::runPeer(argv);
        EXPECT_EQ(result.output,
            "Vellumar for Mac: the reply engine is being built; the menu-bar application does not exist "
            "yet.\n");
        EXPECT_EQ(result.exitStatus, 0);
    }
    test::PeerResult result
        = test::runPeer({ kExecutable, "--verbose", kFlag }, "{\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.output, "");
}

TEST(ProcessEntry, RunsTheSubModeWithTheArgumentAfterTheFirstSwitch)
{
    PermissionGate gate([](const JSON&) {
        return JSON::object({ { "behavior", "deny" }, { "message", "reached" } });
    });
    test::InteractivePeer server({ kExecutable, "--other", kFlag, gate.path(), kFlag, "/nonexistent/s" });
    ASSERT_TRUE(server.send(
        "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\",\"arguments\":{}}}\n"));
    EXPECT_NE(server.readLine().value_or("").find("reached"), std::string::npos);
}
