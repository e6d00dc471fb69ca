// The repositories of a run's writable places, each protected in the first form that fits the budget,
// and the bounds on how many of them are read.
#include "VellumarMacCore/GitProtection/Finding/GitRepositories.h"

#include "VellumarMacCore/Permissions/PathContainment.h"
#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

// Runs the real git in `folder` as a user with an identity, local submodules allowed.
void git(const fs::path& folder, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(),
        { "git", "-c", "user.name=User", "-c", "user.email=user@example.com", "-c",
            "protocol.file.allow=always", "-C", folder.string() });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
}

// A Git folder Git itself accepts, with `configuration` as its config, made without running Git.
void makeGitFolder(const fs::path& workTree, const std::string& configuration = "")
{
    fs::create_directories(workTree / ".git/objects");
    fs::create_directories(workTree / ".git/refs");
    std::ofstream(workTree / ".git/HEAD") << "ref: refs/heads/main\n";
    std::ofstream(workTree / ".git/config") << "[core]\n\trepositoryformatversion = 0\n" << configuration;
}

GitRepositories::Protection protection(const fs::path& place, const test::TemporaryHome& home)
{
    return GitRepositories::commandProtection(
        { place }, { .home = home.home, .searchPath = "/usr/bin:/bin", .run = test::runUntimed });
}

bool contains(const Paths& paths, const fs::path& path)
{
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

}

bool isGuarded(const GitRepositories::Protection& found, const fs::path& gitFolder)
{
    return std::any_of(found.guarded.begin(), found.guarded.end(),
        [&](const GuardedRepository& repository) { return repository.gitFolder == gitFolder; });
}

// A place that is a repository keeps its own names with its other protected names and adds its
// "commondir"; a repository below it, however deep, costs the sandbox no mount: the guard has them all.
TEST(GitRepositories, OnlyAPlacesOwnRepositoryIsDeniedAndEveryOneIsGuarded)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    makeGitFolder(place);
    makeGitFolder(place / "app");
    makeGitFolder(place / "group/deep");
    auto found = protection(place, home);

    EXPECT_EQ(found.gitFolders, (Paths { place / ".git" }));
    EXPECT_EQ(found.guarded,
        (std::vector<GuardedRepository> { { place / ".git", place, {}, {}, Paths {} },
            { place / "app/.git", place / "app", {}, {}, Paths {} },
            { place / "group/deep/.git", place / "group/deep", {}, {}, Paths {} } }));
    EXPECT_TRUE(contains(found.deniedPaths, place / ".git/commondir"));
    EXPECT_FALSE(contains(found.deniedPaths, place / ".git/hooks"));
    for (const auto& path : found.deniedPaths) {
        EXPECT_FALSE(isPathInside(path, place / "app")) << path;
        EXPECT_FALSE(isPathInside(path, place / "group")) << path;
    }
}

// However many repositories the walk finds below a place, the sandbox denies none of them and the
// guard notes every one.
TEST(GitRepositories, AThousandRepositoriesBelowAPlaceCostTheSandboxNothing)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    std::size_t count = 1024;
    for (std::size_t index = 0; index < count; ++index)
        makeGitFolder(place / ("r" + std::to_string(index)));
    test::CapturedLog log;
    auto found = protection(place, home);

    EXPECT_TRUE(found.deniedPaths.empty());
    EXPECT_TRUE(found.gitFolders.empty());
    for (std::size_t index = 0; index < count; ++index) {
        fs::path gitFolder = place / ("r" + std::to_string(index)) / ".git";
        EXPECT_TRUE(isGuarded(found, gitFolder)) << gitFolder;
    }
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("room to protect"), std::string::npos);
}

// A stopped rebase, cherry-pick or revert keeps the state "--continue" runs from: where it exists when
// the run starts, in a place's repository, one below it or a linked folder, it is denied; one a command
// makes later is not looked for, and past the bound the rest stays writable with one log line.
TEST(GitRepositories, TheSequencersStateOfAnyRepositoryIsDeniedWhereItExists)
{
    struct Case {
        const char* name;
        std::vector<std::string> states; // below the place
        std::size_t expected;
    };
    const Case cases[] = {
        { "none", {}, 0 },
        { "a rebase stopped in the place's own", { ".git/rebase-merge" }, 1 },
        { "an interactive one below it", { "app/.git/rebase-merge" }, 1 },
        { "an old-style rebase and a cherry-pick", { "app/.git/rebase-apply", "app/.git/sequencer" }, 2 },
        { "in a linked worktree's folder", { ".git/worktrees/linked/rebase-merge" }, 1 },
        { "one past the bound", {}, GitRepositories::maxSequencerPaths },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        fs::path place = home.home / "Projects";
        makeGitFolder(place);
        makeGitFolder(place / "app");
        test::touch(test::madeFolder(place / ".git/worktrees/linked") / "gitdir");
        test::emptyGitFolder(place / ".git/worktrees/linked");
        std::vector<std::string> states = testCase.states;
        if (testCase.expected == GitRepositories::maxSequencerPaths) {
            for (std::size_t index = 0; index <= GitRepositories::maxSequencerPaths; ++index) {
                makeGitFolder(place / ("r" + std::to_string(index)));
                states.push_back("r" + std::to_string(index) + "/.git/rebase-merge");
            }
        }
        for (const auto& state : states)
            fs::create_directories(place / state);
        test::CapturedLog log;
        auto found = protection(place, home);

        std::size_t denied = 0;
        for (const auto& state : states)
            denied += contains(found.deniedPaths, place / state);
        EXPECT_EQ(denied, testCase.expected);
        auto lines = log.lines();
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                [](const std::string& line) { return line.find("stand stopped") != std::string::npos; }),
            states.size() > testCase.expected ? 1 : 0);
    }
}

// Git's configuration is read in every repository found, past the 64 that were once its bound, and what
// it names goes to the guard with its repository, past the 128 paths that were once its bound too.
TEST(GitRepositories, ReadsConfigurationUpToItsBounds)
{
    struct Case {
        const char* name;
        std::size_t repositories;
        std::size_t hookFoldersEach;
        std::size_t expected;
    };
    const std::size_t repositories = 65;
    const std::size_t paths = 128;
    const Case cases[] = {
        { "repositories past the old bound", repositories, 1, repositories },
        { "paths at the old bound", 1, paths, paths },
        { "paths one past the old bound", 1, paths + 1, paths + 1 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        fs::path place = home.home / "Projects";
        for (std::size_t index = 0; index < testCase.repositories; ++index) {
            std::string configuration;
            // Each a file Git would include, in the place.
            for (std::size_t file = 0; file < testCase.hookFoldersEach; ++file)
                configuration += "[include]\n\tpath = ../included-" + std::to_string(file) + ".cfg\n";
            makeGitFolder(place / ("r" + std::to_string(index)), configuration);
        }
        test::CapturedLog log;
        auto found = protection(place, home);
        auto isIncluded
            = [](const fs::path& path) { return path.filename().string().starts_with("included-"); };
        std::size_t included = 0;
        for (const auto& guarded : found.guarded) {
            EXPECT_EQ(guarded.configured.size(), testCase.hookFoldersEach);
            included += std::count_if(guarded.configured.begin(), guarded.configured.end(), isIncluded);
        }
        EXPECT_EQ(included, testCase.expected);
        EXPECT_EQ(std::count_if(found.deniedPaths.begin(), found.deniedPaths.end(), isIncluded), 0);
        EXPECT_TRUE(log.lines().empty());
    }
}

// Git's own records name the ".git" files of a repository's submodule and linked worktrees, however many
// other ".git" files, each naming a Git folder, fill the walk's bound before it reaches them; a record
// relative to its worktree's folder is read from there, and one that is a FIFO holds nothing up.
TEST(GitRepositories, GitsRecordsNameSubmoduleAndWorktreeGitFilesPastAFlood)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    for (const auto& repository : { home.root / "library", place }) {
        fs::create_directories(repository);
        git(repository, { "init", "-q" });
        git(repository, { "commit", "-q", "--allow-empty", "-m", "first" });
    }
    git(place, { "submodule", "add", "-q", (home.root / "library").string(), "deps/sub" });
    git(place, { "worktree", "add", "-q", (place / "trees/linked").string() });
    // As Git writes them with "worktree.useRelativePaths".
    git(place, { "worktree", "add", "-q", "-b", "relative", (place / "trees/relative").string() });
    std::ofstream(place / ".git/worktrees/relative/gitdir") << "../../../trees/relative/.git\n";
    std::ofstream(place / "trees/relative/.git") << "gitdir: ../../.git/worktrees/relative\n";
    // At depth one, where the walk meets them before the two ".git" files at depth two.
    for (std::size_t index = 0; index <= 256; ++index)
        std::ofstream(test::madeFolder(place / ("f" + std::to_string(index))) / ".git")
            << "gitdir: " << (place / ".git").string() << "\n";

    // A worktree entry a command left, whose record never ends: read without waiting for it.
    ASSERT_EQ(::mkfifo((test::madeFolder(place / ".git/worktrees/fifo") / "gitdir").c_str(), 0600), 0);

    test::CapturedLog log;
    auto found = protection(place, home);
    EXPECT_TRUE(contains(found.deniedPaths, place / "deps/sub/.git"));
    EXPECT_TRUE(contains(found.deniedPaths, place / "trees/linked/.git"));
    EXPECT_TRUE(contains(found.deniedPaths, place / "trees/relative/.git"));
}

// A folder a hook puts first on PATH relative to where it runs is guarded wherever the hook may run:
// at the work tree's top, in every folder of it that holds one (a hook that changed folder first), but
// not inside installed packages, and in each linked worktree and submodule, which runs the hooks of its
// own work tree.
TEST(GitRepositories, WhatHooksPutFirstIsGuardedWhereverTheyMayRun)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    // husky's runner, committed so that the worktree and the submodule have their own.
    auto addHusky = [&](const fs::path& repository) {
        fs::create_directories(repository);
        git(repository, { "init", "-q" });
        test::writeExecutable(repository / ".husky/_/pre-commit", ". \"$(dirname \"$0\")/h\"\n");
        std::ofstream(repository / ".husky/_/h") << "export PATH=\"node_modules/.bin${PATH:+:$PATH}\"\n";
        git(repository, { "config", "core.hooksPath", ".husky/_" });
        git(repository, { "add", ".husky" });
        git(repository, { "commit", "-q", "-m", "husky" });
    };
    addHusky(home.root / "library");
    addHusky(place / "app");
    git(place / "app", { "submodule", "add", "-q", (home.root / "library").string(), "sub" });
    git(place / "app", { "worktree", "add", "-q", (place / "linked").string() });
    git(place / "app/sub", { "config", "core.hooksPath", ".husky/_" });
    for (const char* bin :
        { "app/node_modules/.bin", "app/web/node_modules/.bin", "app/node_modules/pkg/node_modules/.bin",
            "linked/node_modules/.bin", "app/sub/node_modules/.bin" })
        fs::create_directories(place / bin);

    auto found = protection(place, home);
    auto app = std::find_if(found.guarded.begin(), found.guarded.end(),
        [&](const GuardedRepository& repository) { return repository.workTree == place / "app"; });
    ASSERT_NE(app, found.guarded.end());
    const std::pair<const char*, bool> cases[] = {
        { "app/node_modules/.bin", true },
        { "app/web/node_modules/.bin", true },
        { "app/node_modules/pkg/node_modules/.bin", false },
        { "linked/node_modules/.bin", true },
        { "app/sub/node_modules/.bin", true },
    };
    for (const auto& [folder, guarded] : cases) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(contains(app->searchedFirst, place / folder), guarded);
    }
}

// The places' own repositories share what the budget leaves after what Git's configuration and the
// sequencer's state may take, in the places' order: a repository that fits to the last path is
// protected name by name; one path over, its linked folders are denied whole; and a place never takes
// the path that each place after it needs.
TEST(GitRepositories, ThePlacesRepositoriesShareTheBudgetToItsLastPath)
{
    const std::size_t cap = GitFolders::maxLinkedFolders;
    // Makes `place` a repository whose protection name by name costs `paths` paths (1, or 7 to
    // `full`): its "commondir", then linked worktree folders of three paths each ("config.worktree",
    // "hooks", "config") or four (and "commondir").
    auto layCosting = [cap](const fs::path& place, std::size_t paths) {
        makeGitFolder(place);
        std::size_t left = paths - 1;
        std::size_t fours = left > 3 * cap ? left - 3 * cap : left % 3;
        std::size_t threes = (left - 4 * fours) / 3;
        for (std::size_t index = 0; index < fours + threes; ++index) {
            fs::path folder = test::emptyGitFolder(place / ".git/worktrees" / ("w" + std::to_string(index)));
            test::touch(folder / "gitdir");
            if (index < fours)
                std::ofstream(folder / "commondir") << "../..\n";
        }
    };
    const std::size_t full = 1 + 4 * cap;
    const std::size_t room = GitFolders::gitPathBudget - GitRepositories::reservedPaths;
    struct Case {
        const char* name;
        std::vector<std::size_t> costs; // of each place's repository, name by name
        std::vector<std::string> whole; // linked folders denied whole
        std::size_t denied;
    };
    const Case cases[] = {
        { "the second fits to the last path", { full, room - full }, {}, room },
        { "the second one path over", { full, room - full + 1 }, { "p1/.git/worktrees" }, full + 2 },
        { "the second would take the third's path", { full, room - full, 1 }, { "p1/.git/worktrees" },
            full + 3 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        Paths places;
        for (std::size_t cost : testCase.costs) {
            places.push_back(home.root / ("p" + std::to_string(places.size())));
            layCosting(places.back(), cost);
        }
        test::CapturedLog log;
        auto found = GitRepositories::commandProtection(
            places, { .home = home.home, .searchPath = "/usr/bin:/bin" });

        Paths whole;
        for (const auto& path : found.deniedPaths) {
            if (path.filename() == "worktrees")
                whole.push_back(path.lexically_relative(home.root));
        }
        EXPECT_EQ(whole, Paths(testCase.whole.begin(), testCase.whole.end()));
        EXPECT_EQ(found.deniedPaths.size(), testCase.denied);
        Paths gitFolders;
        for (const auto& place : places)
            gitFolders.push_back(place / ".git");
        EXPECT_EQ(found.gitFolders, gitFolders);
    }
}

// Where Git does not tell what a configuration the run's start reads names (a `git` that never answers,
// or one that cannot start), the run stops before its first command, with one log line however many
// went unread; a configuration Git refuses names nothing Git runs, and the run goes on.
TEST(GitRepositories, WhereGitDoesNotTellWhatAConfigurationNamesTheRunStops)
{
    const CommandResult neverAnswered { .status = SIGKILL, .output = "", .timedOut = true };
    struct Case {
        const char* name;
        bool repositories; // the place's own and three below it, else none
        const char* readOf; // what the replaced runs of `git` name
        std::optional<CommandResult> answer; // none: `git` cannot start
        bool stops;
    };
    const Case cases[] = {
        { "one repository's configuration", true, "/r1", neverAnswered, true },
        { "every repository's configuration", true, "Projects", neverAnswered, true },
        { "a file one may include", true, "included.cfg", neverAnswered, true },
        { "the list of a place's submodules", true, ".gitmodules", neverAnswered, true },
        { "the global configuration, with no repository to guard", false, "Projects", neverAnswered, true },
        { "Git cannot start", true, "/r1", std::nullopt, true },
        { "Git refuses a repository's configuration", true, "/r1", CommandResult { .status = 128 }, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        fs::path place = home.home / "Projects";
        if (testCase.repositories) {
            makeGitFolder(place);
            std::ofstream(place / ".gitmodules") << "[submodule \"s\"]\n\tpath = s\n";
            // Read on its own: Git follows no include whose condition fails.
            makeGitFolder(place / "r0", "[includeIf \"gitdir:/nowhere/\"]\n\tpath = ../included.cfg\n");
            std::ofstream(place / "r0/included.cfg") << "[core]\n\thooksPath = .husky\n";
            makeGitFolder(place / "r1");
            makeGitFolder(place / "r2");
        }
        auto run = [&](const fs::path& git, const std::vector<std::string>& arguments,
                       const CommandOptions& options) {
            if (std::none_of(arguments.begin(), arguments.end(), [&](const std::string& argument) {
                    return argument.find(testCase.readOf) != std::string::npos;
                }))
                return test::runUntimed(git, arguments, options);
            if (!testCase.answer)
                throw CommandLaunchError(git, std::make_error_code(std::errc::no_such_file_or_directory));
            return *testCase.answer;
        };
        test::CapturedLog log;
        auto sandbox = GitRepositories::sandboxPart(
            { place }, { .home = home.home, .searchPath = "/usr/bin:/bin", .run = run });
        if (testCase.stops) {
            EXPECT_THROW(GitRepositories::forGuard(sandbox), std::runtime_error);
        } else {
            EXPECT_EQ(GitRepositories::forGuard(sandbox).guarded.size(), 4u);
        }
        auto told = log.lines();
        std::erase_if(
            told, [](const std::string& line) { return line.find("did not tell") == std::string::npos; });
        ASSERT_EQ(told.size(), testCase.stops ? 1u : 0u);
        if (testCase.stops) {
            EXPECT_NE(told.front().find(testCase.readOf), std::string::npos) << told.front();
        }
    }
}

// The places whose search the start's budget stopped (here a budget of nothing, which walks one folder)
// are walked to their end before the first command: what is found there is guarded as if the start had
// found it, whatever the machine's speed.
TEST(GitRepositories, WhatTheStartsSearchLeftIsGuardedBeforeAnyCommandRuns)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    const fs::path deep = place / "a/b/deep";
    makeGitFolder(deep, "[core]\n\thooksPath = .husky\n");
    test::madeFolder(deep / ".husky");
    makeGitFolder(home.root / "store");
    std::ofstream(test::madeFolder(place / "c/linked") / ".git")
        << "gitdir: " << (home.root / "store/.git").string();
    auto sandbox = GitRepositories::sandboxPart({ place },
        { .home = home.home,
            .searchPath = "/usr/bin:/bin",
            .searchBudgetPerPlace = std::chrono::steady_clock::duration::zero() });
    ASSERT_FALSE(isGuarded(sandbox, deep / ".git"));

    const auto& found = GitRepositories::forGuard(sandbox);
    auto repository = std::find_if(found.guarded.begin(), found.guarded.end(),
        [&](const GuardedRepository& guarded) { return guarded.gitFolder == deep / ".git"; });
    ASSERT_NE(repository, found.guarded.end());
    EXPECT_EQ(repository->workTree, deep);
    EXPECT_EQ(repository->configured, Paths { deep / ".husky" });
    EXPECT_EQ(found.guardedGitFiles, Paths { place / "c/linked/.git" });
}
