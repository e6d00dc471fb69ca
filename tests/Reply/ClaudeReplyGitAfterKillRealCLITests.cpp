// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// in a host that the test kills with SIGKILL while a sandboxed command writes a hook: what the next
// start keeps of the user's edits made after the kill, and what it puts back of the command's.
#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "tests/Reply/GitRealCLISupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

namespace {

// Set for a host that kills itself as the guard trades a folder of the user's back to its name.
constexpr const char* kKilledAsAFolderTradesBack = "VELLUMAR_TEST_KILLED_AS_A_FOLDER_TRADES_BACK";

// The world of a test that kills its host. Started again as that host, the test program runs a job of
// commands in SetUp, in a world of its own below the test's folder, and ends there.
class ClaudeReplyGitAfterKillRealCLI : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (hostOf && std::getenv(kKilledAsAFolderTradesBack)) {
            GitGuardPutBack::stepSeam = [](GitGuardPutBack::Step step) {
                if (step == GitGuardPutBack::Step::folderTraded)
                    ::kill(::getpid(), SIGKILL);
            };
        }
        if (hostOf)
            test::runAsKilledHost(world, root, test::commandsJob(projects), true);
        if (auto reason = test::commandSandboxUnavailableReason())
            GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    }

    RunnerWorld world;
    const char* hostOf = std::getenv(test::kKilledHostOf);
    fs::path root = fs::canonical(hostOf ? fs::path(hostOf) : world.folder.path());
    fs::path projects = root / "home/Projects";
};

// Starts this test again as the host of a run whose command touches "started" once it has written what
// the test looks for, and kills it with SIGKILL once `ready` holds; returns once its commands have ended.
void killedWhenReady(const RunnerWorld& world, const fs::path& root, const std::function<bool()>& ready)
{
    test::InteractivePeer host(test::killedHostCommand(world));
    ASSERT_TRUE(test::fileAppears(root / "data/workspaces/ios-1/started"));
    auto group = test::groupLedByChildOf(host.pid());
    ASSERT_TRUE(group);
    ASSERT_TRUE(test::eventuallyWithin(120, ready));
    host.kill();
    EXPECT_EQ(host.wait(), 128 + SIGKILL);
    EXPECT_TRUE(test::groupEnds(*group));
}

}

// A command writes a new hook in a loop, through the host's kill -9 until Claude Code's watchdog has
// ended it; the beat the host left covers its writes. Then the user sets a pager and edits the hook they
// had. The next start puts the command's hook aside and keeps the user's edit, with a line in the log
// naming it; the setting goes aside too, since the user's Git rewrites a configuration whole.
TEST_F(ClaudeReplyGitAfterKillRealCLI, TheUsersEditAfterAKillStaysAndTheCommandsLastWriteGoesAside)
{
    const fs::path hooks = projects / "app/.git/hooks";
    test::makeRepository(projects / "app");
    test::writeScript(hooks / "pre-commit", "exit 0\n");
    world.playReal(test::commandSteps({ "touch \"$PWD/started\"; while :; do echo 'touch ran' > '"
        + (hooks / "pre-push").string() + "'; sleep 0.01; done" }));
    // Once one write went aside, the guard is watching.
    killedWhenReady(world, root, [&] {
        auto names = test::namesIn(hooks);
        return std::any_of(names.begin(), names.end(),
            [](const std::string& name) { return name.starts_with("pre-push.refused-"); });
    });
    const auto commandsGone = LiveRunsHeartbeat::now().wallTime;
    const fs::path beatFile = LiveRuns::heartbeatOf(root / "data");
    const auto commandsEndedBy = LiveRunsHeartbeat::commandsEndedBy(beatFile);
    ASSERT_TRUE(commandsEndedBy);
    EXPECT_LE(commandsGone, *commandsEndedBy);
    const auto configured = test::changedLaterThan(projects / "app/.git/config", commandsGone, [&] {
        test::git(projects / "app", { "config", "core.pager", "less" });
    });
    const auto edited = test::changedLaterThan(hooks / "pre-commit", commandsGone,
        [&] { test::writeBytes(hooks / "pre-commit", "#!/bin/sh\nlint\n"); });
    // As when the user comes back once the margin has passed: the beat moved back to draw the line
    // between the commands' end and the user's first change, so that both are later than it.
    auto beat = LiveRunsHeartbeat::read(beatFile).value();
    const auto back = *commandsEndedBy - (commandsGone + (std::min(configured, edited) - commandsGone) / 2);
    beat.wallTime -= back;
    beat.bootTime -= back;
    LiveRunsHeartbeat::write(beat, beatFile);
    test::CapturedLog log;
    world.start();

    EXPECT_EQ(test::readFile(hooks / "pre-commit"), "#!/bin/sh\nlint\n");
    EXPECT_EQ(test::readFile(projects / "app/.git/config").find("pager"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(hooks / "pre-push")));
    const auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                  (hooks / "pre-commit").string()
                      + " changed after the program was killed during a Claude Code run, later than the run's"
                        " commands could still write (the hook pre-commit changed); it is the user's own"
                        " change and stays."),
        lines.end());
}

// A command makes a repository of a plain folder of the place and writes it a hook, and the host is
// killed before the run's end could judge it. The next start puts the hook aside: the user's commit
// there runs nothing.
TEST_F(ClaudeReplyGitAfterKillRealCLI, ANewRepositoryInAPlainFolderHasItsHookPutAsideAtTheNextStart)
{
    const fs::path plain = projects / "notes";
    const fs::path hook = plain / ".git/hooks/pre-commit";
    test::writeBytes(plain / "todo.txt", "milk\n");
    world.playReal(test::commandSteps({ "git init -q '" + plain.string() + "' && printf '#!/bin/sh\\ntouch "
        + (root / "ran").string() + "\\n' > '" + hook.string() + "' && chmod +x '" + hook.string()
        + "' && touch \"$PWD/started\" && sleep 600" }));
    killedWhenReady(world, root, [] { return true; });
    ASSERT_EQ(test::readFile(hook), "#!/bin/sh\ntouch " + (root / "ran").string() + "\n");
    test::CapturedLog log;
    world.start();

    EXPECT_FALSE(fs::exists(fs::symlink_status(hook)));
    const auto names = test::namesIn(hook.parent_path());
    EXPECT_TRUE(std::any_of(names.begin(), names.end(),
        [](const std::string& name) { return name.starts_with("pre-commit.refused-"); }));
    test::git(plain, { "add", "todo.txt" });
    EXPECT_NE(test::git(plain, { "commit", "-m", "mine" }).output.find("1 file changed"), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "ran"));
}

// A command trades the user's Git folder, or its hooks folder, for one of its own beside the user's
// repository, holding a hook; the host is killed as the guard trades them back. The next start leaves the
// user's at its name: the user's commit exits 0 and runs the user's hook alone.
TEST_F(ClaudeReplyGitAfterKillRealCLI, AKillAsTheUsersFolderTradesBackLeavesItAtItsName)
{
    struct Row {
        const char* name;
        std::string folder; // in "app": the user's
        std::string hook; // the command's, written first with the folders above it
        std::string made; // then by the command, with "&&" after it
        std::string taken; // what the command trades with the folder
    };
    const Row rows[] = {
        { "the Git folder", ".git", "new/.git/hooks/pre-commit", "git init -q new && ", "new/.git" },
        { "the hooks folder", ".git/hooks", "new/pre-commit", "", "new" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RunnerWorld rowWorld;
        const fs::path rowRoot = fs::canonical(rowWorld.folder.path());
        const fs::path app = rowRoot / "home/Projects/app";
        const fs::path users = app / row.folder;
        test::makeRepository(app);
        test::writeScript(
            app / ".git/hooks/pre-commit", "echo mine >> '" + (rowRoot / "out").string() + "'\n");
        struct stat before { };
        ASSERT_EQ(::stat(users.c_str(), &before), 0);
        rowWorld.playReal(test::commandSteps({ "cd '" + (rowRoot / "home/Projects").string()
            + "' && mkdir -p $(dirname " + row.hook + ") && printf '#!/bin/sh\\ntouch "
            + (rowRoot / "ran").string() + "\\n' > " + row.hook + " && chmod +x " + row.hook + " && "
            + row.made + "python3 -c \"import ctypes, sys\n"
            + "if ctypes.CDLL(None).renameat2(-100, sys.argv[1].encode(), -100, sys.argv[2].encode(), 2):\n"
            + "    sys.exit('cannot trade')\" " + row.taken + " app/" + row.folder }));
        auto command = test::killedHostCommand(rowWorld);
        command.insert(command.begin() + 1, std::string(kKilledAsAFolderTradesBack) + "=1");
        test::InteractivePeer host(command);
        ASSERT_EQ(host.wait(), 128 + SIGKILL) << "the host lived past the trade";
        rowWorld.start();

        struct stat after { };
        EXPECT_EQ(::stat(users.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        test::git(app, { "commit", "-q", "--allow-empty", "-m", "second" });
        EXPECT_EQ(test::readFile(rowRoot / "out"), "mine\n");
        EXPECT_FALSE(fs::exists(rowRoot / "ran"));
    }
}
