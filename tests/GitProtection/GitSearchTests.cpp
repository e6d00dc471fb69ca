// The search for repositories in the writable places: the forms Git gives a repository, made by Git
// itself, and what a flood of files, folders or Git folders can no longer hide.
#include "VellumarMacCore/GitProtection/Finding/GitFolderRecord.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositories.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"
#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <latch>

using namespace vellumar;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

void git(const fs::path& folder, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(),
        { "git", "-c", "user.name=User", "-c", "user.email=user@example.com", "-c", "init.defaultBranch=main",
            "-C", folder.string() });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
}

void repository(const fs::path& workTree)
{
    fs::create_directories(workTree);
    git(workTree, { "init", "-q" });
    git(workTree, { "commit", "-q", "--allow-empty", "-m", "first" });
}

// For a search whose time budget is not what the test asks about: a busy machine spends it on fewer
// folders, and on this clock it stops nothing.
std::chrono::steady_clock::time_point stillClock() { return {}; }

// What a flood made in one command leaves: a Git folder Git takes for one, with nothing in it.
void emptyGitFolders(const fs::path& folder, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index)
        test::emptyGitFolder(folder / ("e" + std::to_string(index)) / ".git");
}

struct Places {
    test::TemporaryHome home;
    fs::path projects = home.home / "Projects";
    fs::path work = test::madeFolder(home.data / "workspaces/one");

    GitRepositories::Protection protection(const Paths& places) const
    {
        return GitRepositories::commandProtection(places,
            { .home = home.home,
                .searchPath = "/usr/bin:/bin",
                .dataFolder = home.data,
                .run = test::runUntimed });
    }

    // Whether `path` is protected: denied, alone or with its whole folder, or in a Git folder or at a
    // ".git" file that the run's guard notes.
    bool protects(const Paths& places, const fs::path& path) const
    {
        auto found = protection(places);
        const auto& denied = found.deniedPaths;
        const auto& gitFiles = found.guardedGitFiles;
        return std::any_of(denied.begin(), denied.end(),
                   [&](const fs::path& deniedPath) { return isPathInside(path, deniedPath); })
            || std::find(gitFiles.begin(), gitFiles.end(), path) != gitFiles.end()
            || std::any_of(found.guarded.begin(), found.guarded.end(), [&](const GuardedRepository& guarded) {
                   return isPathInside(path, guarded.gitFolder)
                       || (guarded.workTree && path == *guarded.workTree / ".git")
                       || std::any_of(guarded.configured.begin(), guarded.configured.end(),
                           [&](const fs::path& named) { return isPathInside(path, named); });
               });
    }
};

}

// gitrepository-layout(5)'s forms, each made by Git: what Git runs in each is denied to commands or
// guarded for the run.
TEST(GitSearch, FindsBareAndSeparateGitFoldersAsRepositories)
{
    struct Case {
        const char* name;
        std::function<void(const Places&)> make;
        Paths expected; // relative to "~/Projects"
        Paths notExpected;
    };
    const Case cases[] = {
        { "a bare repository the user pushes to",
            [](const Places& p) {
                test::madeFolder(p.projects / "store");
                git(p.projects, { "init", "-q", "--bare", "origin.git" });
            },
            { "origin.git/hooks", "origin.git/config" }, {} },
        { "a bare clone with linked worktrees",
            [](const Places& p) {
                repository(p.home.root / "source");
                git(p.projects, { "clone", "-q", "--bare", (p.home.root / "source").string(), "app/.bare" });
                std::ofstream(p.projects / "app/.git") << "gitdir: ./.bare\n";
                git(p.projects / "app", { "worktree", "add", "-q", "main" });
            },
            { "app/.bare/hooks", "app/.bare/config", "app/.bare/worktrees/main/config.worktree", "app/.git",
                "app/main/.git" },
            {} },
        { "a separate Git folder elsewhere in the place",
            [](const Places& p) {
                test::madeFolder(p.projects / "store");
                git(p.projects,
                    { "init", "-q", "--separate-git-dir", (p.projects / "store/app.git").string(), "app" });
            },
            { "store/app.git/hooks", "store/app.git/config", "app/.git" }, {} },
        { "a rebase stopped on a conflict",
            [](const Places& p) {
                fs::path app = p.projects / "app";
                repository(app);
                auto commit = [&](const char* text) {
                    std::ofstream(app / "file") << text;
                    git(app, { "add", "file" });
                    git(app, { "commit", "-q", "-m", text });
                };
                commit("base");
                git(app, { "checkout", "-q", "-b", "topic" });
                commit("topic");
                git(app, { "checkout", "-q", "main" });
                commit("main");
                git(app, { "checkout", "-q", "topic" });
                EXPECT_NE(test::runPeer({ "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
                                            "-C", app.string(), "rebase", "-q", "main" })
                              .exitStatus,
                    0);
            },
            { "app/.git/rebase-merge" }, {} },
        { "a submodule's Git folder, its repository's own",
            [](const Places& p) {
                repository(p.home.root / "library");
                repository(p.projects / "app");
                git(p.projects / "app",
                    { "-c", "protocol.file.allow=always", "submodule", "add", "-q",
                        (p.home.root / "library").string(), "lib" });
            },
            { "app/.git/modules/lib/hooks", "app/lib/.git" }, { "app/.git/modules/lib/commondir" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Places places;
        testCase.make(places);
        auto denied = places.protection({ places.projects }).deniedPaths;
        for (const auto& path : testCase.expected)
            EXPECT_TRUE(places.protects({ places.projects }, places.projects / path)) << path;
        for (const auto& path : testCase.notExpected)
            EXPECT_EQ(std::find(denied.begin(), denied.end(), places.projects / path), denied.end()) << path;
    }
}

namespace {

struct Flood {
    const char* name;
    bool earlierRun; // a run finds "app" before the flood
    std::function<void(const Places&)> flood;
    bool inOtherPlace; // "app" lies in the writable folder, the flood in the work folder
};

std::vector<Flood> floods()
{
    return {
        { "100,000 files at the top", false,
            [](const Places& p) {
                for (int index = 0; index < 100'000; ++index)
                    std::ofstream(p.projects / std::to_string(index));
            },
            false },
        { "more folders than the walk's bound, after a run", true,
            [](const Places& p) {
                for (std::size_t index = 0; index <= 100'000; ++index)
                    fs::create_directory(p.projects / ("d" + std::to_string(index)));
            },
            false },
        { "more Git folders than the bound, after a run", true,
            [](const Places& p) { emptyGitFolders(p.projects, 1025); }, false },
        { "more Git folders than the bound in the work folder", false,
            [](const Places& p) { emptyGitFolders(p.work, 1025); }, true },
    };
}

}

// One row of the table a test of its own: each walks a flood whole, and all of them one after another went
// past the test's time limit on a busy machine.
class GitSearchFlood : public ::testing::TestWithParam<std::size_t> { };

// A flood made by one command hides no repository found before it, nor, for files, one made after it,
// and a flood in one place leaves the other places their search.
TEST_P(GitSearchFlood, AFloodHidesNoRepositoryAnEarlierRunFoundNorAnotherPlacesRepositories)
{
    const Flood testCase = floods().at(GetParam());
    SCOPED_TRACE(testCase.name);
    Places places;
    // One level down: below every name at the top.
    repository(places.projects / "group/app");
    Paths searched
        = testCase.inOtherPlace ? Paths { places.work, places.projects } : Paths { places.projects };
    fs::path hooks = places.projects / "group/app/.git/hooks";
    if (testCase.earlierRun) {
        ASSERT_TRUE(places.protects(searched, hooks));
    }
    testCase.flood(places);
    test::CapturedLog log;
    EXPECT_TRUE(places.protects(searched, hooks));
}

INSTANTIATE_TEST_SUITE_P(EachRow, GitSearchFlood, ::testing::Range<std::size_t>(0, floods().size()));

// The record gives back only Git folders that still exist in its own place, and is rewritten without
// the others.
TEST(GitSearch, TheRecordDropsGoneFoldersAndThoseOutsideItsPlace)
{
    Places places;
    repository(places.projects / "app");
    repository(places.home.root / "elsewhere");
    using Repository = GitRepositorySearch::Repository;
    const Repository app = { places.projects / "app/.git", places.projects / "app" };
    GitFolderRecord::record(places.home.data, places.projects,
        { .repositories = { { places.projects / "gone/.git", places.projects / "gone" }, app,
              { places.home.root / "elsewhere/.git", places.home.root / "elsewhere" } } });
    auto entries = GitRepositorySearch::gitEntries(
        { places.projects }, { .dataFolder = places.home.data, .clock = stillClock });
    ASSERT_EQ(entries.repositories.size(), 1u);
    EXPECT_EQ(entries.repositories[0].gitFolder, app.gitFolder);
    auto recorded = GitFolderRecord::recorded(places.home.data, places.projects).repositories;
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].gitFolder, app.gitFolder);
    EXPECT_EQ(recorded[0].workTree, app.workTree);
    EXPECT_TRUE(GitFolderRecord::recorded(places.home.data, places.home.root).repositories.empty());
}

// A hook manager's repository keeps its configuration read however many empty Git folders a command made
// beside it.
TEST(GitSearch, ManyEmptyGitFoldersDoNotPushARepositorysConfigurationOut)
{
    Places places;
    fs::path husky = places.projects / "web";
    repository(husky);
    git(husky, { "config", "core.hooksPath", ".husky/_" });
    test::touch(test::madeFolder(husky / ".husky/_") / "pre-commit");
    test::touch(husky / ".husky/pre-commit");
    emptyGitFolders(places.projects, 1000);
    EXPECT_TRUE(places.protects({ places.projects }, husky / ".husky/pre-commit"));
}

// Git's configuration of many repositories, read by several `git` at once, names its paths in the same
// order in every run.
TEST(GitSearch, ConfigurationReadInParallelGivesTheSameOrderEachRun)
{
    Places places;
    for (int index = 0; index < 40; ++index) {
        fs::path workTree = places.projects / ("r" + std::to_string(index));
        repository(workTree);
        git(workTree, { "config", "core.hooksPath", "hooks" });
    }
    auto configured = [&] {
        Paths paths;
        for (const auto& guarded : places.protection({ places.projects }).guarded)
            paths.insert(paths.end(), guarded.configured.begin(), guarded.configured.end());
        return paths;
    };
    auto first = configured();
    EXPECT_EQ(std::count_if(first.begin(), first.end(),
                  [&](const fs::path& path) {
                      return path.filename() == "hooks"
                          && path.parent_path().parent_path() == places.projects;
                  }),
        40);
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(configured(), first);
}

// A search that runs out of its time goes on at the next run from where it stopped, each run guarding
// every repository found so far, until all are; then a new search starts from the top. The clock moves
// one step at each look, so that each run walks three folders.
TEST(GitSearch, ASearchOutOfTimeGoesOnAtTheNextRunUntilEveryRepositoryIsFound)
{
    Places places;
    for (int index = 0; index < 10; ++index)
        test::emptyGitFolder(places.projects / ("r" + std::to_string(index)) / ".git");
    int steps = 0;
    const GitRepositorySearch::Options options { .dataFolder = places.home.data,
        .budgetPerPlace = std::chrono::milliseconds(3),
        .clock = [&] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(steps++)); } };
    struct Run {
        std::size_t found;
        bool unfinished;
    };
    // The top and two repositories' folders, then three each, then the top again.
    const Run runs[] = { { 2, true }, { 5, true }, { 8, true }, { 10, false }, { 10, true } };
    for (std::size_t run = 0; run < std::size(runs); ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        test::CapturedLog log;
        auto entries = GitRepositorySearch::gitEntries({ places.projects }, options);
        EXPECT_EQ(entries.repositories.size(), runs[run].found);
        EXPECT_EQ(log.lines().size(), runs[run].unfinished ? 1u : 0u);
    }
}

// A ".git" file that real Git follows to a separate Git folder, written in the forms Git reads beyond one
// plain line: the folder is guarded whichever form sends Git there.
TEST(GitSearch, AGitFileLeadsWhereverGitFollowsIt)
{
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        { "line ends Git trims, several of them", "gitdir: ../store/app.git\r\r\n" },
        { "a NUL, where Git's path ends", "gitdir: ../store/app.git\0rest\n"s },
        { "a link, then \"..\" from where it leads", "gitdir: ../link/../../store/app.git\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Places places;
        const fs::path gitFolder = places.projects / "store/app.git";
        fs::create_directories(places.projects / "app");
        fs::create_directories(places.projects / "deep/folder");
        fs::create_directory_symlink("deep/folder", places.projects / "link");
        git(places.projects, { "init", "-q", "--bare", gitFolder.string() });
        git(gitFolder, { "config", "core.bare", "false" });
        std::ofstream(places.projects / "app/.git", std::ios::binary) << testCase.content;
        ASSERT_EQ(test::runPeer(
                      { "git", "-C", (places.projects / "app").string(), "rev-parse", "--absolute-git-dir" })
                      .output,
            gitFolder.string() + "\n");

        EXPECT_TRUE(places.protects({ places.projects }, gitFolder / "hooks/pre-commit"));
        EXPECT_TRUE(places.protects({ places.projects }, places.projects / "app/.git"));
    }
}

// A linked worktree's ".git" file that the walk has not reached yet is still denied where its Git folder's
// "gitdir" names it, written with what Git trims or stops at after the path.
TEST(GitSearch, ALinkedWorktreesGitFileIsFoundThroughItsGitdirPastWhatFollowsThePath)
{
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string afterPath;
    };
    const Case cases[] = {
        { "blanks", " \t\n" },
        { "a NUL", "\0rest\n"s },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Places places;
        const fs::path app = places.projects / "app";
        repository(app);
        git(app, { "worktree", "add", "-q", "linked" });
        std::ofstream(app / ".git/worktrees/linked/gitdir", std::ios::binary)
            << (app / "linked/.git").string() + testCase.afterPath;
        // As if an earlier run had run out of time before reaching the worktree.
        fs::create_directories(app / "later");
        GitFolderRecord::record(places.home.data, app, { .unwalked = { app / "later" } });

        EXPECT_TRUE(places.protects({ app }, app / "linked/.git"));
    }
}

// What the search listed stands in for listing a folder at the next run only while the folder's stamp is
// where it was and was taken clearly after its last change; what a folder holds is judged again each run.
// Each row runs the search, changes the tree, and runs it again in the same program.
TEST(GitSearch, WhatChangedBetweenRunsIsFoundAtTheNextRun)
{
    struct Case {
        const char* name;
        std::function<void(const Places&)> make;
        std::function<void(const Places&)> change;
        Paths expected; // Git folders relative to "~/Projects", found at the second run
        Paths notExpected;
        // Set: the first run lists this folder while the change is made, before its stamp is taken.
        const char* changedWhileListing = nullptr;
    };
    const auto nothing = [](const Places&) {};
    const Case cases[] = {
        { "git init deep in a listed tree", [](const Places& p) { test::madeFolder(p.projects / "a/b/c"); },
            [](const Places& p) { repository(p.projects / "a/b/c/app"); }, { "a/b/c/app/.git" }, {} },
        { "a \".git\" folder moved in by a rename",
            [](const Places& p) {
                test::madeFolder(p.projects / "a/app");
                repository(p.home.root / "source");
            },
            [](const Places& p) { fs::rename(p.home.root / "source/.git", p.projects / "a/app/.git"); },
            { "a/app/.git" }, {} },
        { "a repository swapped for a link to one outside",
            [](const Places& p) {
                repository(p.projects / "app");
                repository(p.home.root / "outside");
            },
            [](const Places& p) {
                fs::rename(p.projects / "app", p.home.root / "moved");
                fs::create_directory_symlink(p.home.root / "outside", p.projects / "app");
            },
            {}, { "app/.git" } },
        { "a \".git\" file whose gitdir is rewritten in place",
            [](const Places& p) {
                test::madeFolder(p.projects / "store");
                git(p.projects,
                    { "init", "-q", "--separate-git-dir", (p.projects / "store/one.git").string(), "app" });
                git(p.projects, { "init", "-q", "--bare", "store/two.git" });
                git(p.projects / "store/two.git", { "config", "core.bare", "false" });
            },
            // Truncated and written, the same file: the folder holding it keeps its stamp.
            [](const Places& p) { std::ofstream(p.projects / "app/.git") << "gitdir: ../store/two.git\n"; },
            { "store/two.git" }, {} },
        { "a repository made in the tick of the listing",
            [](const Places& p) { test::madeFolder(p.projects / "group"); }, nothing, { "group/late/.git" },
            {}, "group" },
        { "a repository removed",
            [](const Places& p) {
                repository(p.projects / "a/app");
                test::madeFolder(p.projects / "a/other");
            },
            [](const Places& p) { fs::remove_all(p.projects / "a/app"); }, {}, { "a/app/.git" } },
        // Changed inside its ".git", which the walk does not list: the folders above keep their stamps.
        { "a recorded repository's HEAD removed", [](const Places& p) { repository(p.projects / "a/app"); },
            [](const Places& p) { fs::remove(p.projects / "a/app/.git/HEAD"); }, {}, { "a/app/.git" } },
        // Enough folders side by side that their stamps are taken on several threads at once.
        { "git init in four of many folders side by side",
            [](const Places& p) {
                for (int index = 0; index < 600; ++index)
                    test::madeFolder(p.projects / "many" / ("f" + std::to_string(index)));
            },
            [](const Places& p) {
                for (const char* folder : { "many/f0", "many/f1", "many/f2", "many/f599" })
                    repository(p.projects / folder);
            },
            { "many/f0/.git", "many/f1/.git", "many/f2/.git", "many/f599/.git" }, {} },
    };
    // Also with the change made while the program was down: the next start has the listings it kept.
    for (const bool restarted : { false, true })
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name + std::string(restarted ? ", across a program start" : ""));
            Places places;
            testCase.make(places);
            // Every stamp taken as settled, however recent, so that only a stamp that moved can tell; but in
            // the row whose change races the listing, which the clock's tick alone tells.
            GitRepositorySearch::Options options {
                .dataFolder = places.home.data, .clock = stillClock, .settling = -std::chrono::hours(1)
            };
            if (testCase.changedWhileListing) {
                options.settling = std::chrono::seconds(0);
                options.afterListing = [&](const fs::path& folder) {
                    if (folder == places.projects / testCase.changedWhileListing)
                        repository(folder / "late");
                };
            }
            GitRepositorySearch::gitEntries({ places.projects }, options);
            testCase.change(places);
            if (restarted)
                SearchedFolders::forgetAll();
            options.afterListing = nullptr;
            Paths found;
            for (const auto& repository :
                GitRepositorySearch::gitEntries({ places.projects }, options).repositories)
                found.push_back(repository.gitFolder.lexically_relative(places.projects));
            for (const auto& gitFolder : testCase.expected)
                EXPECT_NE(std::find(found.begin(), found.end(), gitFolder), found.end()) << gitFolder;
            for (const auto& gitFolder : testCase.notExpected)
                EXPECT_EQ(std::find(found.begin(), found.end(), gitFolder), found.end()) << gitFolder;
        }
}

// What a program start reads of the listings an earlier program kept spares it listing every folder
// again only where the file is whole and its own place's: a file cut short, or another place's, is no
// listing, and every folder is listed anew. Each row finds the same repositories.
TEST(GitSearch, AProgramStartTrustsOnlyWholeKeptListingsOfItsOwnPlace)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& kept, const fs::path& othersKept)> damage;
        bool listsEveryFolder;
    };
    const Case cases[] = {
        { "kept whole", [](const fs::path&, const fs::path&) {}, false },
        { "cut short",
            [](const fs::path& kept, const fs::path&) { fs::resize_file(kept, fs::file_size(kept) - 5); },
            true },
        { "another place's",
            [](const fs::path& kept, const fs::path& othersKept) {
                fs::copy_file(othersKept, kept, fs::copy_options::overwrite_existing);
            },
            true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Places places;
        repository(places.projects / "a/b/app");
        test::madeFolder(places.projects / "c/d");
        const fs::path other = test::madeFolder(places.home.root / "other/e");
        std::size_t listed = 0;
        GitRepositorySearch::Options options { .dataFolder = places.home.data,
            .clock = stillClock,
            .settling = -std::chrono::hours(1),
            .afterListing = [&](const fs::path&) { ++listed; } };
        auto found = GitRepositorySearch::gitEntries({ places.projects, other.parent_path() }, options);
        const std::size_t folders = listed;
        testCase.damage(GitFolderRecord::listingsFile(places.home.data, places.projects),
            GitFolderRecord::listingsFile(places.home.data, other.parent_path()));
        SearchedFolders::forgetAll();
        listed = 0;
        auto again = GitRepositorySearch::gitEntries({ places.projects }, options);
        ASSERT_EQ(again.repositories.size(), 1u);
        EXPECT_EQ(again.repositories.front().gitFolder, found.repositories.front().gitFolder);
        EXPECT_EQ(listed, testCase.listsEveryFolder ? folders - 2 : 0u);
    }
}

// Runs that start at once share what the search keeps: each finds every repository, whichever place it
// searches first and whichever run lists a folder.
TEST(GitSearch, RunsStartingAtOnceEachFindEveryRepository)
{
    Places places;
    for (const char* workTree : { "a/one", "a/b/two", "c/three" })
        repository(places.projects / workTree);
    repository(places.work / "four");
    Paths expected = { places.projects / "a/b/two/.git", places.projects / "a/one/.git",
        places.projects / "c/three/.git", places.work / "four/.git" };
    std::sort(expected.begin(), expected.end());
    constexpr int kSearches = 4;
    std::latch started(kSearches);
    auto search = [&](Paths placesInOrder) {
        started.arrive_and_wait();
        std::vector<Paths> runs;
        for (int run = 0; run < 20; ++run) {
            Paths found;
            for (const auto& repository : GitRepositorySearch::gitEntries(placesInOrder,
                     { .dataFolder = places.home.data,
                       .clock = stillClock,
                       .settling = -std::chrono::hours(1) })
                                              .repositories)
                found.push_back(repository.gitFolder);
            std::sort(found.begin(), found.end());
            runs.push_back(std::move(found));
        }
        return runs;
    };
    std::vector<std::future<std::vector<Paths>>> searches;
    for (int index = 0; index < kSearches; ++index) {
        Paths order = { places.projects, places.work };
        if (index % 2)
            std::reverse(order.begin(), order.end());
        searches.push_back(std::async(std::launch::async, search, order));
    }
    for (auto& searched : searches) {
        for (const auto& found : searched.get())
            EXPECT_EQ(found, expected);
    }
}
