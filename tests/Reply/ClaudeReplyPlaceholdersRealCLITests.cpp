// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// commands on and sandboxed, in a host that the test kills during a command: what the placeholders of
// the sandbox leave in a granted folder of repositories.
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

namespace {

// In "Projects": a plain repository, one set up by husky 9 (its hooks in ".husky/_", each running
// "h", which runs the script of the hook's name in ".husky"), and one with a linked worktree.
constexpr const char* kProjectsScript = R"sh(set -e
g() { git -c user.name=User -c user.email=user@example.com "$@"; }
for r in plain husky main; do
  g init -q "$r"; echo first > "$r/tracked.txt"; g -C "$r" add tracked.txt; g -C "$r" commit -qm first
done
g -C husky config core.hooksPath .husky/_
mkdir -p husky/.husky/_
echo '*' > husky/.husky/_/.gitignore
printf '#!/usr/bin/env sh\nn=$(basename "$0")\ns=$(dirname "$(dirname "$0")")/$n\n[ ! -f "$s" ] && exit 0\nsh -e "$s" "$@"\n' > husky/.husky/_/h
for hook in applypatch-msg commit-msg post-applypatch post-checkout post-commit post-merge post-rewrite \
    pre-applypatch pre-auto-gc pre-commit pre-merge-commit pre-push pre-rebase prepare-commit-msg; do
  printf '#!/usr/bin/env sh\n. "$(dirname "$0")/h"\n' > "husky/.husky/_/$hook"
done
chmod +x husky/.husky/_/*
echo 'npm test' > husky/.husky/pre-commit
g -C main worktree add -q ../linked
)sh";

JobSubmission commandsIn(const fs::path& granted)
{
    auto job = RunnerWorld::submission("Run the command.");
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders = { PermissionSettings::Folder { granted.string(), true } };
    return job;
}

// Whether `file` came to exist within three minutes, a patience that only guards against a hang.
bool appears(const fs::path& file)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
         !fs::exists(file) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fs::exists(file);
}

// The paths whose item was added, removed or changed since `before`, listed without the bytes.
std::vector<std::string> changedSince(
    const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& now)
{
    std::vector<std::string> changed;
    for (const auto& [path, item] : now) {
        auto earlier = before.find(path);
        if (earlier == before.end() || earlier->second != item)
            changed.push_back(path);
    }
    for (const auto& [path, item] : before) {
        if (!now.contains(path))
            changed.push_back(path);
    }
    return changed;
}

}

// While a command sleeps, the sandbox holds empty read-only placeholders at the protected names that
// do not exist (".envrc", "CLAUDE.md", ".git/config.worktree", a husky hook's script, a linked
// worktree's "config", ...). However the host is killed, once the next start has run the folder holds
// what it held before the run.
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
    };
    const Case cases[] = {
        { "kill -9 of the host", [](test::InteractivePeer& host, pid_t) { host.kill(); } },
        // As when the whole session is killed: Claude Code cannot remove anything.
        { "kill -9 of the host and of Claude Code's group",
            [](test::InteractivePeer& host, pid_t group) {
                ::killpg(group, SIGKILL);
                host.kill();
            } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
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
            world.run(commandsIn(projects));
            std::_Exit(0);
        }
        fs::create_directories(projects);
        ASSERT_EQ(test::runPeer(
                      { "sh", "-c", std::string("cd \"$1\" && ") + kProjectsScript, "sh", projects.string() })
                      .exitStatus,
            0);
        const auto before = test::treeContents(projects);
        world.playReal(test::commandSteps({ "touch \"$PWD/started\"; sleep 600" }));
        test::InteractivePeer host(test::killedHostCommand(world));
        ASSERT_TRUE(appears(root / "data/workspaces/ios-1/started"));
        ASSERT_FALSE(changedSince(before, test::treeContents(projects)).empty());
        auto group = test::groupLedByChildOf(host.pid());
        ASSERT_TRUE(group);

        testCase.kill(host, *group);
        EXPECT_EQ(host.wait(), 128 + SIGKILL);
        EXPECT_TRUE(test::groupEnds(*group));
        world.start();
        EXPECT_EQ(changedSince(before, test::treeContents(projects)), std::vector<std::string> {});
    }
}
