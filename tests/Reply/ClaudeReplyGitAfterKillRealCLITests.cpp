// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// in a host that the test kills with SIGKILL while a sandboxed command writes a hook: what the next
// start keeps of the user's edits made after the kill, and what it puts back of the command's.
#include "VellumarMacCore/GitProtection/GitGuardHeartbeat.h"

#include "tests/Reply/GitRealCLISupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

namespace {

std::chrono::nanoseconds changeTime(const fs::path& file)
{
    struct stat status { };
    EXPECT_EQ(::lstat(file.c_str(), &status), 0) << file;
    return std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec);
}

// Whether a process whose command line holds `marker` runs, a sandboxed one too.
bool anyRunsWith(const std::string& marker)
{
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos
            && test::readFile(entry->path() / "cmdline").find(marker) != std::string::npos
            && test::readFile(entry->path() / "stat").find(") Z ") == std::string::npos)
            return true;
    }
    return false;
}

}

// A command rewrites a new hook in a loop, through the host's kill -9 and until Claude Code's watchdog
// has ended it and its sandbox; the beat the host left covers its writes. Then the user edits the
// hook they had. The next start puts the command's hook aside and keeps the user's edit, with a line
// in the log naming it.
TEST(ClaudeReplyGitAfterKillRealCLI, TheUsersEditAfterAKillStaysAndTheCommandsLastWriteGoesAside)
{
    const char* hostOf = std::getenv(test::kKilledHostOf);
    if (!hostOf) {
        if (auto reason = test::commandSandboxUnavailableReason())
            GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    }
    RunnerWorld world;
    const fs::path root = fs::canonical(hostOf ? fs::path(hostOf) : world.folder.path());
    const fs::path projects = root / "home/Projects";
    if (hostOf) {
        world.home = root / "home";
        world.dataFolder = root / "data";
        world.fakeFolder = root / "fake";
        world.options.baseEnvironment = { { "HOME", world.home.string() } };
        world.openGates();
        world.start();
        world.run(test::commandsJob(projects));
        std::_Exit(0);
    }
    const fs::path hooks = projects / "app/.git/hooks";
    test::makeRepository(projects / "app");
    test::writeScript(hooks / "pre-commit", "exit 0\n");
    const fs::path planted = hooks / "pre-push";
    world.playReal(
        test::commandSteps({ "touch \"$PWD/started\"; while :; do printf '#!/bin/sh\\ntouch ran\\n' > '"
            + planted.string() + "'; sleep 0.01; done" }));
    test::InteractivePeer host(test::killedHostCommand(world));
    ASSERT_TRUE(test::fileAppears(root / "data/workspaces/ios-1/started"));
    auto group = test::groupLedByChildOf(host.pid());
    ASSERT_TRUE(group);
    // The guard is watching: the command's writes go aside as they come.
    ASSERT_TRUE(test::eventuallyWithin(120, [&] {
        for (const auto& entry : fs::directory_iterator(hooks)) {
            if (entry.path().filename().string().starts_with("pre-push.refused-"))
                return true;
        }
        return false;
    }));

    host.kill();
    EXPECT_EQ(host.wait(), 128 + SIGKILL);
    EXPECT_TRUE(test::groupEnds(*group));
    EXPECT_TRUE(test::eventuallyWithin(60, [&] { return !anyRunsWith(planted.string()); }));
    const auto commandsGone = GitGuardHeartbeat::now().wallTime;
    const fs::path beatFile = GitGuardHeartbeat::fileOf(root / "data" / GitGuard::recordName);
    const auto commandsEndedBy = GitGuardHeartbeat::commandsEndedBy(beatFile);
    ASSERT_TRUE(commandsEndedBy);
    // The beat the host left covers every write of its commands.
    EXPECT_LE(commandsGone, *commandsEndedBy);

    do
        test::writeScript(hooks / "pre-commit", "npx lint-staged\n");
    while (changeTime(hooks / "pre-commit") <= commandsGone);
    // As when the user comes back once the margin has passed: the beat moved back to draw the line
    // between the commands' end and the user's edit.
    auto beat = GitGuardHeartbeat::read(beatFile).value();
    const auto back
        = *commandsEndedBy - (commandsGone + (changeTime(hooks / "pre-commit") - commandsGone) / 2);
    beat.wallTime -= back;
    beat.bootTime -= back;
    GitGuardHeartbeat::write(beat, beatFile);
    test::CapturedLog log;
    world.start();

    EXPECT_EQ(test::readFile(hooks / "pre-commit"), "#!/bin/sh\nnpx lint-staged\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(planted)));
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                  [&](const std::string& line) {
                      return line.starts_with((hooks / "pre-commit").string() + " ")
                          && line.find("the user's own change and stays") != std::string::npos;
                  }),
        1);
}
