// What counts in a repository a command made, by the kernel's stamps at the edge of the run's start, and
// what takes a configuration's place: the same file without what counted, read as the real Git reads
// it from the work tree it finds the folder by.
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

timespec stampOf(const fs::path& path)
{
    struct stat status { };
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_ctim;
}

// A stamp later than that of everything made so far: the probe is written again until the kernel's
// coarse clock has moved on.
timespec stampAfterAll(const fs::path& probe)
{
    test::touch(probe);
    const timespec first = stampOf(probe);
    for (;;) {
        test::touch(probe);
        const timespec now = stampOf(probe);
        if (now.tv_sec != first.tv_sec || now.tv_nsec != first.tv_nsec)
            return now;
    }
}

// A run's window in `place`, open from `began` on.
CommandWriteWindows openFrom(const fs::path& place, const timespec& began)
{
    CommandWriteWindows windows;
    windows.add(place, { began, { began.tv_sec + 3600, 0 } });
    return windows;
}
}

TEST(NewGitFolders, CountsFromTheRunsStartAndKeepsTheRestOfAConfiguration)
{
    struct Case {
        const char* name;
        const char* before; // the user's shell before the run, in the folder holding "rel"
        const char* during; // the command's
        const char* counted; // in "rel/.git", alone
        std::string reason;
        const char* insteadHolds = ""; // what takes its place holds; empty: nothing does
        const char* runBeganAt = nullptr; // whose own stamp the run began at, else after `before`
    };
    const Case cases[] = {
        { "a hook written at the very instant the run began", "true", "echo x > rel/.git/hooks/pre-commit",
            "hooks/pre-commit", "the hook pre-commit was added", "", "rel/.git/hooks/pre-commit" },
        { "a hooks folder made before the run, moved in whole", "mkdir stash && echo x > stash/pre-commit",
            "rm -r rel/.git/hooks && mv stash rel/.git/hooks", "hooks/pre-commit",
            "the hook pre-commit was added" },
        { "a remote by its relative path, a name and a monitor", "true",
            "cd rel && git remote add origin ../origin.git && git config user.name Bot && "
            "git config core.fsmonitor ./run",
            "config", "core.fsmonitor was set (can make Git run a program)",
            "[remote \"origin\"]\n\turl = ../origin.git\n\tfetch = "
            "+refs/heads/*:refs/remotes/origin/*\n[user]\n"
            "\tname = Bot\n" },
        { "a worktree's own configuration", "true",
            "cd rel && git config extensions.worktreeConfig true && git config --worktree user.name Bot && "
            "git config --worktree alias.st '!./run'",
            "config.worktree", "alias.st was set (redefines a Git command)", "[user]\n\tname = Bot\n" },
        { "a configuration Git cannot read", "true", "echo '[core' >> rel/.git/config", "config",
            "Git cannot read the configuration" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path& root = home.root;
        auto shell = [&](const std::string& script) {
            ASSERT_EQ(test::runPeer({ "sh", "-c", "cd '" + root.string() + "' && " + script }).exitStatus, 0);
        };
        shell("git init -q --bare origin.git && git init -q rel");
        shell(testCase.before);
        timespec began = stampAfterAll(root / "probe");
        shell(testCase.during);
        if (testCase.runBeganAt)
            began = stampOf(root / testCase.runBeganAt);
        const NewGitFolders::Judging judging { .isKnownGitFolder
            = [&](const fs::path& gitFolder) { return gitFolder == root / "origin.git"; },
            .settings = GitCountedSettings::gitReaderForThisProcess(),
            .windows = openFrom(root, began) };

        auto counted = NewGitFolders::counted(root / "rel/.git", BeneathPlaces({ root }), judging);
        ASSERT_EQ(counted.size(), 1U);
        EXPECT_EQ(counted[0].path, root / "rel/.git" / testCase.counted);
        EXPECT_EQ(counted[0].reason, testCase.reason);
        EXPECT_EQ(counted[0].instead.kind == GitNotedFiles::NotedFile::Kind::absent, !*testCase.insteadHolds);
        EXPECT_NE(counted[0].instead.content.find(testCase.insteadHolds), std::string::npos);
    }
}
