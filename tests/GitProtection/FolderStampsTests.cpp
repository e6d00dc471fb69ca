// The stamps taken before a walk, on several threads, each folder looked up in its holder: a folder is
// marked only where it is the one kept and unchanged, whichever thread took it, and any doubt leaves it
// unmarked, so that the walk reads it again.
#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using Folder = SearchedFolders::Folder;

// `folder` as a walk would have kept it: listed and trusted, with every folder below it.
std::unique_ptr<Folder> kept(const fs::path& folder)
{
    struct stat status { };
    EXPECT_EQ(::lstat(folder.c_str(), &status), 0) << folder;
    auto made = std::make_unique<Folder>(
        Folder { .name = folder.filename(), .stamp = *GitFolderListing::stampOf(status), .trusted = true });
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_directory() && !entry.is_symlink())
            made->subfolders.push_back(kept(entry.path()));
    }
    std::ranges::sort(made->subfolders, {}, &Folder::name);
    return made;
}

// The paths below `folder`, relative to `top`, of the folders kept there that `walk` marked.
void collectMarked(
    const Folder& folder, const fs::path& relative, std::uint64_t walk, std::set<fs::path>& marked)
{
    if (folder.heldAtWalk == walk)
        marked.insert(relative.empty() ? fs::path(".") : relative);
    for (const auto& subfolder : folder.subfolders)
        collectMarked(*subfolder, relative / subfolder->name, walk, marked);
}

// Whether the walk has nothing to do at or below `folder`, as a whole look at it tells.
bool nothingToDoBelow(const Folder& folder, std::uint64_t walk)
{
    return folder.heldAtWalk == walk && folder.dotGitType == DT_UNKNOWN
        && std::ranges::all_of(
            folder.subfolders, [walk](const auto& sub) { return nothingToDoBelow(*sub, walk); });
}

Folder& keptAt(Folder& top, const fs::path& relative)
{
    Folder* folder = &top;
    for (const auto& name : relative.lexically_normal()) {
        if (name == ".")
            continue;
        auto sub = std::ranges::find(folder->subfolders, name.native(), &Folder::name);
        folder = sub->get();
    }
    return *folder;
}

}

TEST(FolderStamps, MarksOnlyAKeptFolderThatIsTheSameAndUnchanged)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& top)> change;
        std::set<fs::path> unmarked;
        // Where the kept listing shows a ".git": marked, yet no folder above is quiet.
        const char* gitAt = nullptr;
    };
    const Case cases[] = {
        { "nothing changed", [](const fs::path&) {}, {} },
        { "a file added in a folder marks it alone as changed",
            [](const fs::path& top) { std::ofstream(top / "app/src/new.txt") << "new\n"; }, { "app/src" } },
        { "another folder renamed in its place, with a folder of the same name",
            [](const fs::path& top) {
                test::madeFolder(top / "other/lib");
                fs::rename(top / "app/src", top / "old-src");
                fs::rename(top / "other", top / "app/src");
            },
            { ".", "app", "app/src", "app/src/lib" } },
        { "a link in its place, to the same folder, which is not followed below the top",
            [](const fs::path& top) {
                fs::rename(top / "app/src", top / "moved-src");
                fs::create_directory_symlink(top / "moved-src", top / "app/src");
            },
            { ".", "app", "app/src", "app/src/lib" } },
        { "one of many shared among the threads",
            [](const fs::path& top) { std::ofstream(top / "many/123/new.txt") << "new\n"; }, { "many/123" } },
        { "gone", [](const fs::path& top) { fs::remove_all(top / "many/7"); }, { "many", "many/7" } },
        { "a \".git\" in one of many", [](const fs::path&) {}, {}, "many/123" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path top = home.root / "top";
        test::madeFolder(top / "app/src/lib");
        for (int index = 0; index < 300; ++index)
            test::madeFolder(top / "many" / std::to_string(index));
        // Far deeper than the threads hold descriptors for.
        fs::path deep = top / "deep";
        for (int level = 0; level < 60; ++level)
            deep /= "d";
        test::madeFolder(deep);
        auto folder = kept(top);
        if (testCase.gitAt)
            keptAt(*folder, testCase.gitAt).dotGitType = DT_DIR;
        testCase.change(top);

        FolderStamps::mark({ { top.string(), folder.get(), GitFolderListing::Link::refuse } }, 7);
        std::set<fs::path> marked;
        collectMarked(*folder, {}, 7, marked);
        for (const auto& path :
            { ".", "app", "app/src", "app/src/lib", "many", "many/7", "many/123", "many/299" }) {
            SCOPED_TRACE(path);
            EXPECT_EQ(marked.contains(path), !testCase.unmarked.contains(path));
            const Folder& at = keptAt(*folder, path);
            EXPECT_EQ(FolderStamps::isQuiet(at, 7), nothingToDoBelow(at, 7));
        }
        EXPECT_EQ(FolderStamps::isQuiet(*folder, 7), false) << "a deep chain's bottom is read again";
        EXPECT_EQ(FolderStamps::isQuiet(keptAt(*folder, "many/299"), 7), true);
        EXPECT_TRUE(marked.contains("deep/d")) << "near the top of a deep chain";
        EXPECT_FALSE(marked.contains(fs::path("deep") / fs::path(deep).lexically_relative(top / "deep")))
            << "at its bottom, read again";
    }
}
