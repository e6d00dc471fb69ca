// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// commands on and sandboxed, in a host that the test kills during a command: what the placeholders of
// the sandbox leave in a granted folder of repositories.
#include "tests/Reply/GitRealCLISupport.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/RepositoryFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

// While a command sleeps, the sandbox holds empty read-only placeholders at the protected names that
// do not exist and that Claude Code denies itself (".mcp.json", "settings.json" and the like in an
// existing ".claude", a husky hook's script, ...). However the host is killed, once the next start has
// run the folder holds what it held before the run.
TEST(ClaudeReplyPlaceholdersRealCLI, AKilledHostLeavesTheGrantedFolderAsItWasOnceTheNextStartRan)
{
    const char* hostOf = std::getenv(test::kKilledHostOf);
    if (!hostOf) {
        if (auto reason = test::commandSandboxUnavailableReason())
            GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    }
    struct Case {
        const char* name;
        // Ends the host, whose Claude Code leads `group`.
        std::function<void(test::InteractivePeer& host, pid_t group)> kill;
        bool swept; // whether the next start removes placeholders, with a line in the log
    };
    const Case cases[] = {
        { "kill -9 of the host", [](test::InteractivePeer& host, pid_t) { host.kill(); }, false },
        // As when the whole session is killed: Claude Code cannot remove anything.
        { "kill -9 of the host and of Claude Code's group",
            [](test::InteractivePeer& host, pid_t group) {
                ::killpg(group, SIGKILL);
                host.kill();
            },
            true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        const fs::path root = fs::canonical(hostOf ? fs::path(hostOf) : world.folder.path());
        const fs::path projects = root / "home/Projects";
        if (hostOf)
            test::runAsKilledHost(world, root, test::commandsJob(projects), true);
        test::makeProjectsFolder(projects);
        // Where a bot has written before: Claude Code holds its own names inside with empty files.
        fs::create_directories(projects / ".claude");
        std::ofstream(projects / ".claude/CLAUDE.md") << "Be brief.\n";
        const auto before = test::treeContents(projects);
        world.playReal(test::commandSteps({ "touch \"$PWD/started\"; sleep 600" }));
        test::InteractivePeer host(test::killedHostCommand(world));
        ASSERT_TRUE(test::fileAppears(root / "data/workspaces/ios-1/started"));
        ASSERT_FALSE(test::changedItems(before, test::treeContents(projects)).empty());
        auto group = test::groupLedByChildOf(host.pid());
        ASSERT_TRUE(group);

        testCase.kill(host, *group);
        EXPECT_EQ(host.wait(), 128 + SIGKILL);
        EXPECT_TRUE(test::groupEnds(*group));
        test::CapturedLog log;
        world.start();
        const auto lines = log.lines();
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                [](const std::string& line) { return line.find("empty placeholders") != std::string::npos; }),
            testCase.swept ? 1 : 0);
        EXPECT_EQ(test::changedItems(before, test::treeContents(projects)), std::vector<std::string> {});
    }
}
