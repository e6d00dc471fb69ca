// The repositories of a run's writable places, each protected in the first form that fits the budget,
// and the bounds on how many of them are read.
#include "VellumarMacCore/GitProtection/GitRepositories.h"

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
        { place }, { .home = home.home, .searchPath = "/usr/bin:/bin" });
}

bool contains(const Paths& paths, const fs::path& path)
{
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

}

// A place that is a repository keeps its own names with its other protected names and adds only its
// "commondir"; a repository below it, however deep, gets all four, a placeholder and the guard.
TEST(GitRepositories, EachRepositoryBelowAPlaceIsProtectedAsAPlacesOwn)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    makeGitFolder(place);
    makeGitFolder(place / "app");
    makeGitFolder(place / "group/deep");
    auto found = protection(place, home);

    EXPECT_EQ(found.gitFolders, (Paths { place / ".git", place / "app/.git", place / "group/deep/.git" }));
    EXPECT_EQ(found.workTrees, (Paths { place, place / "app", place / "group/deep" }));
    EXPECT_TRUE(contains(found.deniedPaths, place / ".git/commondir"));
    EXPECT_FALSE(contains(found.deniedPaths, place / ".git/hooks"));
    for (const char* name : { "hooks", "config", "config.worktree", "commondir" }) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(contains(found.deniedPaths, place / "app/.git" / name));
        EXPECT_TRUE(contains(found.deniedPaths, place / "group/deep/.git" / name));
    }
}

// However many repositories the walk finds, everything denied keeps within the budget, every one of
// them is protected in one form, and those past the budget are denied whole with one log line.
TEST(GitRepositories, KeepsWithinTheBudgetAndDeniesThoseBeyondItWhole)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    std::size_t count = GitConfigPaths::maxGitFolders;
    for (std::size_t index = 0; index < count; ++index)
        makeGitFolder(place / ("r" + std::to_string(index)));
    test::CapturedLog log;
    auto found = protection(place, home);

    EXPECT_LE(found.deniedPaths.size(), GitFolders::gitPathBudget);
    std::size_t whole = 0;
    for (std::size_t index = 0; index < count; ++index) {
        fs::path gitFolder = place / ("r" + std::to_string(index)) / ".git";
        bool isWhole = contains(found.deniedPaths, gitFolder);
        whole += isWhole;
        EXPECT_NE(isWhole, contains(found.gitFolders, gitFolder)) << gitFolder;
        EXPECT_EQ(isWhole, !contains(found.deniedPaths, gitFolder / "commondir")) << gitFolder;
    }
    EXPECT_GT(whole, 0u);
    EXPECT_LT(whole, count);
    auto lines = log.lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
            [](const std::string& line) { return line.find("protect one by one") != std::string::npos; }),
        1);
}

// Git's configuration is read in every repository found, past the 64 that were once its bound, and adds
// at most `maxConfiguredPaths` paths: at the bound everything, one past it the bound and one log line.
TEST(GitRepositories, ReadsConfigurationUpToItsBounds)
{
    struct Case {
        const char* name;
        std::size_t repositories;
        std::size_t hookFoldersEach;
        std::size_t expected;
    };
    const std::size_t repositories = 65;
    const std::size_t paths = GitConfigPaths::maxConfiguredPaths;
    const Case cases[] = {
        { "repositories past the old bound", repositories, 1, repositories },
        { "paths at the bound", 1, paths, paths },
        { "paths one past the bound", 1, paths + 1, paths },
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
        std::size_t included = std::count_if(found.deniedPaths.begin(), found.deniedPaths.end(),
            [](const fs::path& path) { return path.filename().string().starts_with("included-"); });
        EXPECT_EQ(included, testCase.expected);
        bool past = testCase.hookFoldersEach > paths;
        EXPECT_EQ(log.lines().size(), past ? 1u : 0u);
    }
}

// Git's own records name the ".git" files of a repository's submodule and linked worktree, however many
// other ".git" files, each naming a Git folder, fill the walk's bound before it reaches them; a record
// that is a FIFO holds nothing up.
TEST(GitRepositories, GitsRecordsNameSubmoduleAndWorktreeGitFilesPastAFlood)
{
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    auto git = [](const fs::path& folder, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
            { "git", "-c", "user.name=User", "-c", "user.email=user@example.com", "-c",
                "protocol.file.allow=always", "-C", folder.string() });
        ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
    };
    for (const auto& repository : { home.root / "library", place }) {
        fs::create_directories(repository);
        git(repository, { "init", "-q" });
        git(repository, { "commit", "-q", "--allow-empty", "-m", "first" });
    }
    git(place, { "submodule", "add", "-q", (home.root / "library").string(), "deps/sub" });
    git(place, { "worktree", "add", "-q", (place / "trees/linked").string() });
    // At depth one, where the walk meets them before the two ".git" files at depth two.
    for (std::size_t index = 0; index <= GitConfigPaths::maxGitFiles; ++index)
        std::ofstream(test::madeFolder(place / ("f" + std::to_string(index))) / ".git")
            << "gitdir: " << (place / ".git").string() << "\n";

    // A worktree entry a command left, whose record never ends: read without waiting for it.
    ASSERT_EQ(::mkfifo((test::madeFolder(place / ".git/worktrees/fifo") / "gitdir").c_str(), 0600), 0);

    test::CapturedLog log;
    auto found = protection(place, home);
    EXPECT_TRUE(contains(found.deniedPaths, place / "deps/sub/.git"));
    EXPECT_TRUE(contains(found.deniedPaths, place / "trees/linked/.git"));
}
