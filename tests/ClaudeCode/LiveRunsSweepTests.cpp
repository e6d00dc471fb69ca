// What a run holds of every kind in the user's folders, left there by a process killed during it or
// named in an older build's records, is swept by the next start from the one registry of live runs.
#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar;
using test::existsAt;
namespace fs = std::filesystem;

namespace {

// A repository at "<root>/project" held by a run of every kind: its Git folder by the guard, ".envrc" kept
// off, a "commondir" placeholder, and a sandbox placeholder on the way to a denied path.
struct HeldWorld {
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    fs::path sandboxPlaceholder = project / "sub";

    HeldWorld() { EXPECT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0); }

    // Holds everything and is killed, as `kill -9` leaves the records.
    void killedWhileHolding() const
    {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CommonDirPlaceholders placeholders({ project / ".git" }, home.data);
            SandboxPlaceholders sandbox(
                { (sandboxPlaceholder / ".claude/settings.json").string() }, { home.root }, home.data);
            GitGuard guard({ { project / ".git", project } }, {}, {},
                { .places = { home.root },
                    .liveRuns = home.data,
                    .settings = GitCountedSettings::gitReaderForThisProcess(),
                    .keptOff = { project / ".envrc" } });
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
    }

    // The four records an older build kept, as it wrote them, naming the same.
    void namedByAnOlderBuild() const
    {
        std::ofstream(project / ".git/commondir") << CommonDirPlaceholders::contentFor(project / ".git");
        using GitNotedFiles::NotedUnit;
        const std::vector<fs::path> places = { home.root };
        auto write = [&](std::string_view name, const std::string& bytes) {
            std::ofstream(home.data / name, std::ios::binary) << bytes;
        };
        write(GitGuard::olderRecordName,
            GitNotedFiles::encoded(
                { GitNotedFiles::noteUnit(project / ".git", project, BeneathPlaces(places)) }));
        write("git-guard-kept-off",
            GitNotedFiles::encoded(
                { NotedUnit { std::nullopt, project, places, { { project / ".envrc", {} } } } }));
        write(CommonDirPlaceholders::olderRecordName, (project / ".git").native() + '\0');
        write(SandboxPlaceholders::olderRecordName, sandboxPlaceholder.native() + '\0');
    }
};

}

TEST(LiveRuns, TheNextStartSweepsEveryKindLeftBehind)
{
    struct Case {
        const char* name;
        std::function<void(const HeldWorld&)> leftBehind;
    };
    const Case cases[] = {
        { "by a process killed during its run", &HeldWorld::killedWhileHolding },
        { "in an older build's records", &HeldWorld::namedByAnOlderBuild },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        HeldWorld world;
        testCase.leftBehind(world);
        ASSERT_EQ(test::readFile(world.project / ".git/commondir"), "../.git\n");
        // What the run's commands did before the kill: the sandbox's placeholder, a hook, a name kept off.
        fs::create_directory(world.sandboxPlaceholder);
        std::ofstream(world.project / ".git/hooks/pre-commit") << "#!/bin/sh\ntouch /tmp/ran\n";
        std::ofstream(world.project / ".envrc") << "touch /tmp/ran\n";
        test::CapturedLog log;

        CommonDirPlaceholders::removeLeftBehind(world.home.data);
        SandboxPlaceholders::removeLeftBehind(world.home.data);
        GitGuard::restoreLeftBehind(world.home.data, GitCountedSettings::gitReaderForThisProcess());

        EXPECT_FALSE(existsAt(world.project / ".git/commondir"));
        EXPECT_FALSE(existsAt(world.sandboxPlaceholder));
        EXPECT_FALSE(existsAt(world.project / ".git/hooks/pre-commit"));
        EXPECT_FALSE(existsAt(world.project / ".envrc"));
        EXPECT_EQ(log.lines().size(), 3u);
        // What is kept across starts stays; the records of what runs held go.
        auto names = test::namesIn(world.home.data);
        names.erase(std::string(CommandWriteWindows::recordName));
        names.erase(std::string(KnownGitFolders::recordName));
        names.erase(std::string(MovedAsideByGuard::recordName));
        EXPECT_EQ(names, std::set<std::string> { "workspaces" });
    }
}
