// The Git folders of linked worktrees and submodules kept in a repository's ".git", laid out as Git
// lays them out, and what commands may not write in them.
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

using namespace vellumar;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

// A folder as Git makes a repository's own, and `commondir` (naming the folder itself) and `gitdir` when
// it is a linked worktree's.
fs::path gitFolder(const fs::path& folder, bool worktree = false)
{
    test::emptyGitFolder(folder);
    if (worktree) {
        std::ofstream(folder / "commondir") << ".\n";
        test::touch(folder / "gitdir");
    }
    return folder;
}

}

TEST(GitFolders, WorktreesAndSubmodulesAtEveryDepthResolved)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    fs::path git = project / ".git";
    gitFolder(git / "worktrees/linked", true);
    // A submodule named "libs/a" keeps its folder one level down, and its own submodule below it.
    gitFolder(git / "modules/libs/a");
    gitFolder(git / "modules/libs/a/modules/inner");
    gitFolder(git / "modules/libs/a/worktrees/side", true);
    fs::path elsewhere = gitFolder(home.root / "elsewhere");
    fs::create_directory_symlink(elsewhere, git / "modules/linked-away");
    test::touch(git / "modules/not-a-folder");

    Paths found = GitFolders::linkedFolders(project).folders;
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
        (Paths { elsewhere, git / "modules/libs/a", git / "modules/libs/a/modules/inner",
            git / "modules/libs/a/worktrees/side", git / "worktrees/linked" }));

    Paths denied = GitFolders::commandProtectedPaths({ project });
    auto deniedIn = [&](const fs::path& folder) {
        Paths names;
        for (const auto& path : denied) {
            if (path.parent_path() == folder)
                names.push_back(path.filename());
        }
        return names;
    };
    // An absent "commondir" gets no placeholder, which Git would fail to read.
    EXPECT_EQ(
        deniedIn(git / "worktrees/linked"), (Paths { "commondir", "config.worktree", "hooks", "config" }));
    EXPECT_EQ(deniedIn(git / "modules/libs/a"), (Paths { "config.worktree", "hooks", "config" }));
    EXPECT_EQ(deniedIn(elsewhere), (Paths { "config.worktree", "hooks", "config" }));
    EXPECT_EQ(denied.size(), 17u);
}

TEST(GitFolders, NothingWithoutAGitFolderOfItsOwn)
{
    test::TemporaryHome home;
    const std::pair<const char*, void (*)(const fs::path&)> cases[] = {
        { "no repository", [](const fs::path&) {} },
        // A linked worktree or an absorbed submodule: its Git folder lies in another repository's.
        { "a .git file",
            [](const fs::path& place) { std::ofstream(place / ".git") << "gitdir: /elsewhere\n"; } },
        { "an empty .git", [](const fs::path& place) { test::madeFolder(place / ".git"); } },
    };
    for (const auto& [name, lay] : cases) {
        SCOPED_TRACE(name);
        fs::path place = test::madeFolder(home.root / name);
        lay(place);
        EXPECT_TRUE(GitFolders::linkedFolders(place).folders.empty());
        EXPECT_TRUE(GitFolders::commandProtectedPaths({ place }).empty());
    }
}

// Folders a command made by the thousand cannot swell the next run's settings without bound.
TEST(GitFolders, ListsAtMostTheLimit)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    for (std::size_t index = 0; index <= GitFolders::maxLinkedFolders; ++index)
        gitFolder(project / ".git/worktrees" / std::to_string(index), true);
    auto listing = GitFolders::linkedFolders(project);
    EXPECT_EQ(listing.folders.size(), GitFolders::maxLinkedFolders);
    EXPECT_FALSE(listing.complete);
}

// However many folders a command leaves in ".git", the deny list of all writable places together keeps
// within its share of what the sandbox accepts: empty folders count for nothing, and past the cap a
// place's "worktrees" and "modules" are denied whole, with one log line.
TEST(GitFolders, DeniesWithinTheSandboxBudgetAndWholeFoldersPastIt)
{
    using Lay = std::function<void(const fs::path& first, const fs::path& second)>;
    // Only what makes an entry a linked worktree: its "gitdir".
    auto worktrees = [](const fs::path& place, std::size_t count) {
        for (std::size_t index = 0; index < count; ++index)
            test::touch(
                test::emptyGitFolder(place / ".git/worktrees" / ("w" + std::to_string(index))) / "gitdir");
    };
    auto emptyFolders = [](const fs::path& folder, std::size_t count) {
        for (std::size_t index = 0; index < count; ++index)
            test::madeFolder(folder / ("empty" + std::to_string(index)));
    };
    const std::size_t cap = GitFolders::maxLinkedFolders;
    struct Case {
        const char* name;
        Lay lay;
        std::size_t listedPaths; // "config.worktree", "hooks", "config" (and "commondir") of single folders
        std::vector<std::string> whole; // below the temporary root
        std::size_t limit = GitFolders::maxLinkedFolders;
    };
    const Case cases[] = {
        { "1,200 empty worktree entries beside a real worktree and submodule",
            [&](const fs::path& first, const fs::path&) {
                gitFolder(first / ".git/worktrees/linked", true);
                gitFolder(first / ".git/modules/lib");
                emptyFolders(first / ".git/worktrees", 1200);
            },
            7, {} },
        { "exactly the cap", [&](const fs::path& first, const fs::path&) { worktrees(first, cap); }, 3 * cap,
            {} },
        { "one past the cap",
            [&](const fs::path& first, const fs::path&) {
                worktrees(first, cap + 1);
                gitFolder(first / ".git/modules/lib");
            },
            0, { "first/.git/worktrees", "first/.git/modules" } },
        { "submodules one past the cap",
            [&](const fs::path& first, const fs::path&) {
                for (std::size_t index = 0; index <= cap; ++index)
                    gitFolder(first / ".git/modules" / ("m" + std::to_string(index)));
            },
            0, { "first/.git/modules" } },
        { "the cap shared by two places",
            [&](const fs::path& first, const fs::path& second) {
                worktrees(first, cap - 1);
                worktrees(second, 2);
            },
            3 * (cap - 1), { "second/.git/worktrees" } },
        { "one place named twice, through a link",
            [&](const fs::path& first, const fs::path& second) {
                worktrees(first, cap - 1);
                fs::remove_all(second);
                fs::create_directory_symlink(first, second);
            },
            3 * (cap - 1), {} },
        { "exactly the entries that are read",
            [&](const fs::path& first, const fs::path&) {
                worktrees(first, 1);
                emptyFolders(first / ".git/worktrees", GitFolders::maxScannedEntries - 1);
            },
            3, {} },
        { "one entry more than are read",
            [&](const fs::path& first, const fs::path&) {
                worktrees(first, 1);
                emptyFolders(first / ".git/worktrees", GitFolders::maxScannedEntries);
            },
            0, { "first/.git/worktrees" } },
        { "a caller's limit shared by two places",
            [&](const fs::path& first, const fs::path& second) {
                worktrees(first, 1);
                worktrees(second, 2);
            },
            3, { "second/.git/worktrees" }, 2 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        fs::path first = home.root / "first";
        fs::path second = home.root / "second";
        test::madeFolder(first / ".git");
        test::madeFolder(second / ".git");
        testCase.lay(first, second);

        test::CapturedLog log;
        Paths denied = GitFolders::commandProtectedPaths({ first, second }, testCase.limit);
        Paths whole;
        for (const auto& path : denied) {
            if (path.filename() == "worktrees" || path.filename() == "modules")
                whole.push_back(path.lexically_relative(home.root));
        }
        EXPECT_EQ(whole, Paths(testCase.whole.begin(), testCase.whole.end()));
        EXPECT_EQ(denied.size() - whole.size(), testCase.listedPaths);
        EXPECT_LE(denied.size(), GitFolders::gitPathBudget);
        EXPECT_EQ(log.lines().size(), whole.empty() ? 0u : 1u);
    }
}

// Past the cap a link among the submodule entries leads Git to a folder elsewhere, which a command could
// write through: it is denied at its target, unless the whole folder denied covers that already.
TEST(GitFolders, PastTheCapALinkAmongTheEntriesIsDeniedAtItsTarget)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    for (std::size_t index = 0; index <= GitFolders::maxLinkedFolders; ++index)
        gitFolder(project / ".git/modules" / ("m" + std::to_string(index)));
    fs::path store = gitFolder(home.root / "store/lib.git");
    fs::create_directory_symlink(store, project / ".git/modules/linked");
    fs::create_directory_symlink(project / ".git/modules/m0", project / ".git/modules/inside");

    test::CapturedLog log;
    EXPECT_EQ(GitFolders::commandProtectedPaths({ project }), (Paths { project / ".git/modules", store }));
}

// A common folder's hooks run in each of its linked worktrees too, at the top Git's own `worktree list`
// gives; a "gitdir" that is a link, which a command may have made, is not followed, and leaves a top
// untold.
TEST(GitFolders, ACommonFoldersHooksRunAtEachLinkedWorktreesTop)
{
    struct Case {
        const char* name;
        const char* gitFolder; // below the root
        std::optional<std::string> workTreeSetting;
        std::function<void(const fs::path& gitFolder)> lay = nullptr;
        Paths tops = { "app", "wt" };
        bool complete = true; // whether every linked worktree's top is told
    };
    const Case cases[] = {
        { "the main work tree and the linked worktree", "app/.git", std::nullopt },
        { "core.worktree naming another main work tree", "app/.git", "../../tree", {}, { "tree", "wt" } },
        { "the linked worktree's own Git folder", "app/.git/worktrees/wt", std::nullopt, {}, { "wt" } },
        { "a gitdir that is a link", "app/.git", std::nullopt,
            [](const fs::path& gitFolder) {
                fs::path gitdir = gitFolder / "worktrees/wt/gitdir";
                fs::rename(gitdir, gitFolder / "kept-gitdir");
                fs::create_symlink(gitFolder / "kept-gitdir", gitdir);
            },
            { "app" }, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        test::git(home.root / "app", { "init", "-q" });
        test::git(home.root / "app", { "commit", "-q", "--allow-empty", "-m", "first" });
        test::git(home.root / "app", { "worktree", "add", "-q", "../wt" });
        test::madeFolder(home.root / "tree");
        const fs::path gitFolder = home.root / testCase.gitFolder;
        if (testCase.lay)
            testCase.lay(gitFolder);

        Paths tops;
        const auto found = GitFolders::workTreesOf(
            gitFolder, GitFolders::locatedGitFolder(gitFolder), {}, testCase.workTreeSetting);
        for (const auto& top : found.tops)
            tops.push_back(top.lexically_relative(home.root));
        EXPECT_EQ(tops, testCase.tops);
        EXPECT_EQ(found.complete, testCase.complete);
    }
}
