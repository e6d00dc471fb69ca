// What counts in a repository a command made, by the kernel's stamps at the edge of the run's start, and
// what takes a configuration's place: the same file without what counted, read as the real Git reads
// it from the work tree it finds the folder by.
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
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
}

TEST(NewGitFolders, CountsFromTheRunsStartAndKeepsTheRestOfAConfiguration)
{
    using Step = std::function<void(const fs::path& root)>;
    struct Case {
        const char* name;
        Step before; // the user's, before the run
        Step during;
        std::vector<std::pair<std::string, std::string>> counted; // in "rel/.git", and the reason
        std::string insteadHolds = {}; // in what takes the last one's place; empty: nothing does
        const char* runBeganAt = nullptr; // the path whose own stamp the run began at, else after `before`
    };
    auto gitting = [](std::vector<std::string> arguments) {
        return [arguments](const fs::path& root) { test::git(root / "rel", arguments); };
    };
    auto steps = [](std::vector<Step> all) {
        return [all](const fs::path& root) {
            for (const auto& step : all)
                step(root);
        };
    };
    const std::string program = "can make Git run a program";
    const Case cases[] = {
        { "a hook written at the very instant the run began", nullptr,
            [](const fs::path& root) { test::write(root / "rel/.git/hooks/pre-commit", "#!/bin/sh\n"); },
            { { "hooks/pre-commit", "the hook pre-commit was added" } }, "", "rel/.git/hooks/pre-commit" },
        { "a hooks folder made before the run, moved in whole",
            [](const fs::path& root) { test::write(root / "stash/pre-commit", "#!/bin/sh\n"); },
            [](const fs::path& root) {
                fs::remove_all(root / "rel/.git/hooks");
                fs::rename(root / "stash", root / "rel/.git/hooks");
            },
            { { "hooks/pre-commit", "the hook pre-commit was added" } } },
        { "a remote by its relative path, a name and a monitor", nullptr,
            steps({ gitting({ "remote", "add", "origin", "../origin.git" }),
                gitting({ "config", "user.name", "Bot" }),
                gitting({ "config", "core.fsmonitor", "./run" }) }),
            { { "config", "core.fsmonitor was set (" + program + ")" } },
            "[remote \"origin\"]\n\turl = ../origin.git\n\tfetch = "
            "+refs/heads/*:refs/remotes/origin/*\n[user]\n"
            "\tname = Bot\n" },
        { "a worktree's own configuration", nullptr,
            steps({ gitting({ "config", "extensions.worktreeConfig", "true" }),
                gitting({ "config", "--worktree", "user.name", "Bot" }),
                gitting({ "config", "--worktree", "alias.st", "!./run" }) }),
            { { "config.worktree", "alias.st was set (redefines a Git command)" } },
            "[user]\n\tname = Bot\n" },
        { "a configuration Git cannot read", nullptr,
            [](const fs::path& root) { std::ofstream(root / "rel/.git/config", std::ios::app) << "[core\n"; },
            { { "config", "Git cannot read the configuration" } } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path& root = home.root;
        test::git(root, { "init", "-q", "--bare", "origin.git" });
        test::git(root, { "init", "-q", "rel" });
        if (testCase.before)
            testCase.before(root);
        timespec began = stampAfterAll(root / "probe");
        testCase.during(root);
        if (testCase.runBeganAt)
            began = stampOf(root / testCase.runBeganAt);
        const NewGitFolders::Judging judging { .isKnownGitFolder
            = [&](const fs::path& gitFolder) { return gitFolder == root / "origin.git"; },
            .settings = GitCountedSettings::gitReaderForThisProcess(),
            .since = began };

        auto counted = NewGitFolders::counted(root / "rel/.git", BeneathPlaces({ root }), judging);
        std::vector<std::pair<std::string, std::string>> found;
        for (const auto& one : counted)
            found.emplace_back(one.path.lexically_relative(root / "rel/.git").string(), one.reason);
        EXPECT_EQ(found, testCase.counted);
        if (counted.empty())
            continue;
        const auto& instead = counted.back().instead;
        if (testCase.insteadHolds.empty()) {
            EXPECT_EQ(instead.kind, GitNotedFiles::NotedFile::Kind::absent);
        } else {
            EXPECT_NE(instead.content.find(testCase.insteadHolds), std::string::npos) << instead.content;
        }
    }
}
