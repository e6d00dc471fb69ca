// The Git folders of linked worktrees and submodules kept in a repository's ".git", laid out as Git
// lays them out, and what commands may not write in them.
#include "VellumarMacCore/Permissions/GitFolders.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

// A folder as Git makes a repository's own: a HEAD, and `commondir` when it is a linked worktree's.
fs::path gitFolder(const fs::path& folder, bool commondir = false)
{
    test::madeFolder(folder);
    test::touch(folder / "HEAD");
    if (commondir)
        test::touch(folder / "commondir");
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

    Paths found = GitFolders::linkedFolders(project);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
        (Paths { elsewhere, git / "modules/libs/a", git / "modules/libs/a/modules/inner",
            git / "modules/libs/a/worktrees/side", git / "worktrees/linked" }));

    Paths denied = GitFolders::commandProtectedPaths(project);
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
        EXPECT_TRUE(GitFolders::linkedFolders(place).empty());
        EXPECT_TRUE(GitFolders::commandProtectedPaths(place).empty());
    }
}

// Folders a command made by the thousand cannot swell the next run's settings without bound.
TEST(GitFolders, ListsAtMostTheLimit)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    for (std::size_t index = 0; index <= GitFolders::maxLinkedFolders; ++index)
        test::madeFolder(project / ".git/worktrees" / std::to_string(index));
    EXPECT_EQ(GitFolders::linkedFolders(project).size(), GitFolders::maxLinkedFolders);
}
