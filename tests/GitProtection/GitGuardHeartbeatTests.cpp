// The live runs' sign of life: where the next start after a kill draws the line after which a change is
// the user's, and how long the beat lasts.
#include "VellumarMacCore/Foundations/LiveRunsHeartbeat.h"

#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vellumar;
namespace fs = std::filesystem;
using std::chrono::hours;

// A margin after the last beat, moved on by as much as the wall clock was set forward since, never back,
// and only within one boot, whose clock tells a setting of the wall clock.
TEST(LiveRunsHeartbeat, TheUsersChangesBeginAMarginAfterTheBeatAndLaterForAClockSetForward)
{
    test::TemporaryFolder folder;
    // A beat's two clocks are read one after the other, and the wall clock seems set on by as long as that
    // took, which a busy machine makes longer: a line is right to within how long the test's beat and the
    // call that drew it took.
    const auto nowRead = std::chrono::steady_clock::now();
    const auto now = LiveRunsHeartbeat::now();
    const auto nowTook = std::chrono::steady_clock::now() - nowRead;
    const auto beat = now.wallTime - hours(2);
    const auto margin = std::chrono::nanoseconds(LiveRunsHeartbeat::margin);
    struct Case {
        const char* name;
        LiveRunsHeartbeat::Beat beat;
        std::chrono::nanoseconds line;
    };
    const Case cases[] = {
        { "a beat two hours ago", { now.bootID, beat, now.bootTime - hours(2) }, beat + margin },
        { "the wall clock set forward an hour since", { now.bootID, beat, now.bootTime - hours(1) },
            beat + margin + hours(1) },
        { "the wall clock set back an hour since", { now.bootID, beat, now.bootTime - hours(3) },
            beat + margin },
        { "a beat of the boot before, which had run longer",
            { "0f6a2c1e-3b4d-4e5f-8a9b-0c1d2e3f4a5b", beat, now.bootTime + hours(1) }, beat + margin },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        LiveRunsHeartbeat::write(testCase.beat, folder / "beat");
        const auto drawn = std::chrono::steady_clock::now();
        auto line = LiveRunsHeartbeat::commandsEndedBy(folder / "beat");
        const auto took = std::chrono::steady_clock::now() - drawn;
        ASSERT_TRUE(line);
        EXPECT_LE(std::chrono::abs(*line - testCase.line), nowTook + took);
    }
    test::writeBytes(folder / "beat", "0f6a2c1e 12");
    EXPECT_FALSE(LiveRunsHeartbeat::commandsEndedBy(folder / "beat"));
}

// Guards of runs starting and ending at once on several threads, in any order: the beat is there while
// one lives, and beats again within a period; once the last ends, it goes with the record, and no write
// of either leaves a temporary file.
TEST(LiveRunsHeartbeat, TheBeatLastsAsLongAsAGuardOfTheRecord)
{
    test::TemporaryHome home;
    const fs::path beatFile = LiveRuns::heartbeatOf(home.data);
    auto guardOf = [&](std::vector<GuardedRepository> repositories) {
        return GitGuard(
            repositories, {}, {}, { .places = { home.root }, .liveRuns = home.data, .settings = {} });
    };
    {
        GitGuard first = guardOf({});
        const auto started = LiveRunsHeartbeat::read(beatFile).value().wallTime;
        std::vector<std::jthread> runs;
        for (int run = 0; run < 4; ++run) {
            runs.emplace_back([&, run] {
                const fs::path project = home.root / std::to_string(run);
                EXPECT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0);
                GitGuard guard = guardOf({ { project / ".git", project } });
                EXPECT_TRUE(LiveRunsHeartbeat::read(beatFile));
            });
        }
        runs.clear();
        // Bounded only against a hang.
        EXPECT_TRUE(test::eventuallyWithin(
            60, [&] { return LiveRunsHeartbeat::read(beatFile).value().wallTime > started; }));
    }
    // What is kept across starts stays; the beat and the records of what runs hold go.
    EXPECT_EQ(test::namesIn(home.data),
        (std::set<std::string> { "workspaces", std::string(CommandWriteWindows::recordName),
            std::string(KnownGitFolders::recordName) }));
}
