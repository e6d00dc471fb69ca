// The executable's start: the permission switch picks the MCP sub-mode, anything else the application.
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

const std::string kExecutable = VELLUMAR_EXECUTABLE;
const std::string kFlag(PermissionMCPServer::flag);
const std::string kApplicationLine
    = "Vellumar for Mac: the reply engine is being built; the menu-bar application does not exist yet.\n";

// The socket path the sub-mode was started with, found out by giving it a relative path that is
// a link to a live gate: only a call through the path named leads to the gate's marked answer.
class SocketPathProbe {
public:
    explicit SocketPathProbe(const std::string& linkName)
        : m_gate([](const JSON&) {
            return JSON::object({ { "behavior", "deny" }, { "message", "reached" } });
        })
    {
        fs::create_symlink(m_gate.path(), m_folder / linkName);
    }

    // Runs `argv` (the executable's argument vector, element 0 included) in the probe's folder and
    // asks one approve call; true when that reached the gate.
    bool reachedWith(const std::vector<std::string>& argv)
    {
        std::vector<std::string> command
            = { "bash", "-c", "cd \"$1\" && shift && exec -a \"$1\" \"$2\" \"${@:3}\"", "entry",
                  m_folder.path().string(), argv[0], kExecutable };
        command.insert(command.end(), argv.begin() + 1, argv.end());
        test::InteractivePeer server(command);
        server.send(
            "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"approve\",\"arguments\":{}}}\n");
        auto line = server.readLine();
        server.closeInput();
        EXPECT_EQ(server.wait(), 0);
        return line && line->find("reached") != std::string::npos;
    }

private:
    test::TemporaryFolder m_folder;
    PermissionGate m_gate;
};

}

TEST(ProcessEntry, StartsTheApplicationWithoutTheExactSwitchAndEndsWithTwoWithoutItsPath)
{
    for (const auto& arguments : std::vector<std::vector<std::string>> {
             {}, { kFlag + "=/tmp/s" }, { kFlag + "x", "/tmp/s" }, { kFlag.substr(0, 24), "/tmp/s" } }) {
        SCOPED_TRACE(arguments.empty() ? "no arguments" : arguments[0]);
        std::vector<std::string> argv = { kExecutable };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        test::PeerResult result = test::runPeer(argv);
        EXPECT_EQ(result.output, kApplicationLine);
        EXPECT_EQ(result.exitStatus, 0);
    }
    test::PeerResult result
        = test::runPeer({ kExecutable, "--verbose", kFlag }, "{\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.output, "");
}

TEST(ProcessEntry, RunsTheSubModeWithTheArgumentAfterTheFirstSwitch)
{
    struct Case {
        std::string name, linkName;
        std::vector<std::string> argv;
    };
    for (const auto& c : std::vector<Case> {
             { "option before, value after", "value", { "vellumar", "--other", kFlag, "value", "further" } },
             { "switch twice", kFlag, { "vellumar", kFlag, kFlag } },
             { "the program path is compared too", "first", { kFlag, "first", kFlag, "second" } },
         }) {
        SCOPED_TRACE(c.name);
        SocketPathProbe probe(c.linkName);
        EXPECT_TRUE(probe.reachedWith(c.argv));
    }
}
