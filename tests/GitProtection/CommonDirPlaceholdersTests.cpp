// The record that lets the program's next start find the placeholders of a process killed during a
// run, and the placeholders shared by runs on many threads at once.
#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>

using namespace vellumar;
using test::existsAt;
namespace fs = std::filesystem;

TEST(CommonDirPlaceholders, TheNextStartRemovesOnlyWhatTheRecordNamesAsItWasWritten)
{
    test::TemporaryHome home;
    // As an older build wrote it, read once at the first start after an upgrade.
    const fs::path record = home.data / CommonDirPlaceholders::olderRecordName;
    struct Case {
        const char* name;
        std::function<void(const fs::path& git)> since; // after the killed process
        bool recorded;
        bool stays;
    };
    const fs::path outside = home.root / "outside";
    const Case cases[] = {
        { "as it was written", [](const fs::path&) {}, true, false },
        { "as an older build wrote it, by its own path",
            [](const fs::path& git) { std::ofstream(git / "commondir") << git.string() << "\n"; }, true,
            false },
        { "as an older build wrote it, one byte short",
            [](const fs::path& git) { std::ofstream(git / "commondir") << git.string(); }, true, true },
        { "as an older build wrote it, one byte more",
            [](const fs::path& git) { std::ofstream(git / "commondir") << git.string() << "\n\n"; }, true,
            true },
        { "one byte more", [](const fs::path& git) { std::ofstream(git / "commondir") << "../.git\n\n"; },
            true, true },
        { "changed since", [](const fs::path& git) { std::ofstream(git / "commondir") << "../..\n"; }, true,
            true },
        { "gone since", [](const fs::path& git) { fs::remove(git / "commondir"); }, true, false },
        { "a link to the same bytes at the name",
            [&](const fs::path& git) {
                fs::rename(git / "commondir", outside);
                fs::create_symlink(outside, git / "commondir");
            },
            true, true },
        { "reached through a link now",
            [](const fs::path& git) {
                fs::path repository = git.parent_path();
                fs::rename(repository, repository.string() + "-moved");
                fs::create_directory_symlink(repository.string() + "-moved", repository);
            },
            true, true },
        { "not in the record", [](const fs::path&) {}, false, true },
    };
    std::string named;
    std::vector<fs::path> gitFolders;
    for (const auto& testCase : cases) {
        const fs::path& git = gitFolders.emplace_back(test::madeFolder(home.root / testCase.name / ".git"));
        std::ofstream(git / "commondir") << CommonDirPlaceholders::contentFor(git);
        testCase.since(git);
        if (testCase.recorded)
            named += git.string() + '\0';
    }
    // One a run of this process holds as the start's clean-up runs.
    const fs::path heldGit = test::madeFolder(home.root / "held/.git");
    CommonDirPlaceholders held({ heldGit }, home.data);
    std::ofstream(record) << named;

    CommonDirPlaceholders::removeLeftBehind(home.data);

    for (std::size_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE(cases[index].name);
        EXPECT_EQ(existsAt(gitFolders[index] / "commondir"), cases[index].stays);
    }
    EXPECT_EQ(test::readFile(heldGit / "commondir"), "../.git\n");
    EXPECT_FALSE(existsAt(record));
    const std::vector<LiveRuns::Entry> heldOnly = { { heldGit.native(), {} } };
    EXPECT_EQ(
        LiveRuns::decoded(test::readFile(LiveRuns::recordOf(home.data, LiveRuns::Kind::commonDirPlaceholder)))
            .entries,
        heldOnly);
}

// A placeholder no record names would outlive a kill unseen: none is made, and the log says why (beside
// the heartbeat's own line, which cannot be written there either).
TEST(CommonDirPlaceholders, NoneIsMadeWhereTheRecordCannotBeWritten)
{
    test::TemporaryHome home;
    const fs::path git = test::madeFolder(home.root / "project/.git");
    test::touch(home.root / "file");
    test::CapturedLog log;
    CommonDirPlaceholders placeholders({ git }, home.root / "file");
    EXPECT_TRUE(placeholders.held().empty());
    EXPECT_FALSE(existsAt(git / "commondir"));
    const auto lines = log.lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
            [](const std::string& line) { return line.find("commondir placeholders") != std::string::npos; }),
        1);
}

// Opening a FIFO to read waits for a writer, with the placeholders' lock held and every later run
// behind it: the run goes without a placeholder there, at once.
TEST(CommonDirPlaceholders, ARunStartsAtOnceWithoutOneWhereAFifoIsAtTheName)
{
    test::TemporaryHome home;
    const fs::path fifoGit = test::madeFolder(home.root / "fifo/.git");
    const fs::path plainGit = test::madeFolder(home.root / "plain/.git");
    ASSERT_EQ(::mkfifo((fifoGit / "commondir").c_str(), 0600), 0);
    auto held = std::async(std::launch::async, [&] {
        return CommonDirPlaceholders({ fifoGit, plainGit }, home.data).held();
    });
    // A guard against a hang only: a start that waits is let go by a writer, and fails the test.
    if (held.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the run's start waited on the FIFO";
        FileDescriptor writer(::open((fifoGit / "commondir").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    EXPECT_EQ(held.get(), std::vector<fs::path> { plainGit });
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifoGit / "commondir")));
}

// A process killed anywhere in making, holding or removing its placeholders leaves each one it made
// named in the record, and the next start leaves no trace of them.
TEST(CommonDirPlaceholders, AKillAtAnyMomentLeavesNothingTheNextStartCannotFind)
{
    test::TemporaryHome home;
    std::vector<fs::path> gitFolders;
    for (const char* name : { "a", "b", "c" })
        gitFolders.push_back(test::madeFolder(home.root / name / ".git"));
    std::mt19937 random(std::random_device {}());
    int killedWhileHeld = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        // The child's: placeholders held from one step into the next, for a while as long as the
        // kill's jitter, so that kills land while they exist as well as while they are made or removed.
        std::optional<CommonDirPlaceholders> held;
        std::mt19937 holding(random());
        test::killWhileRepeating(
            [&] {
                std::this_thread::sleep_for(
                    std::chrono::microseconds(std::uniform_int_distribution(0, 3000)(holding)));
                held.reset();
                held.emplace(gitFolders, home.data);
                return held->held().size() == gitFolders.size();
            },
            random);
        killedWhileHeld += std::any_of(gitFolders.begin(), gitFolders.end(),
            [](const fs::path& git) { return existsAt(git / "commondir"); });

        CommonDirPlaceholders::removeLeftBehind(home.data);
        for (const auto& git : gitFolders)
            EXPECT_FALSE(existsAt(git / "commondir"));
        for (const auto& entry : fs::directory_iterator(home.data))
            EXPECT_EQ(entry.path().filename(), "workspaces"); // no record, nor a temporary file of one
    }
    EXPECT_GT(killedWhileHeld, 0);
}

TEST(CommonDirPlaceholders, RunsOnManyThreadsShareEachPlaceholderUntilTheLastLetsGo)
{
    test::TemporaryHome home;
    const fs::path record = LiveRuns::recordOf(home.data, LiveRuns::Kind::commonDirPlaceholder);
    const std::vector<fs::path> gitFolders
        = { test::madeFolder(home.root / "a/.git"), test::madeFolder(home.root / "b/.git") };
    std::atomic<int> unheld = 0;
    {
        std::vector<std::jthread> runs;
        for (int thread = 0; thread < 4; ++thread) {
            runs.emplace_back([&, thread] {
                for (int run = 0; run < 50; ++run) {
                    CommonDirPlaceholders placeholders(
                        { gitFolders[thread % 2], gitFolders[1 - thread % 2] }, home.data);
                    const fs::path& git = gitFolders[thread % 2];
                    bool held
                        = placeholders.held().size() == 2 && test::readFile(git / "commondir") == "../.git\n";

                    unheld += held ? 0 : 1;
                }
            });
        }
    }
    EXPECT_EQ(unheld, 0);
    for (const auto& git : gitFolders)
        EXPECT_FALSE(existsAt(git / "commondir"));
    EXPECT_FALSE(existsAt(record));
}

// The placeholder names its folder through the parent, so that a copy reads it as its own folder; a name
// Git or libgit2 would read otherwise than written gets ".".
TEST(CommonDirPlaceholders, NamesItsFolderThroughTheParent)
{
    struct Case {
        const char* name;
        fs::path gitFolder;
        std::string expected;
    };
    const Case cases[] = {
        { "a work tree's own", "/home/u/Projects/app/.git", "../.git\n" },
        { "another Git folder", "/home/u/store/app.git", "../app.git\n" },
        { "a name with a space inside", "/home/u/my repo.git", "../my repo.git\n" },
        { "a name ending in white space", "/home/u/app.git ", ".\n" },
        { "a name ending in a tab", "/home/u/app.git\t", ".\n" },
        { "a name holding a line feed", "/home/u/a\nb.git", ".\n" },
        { "the root", "/", ".\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(CommonDirPlaceholders::contentFor(testCase.gitFolder), testCase.expected);
    }
}
