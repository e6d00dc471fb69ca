// How the next start after a kill tells the user's own changes from the killed run's commands': by the
// beat the guard kept while it lived.
#include "VellumarMacCore/GitProtection/GitGuardHeartbeat.h"

#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vellumar;
using namespace std::chrono_literals;
using test::existsAt;
namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << bytes;
    fs::permissions(file, fs::perms(0755));
}

std::chrono::nanoseconds changeTime(const fs::path& file)
{
    struct stat status { };
    EXPECT_EQ(::lstat(file.c_str(), &status), 0) << file;
    return std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec);
}

void git(const fs::path& repository, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), { "git", "-C", repository.string() });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
}

GitGuard::Options optionsIn(const test::TemporaryHome& home)
{
    return { .places = { home.root },
        .record = home.data / GitGuard::recordName,
        .settings = GitCountedSettings::gitReaderForThisProcess() };
}

const std::string kHook = "#!/bin/sh\nexit 0\n";
const std::string kPlanted = "#!/bin/sh\ntouch /tmp/ran\n";
const std::string kUsers = "#!/bin/sh\nnpx lint-staged\n";

}

// A guard killed with its process; then a command's last write, and after it the user's: a pager set
// and a hook edited. The beat each row leaves puts the line the margin draws between the command's write
// and the user's hook, as the wall clock and the boot clock show it. The user's hook stays, logged; the
// command's new hook goes aside, and so does the user's setting, since Git rewrites a configuration whole.
TEST(GitGuardHeartbeat, TheNextStartKeepsWhatTheUserChangedOnceTheCommandsHadEnded)
{
    const auto hour = std::chrono::nanoseconds(1h);
    struct Case {
        const char* name;
        // The beat for a line at `line`, read from the clocks `now` shows.
        std::function<GitGuardHeartbeat::Beat(
            std::chrono::nanoseconds line, const GitGuardHeartbeat::Beat& now)>
            beat;
    };
    auto beatAt = [](std::chrono::nanoseconds wallTime, const GitGuardHeartbeat::Beat& now) {
        return GitGuardHeartbeat::Beat { now.bootID, wallTime, now.bootTime - (now.wallTime - wallTime) };
    };
    const Case cases[] = {
        { "the beat a margin before the command's write",
            [&](auto line, const auto& now) { return beatAt(line - GitGuardHeartbeat::margin, now); } },
        // The command's write would pass for the user's if the beat's wall time were taken as it is.
        { "the wall clock set forward an hour since the beat",
            [&](auto line, const auto& now) {
                auto beat = beatAt(line - GitGuardHeartbeat::margin, now);
                beat.wallTime -= hour;
                return beat;
            } },
        // Nothing to tell a setting of the clock by: the boot clock started again.
        { "a beat of the boot before",
            [&](auto line, const auto&) {
                return GitGuardHeartbeat::Beat { "0f6a2c1e-3b4d-4e5f-8a9b-0c1d2e3f4a5b",
                    line - GitGuardHeartbeat::margin, hour };
            } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path project = home.root / "project";
        fs::create_directories(project);
        git(project, { "init", "-q" });
        write(project / ".git/hooks/pre-commit", kHook);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            GitGuard guard({ { project / ".git", project } }, {}, {}, optionsIn(home));
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        const fs::path record = home.data / GitGuard::recordName;
        ASSERT_TRUE(GitGuardHeartbeat::read(GitGuardHeartbeat::fileOf(record)));

        write(project / ".git/hooks/pre-push", kPlanted);
        const auto commandsLast = changeTime(project / ".git/hooks/pre-push");
        git(project, { "config", "core.pager", "less" });
        // The user comes later, if only by the file clock's next step.
        do
            write(project / ".git/hooks/pre-commit", kUsers);
        while (changeTime(project / ".git/hooks/pre-commit") <= commandsLast);
        const auto line = commandsLast + (changeTime(project / ".git/hooks/pre-commit") - commandsLast) / 2;
        GitGuardHeartbeat::write(
            testCase.beat(line, GitGuardHeartbeat::now()), GitGuardHeartbeat::fileOf(record));
        test::CapturedLog log;
        GitGuard::restoreLeftBehind(record, GitCountedSettings::gitReaderForThisProcess());

        EXPECT_EQ(test::readFile(project / ".git/hooks/pre-commit"), kUsers);
        EXPECT_FALSE(existsAt(project / ".git/hooks/pre-push"));
        EXPECT_EQ(test::readFile(project / ".git/config").find("pager"), std::string::npos);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 3u);
        auto kept = std::count_if(lines.begin(), lines.end(), [&](const std::string& logged) {
            return logged.starts_with((project / ".git/hooks/pre-commit").string() + " ")
                && logged.find("the user's own change and stays") != std::string::npos;
        });
        EXPECT_EQ(kept, 1);
        EXPECT_FALSE(fs::exists(GitGuardHeartbeat::fileOf(record)));
    }
}

// Guards of runs starting and ending at once on several threads, in any order: while one lives, the
// beat is there; once the last ends, the beat goes with the record, and no
// write of either leaves a temporary file.
TEST(GitGuardHeartbeat, TheBeatLastsAsLongAsAGuardOfTheRecord)
{
    test::TemporaryHome home;
    const fs::path beatFile = GitGuardHeartbeat::fileOf(home.data / GitGuard::recordName);
    constexpr int kRuns = 4;
    for (int run = 0; run < kRuns; ++run) {
        fs::create_directories(home.root / std::to_string(run));
        git(home.root / std::to_string(run), { "init", "-q" });
    }
    std::vector<std::jthread> runs;
    for (int run = 0; run < kRuns; ++run) {
        runs.emplace_back([&, run] {
            for (int again = 0; again < 3; ++again) {
                const fs::path project = home.root / std::to_string(run);
                GitGuard guard({ { project / ".git", project } }, {}, {}, optionsIn(home));
                EXPECT_TRUE(GitGuardHeartbeat::read(beatFile));
            }
        });
    }
    runs.clear();
    EXPECT_EQ(test::runPeer({ "ls", "-A", home.data.string() }).output, "workspaces\n");
}

// A guard that lives on beats again within a period, so that a kill long into a run still finds a
// recent beat.
TEST(GitGuardHeartbeat, ALivingGuardBeatsAgain)
{
    test::TemporaryHome home;
    GitGuard guard({}, {}, {}, optionsIn(home));
    const fs::path beatFile = GitGuardHeartbeat::fileOf(home.data / GitGuard::recordName);
    auto first = GitGuardHeartbeat::read(beatFile);
    ASSERT_TRUE(first);
    // Bounded only against a hang: a beat comes every period.
    EXPECT_TRUE(test::eventuallyWithin(60, [&] {
        auto beat = GitGuardHeartbeat::read(beatFile);
        return beat && beat->wallTime > first->wallTime;
    }));
}
