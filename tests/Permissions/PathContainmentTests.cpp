#include "VellumarMacCore/Permissions/PathContainment.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

using namespace vellumar;

TEST(PathContainment, ComparesStandardizedPathsWithoutDoublingSlashes)
{
    for (const auto& [child, folder, inside] : std::vector<std::tuple<const char*, const char*, bool>> {
             { "/a/b/", "/a/b", true }, { "/a/b/./c", "/a/b/", true }, { "/a/bc", "/a/b", false },
             { "/a/b/../c", "/a/b", false }, { "/x", "/", true }, { "/a", "/a/b", false } }) {
        SCOPED_TRACE(std::string(child) + " in " + folder);
        EXPECT_EQ(isPathInside(child, folder), inside);
    }
}

TEST(PathContainment, StandardizesOnlyWhatNeedsFolding)
{
    for (const auto& [written, standardized] :
        std::vector<std::pair<const char*, const char*>> { { "/a/b", "/a/b" },
            { "/a/.b/..c/b.", "/a/.b/..c/b." }, { "a/b", "a/b" }, { "/", "/" }, { "/a//b", "/a/b" },
            { "//a", "/a" }, { "/a/./b", "/a/b" }, { "/a/b/..", "/a" }, { "/a/b/", "/a/b" },
            { "/a/b/.", "/a/b" }, { "/..", "/" }, { "a/../..", ".." }, { ".", "." }, { "", "" } }) {
        SCOPED_TRACE(written);
        EXPECT_EQ(standardizedPath(written).native(), standardized);
    }
}

TEST(PathContainment, ShowsPathsRelativeToHome)
{
    for (const auto& [path, home, shown] :
        std::vector<std::tuple<const char*, const char*, const char*>> { { "/home/ann/", "/home/ann", "~" },
            { "/home/ann/w/../b", "/home/ann/", "~/b" }, { "/home/annex", "/home/ann", "/home/annex" },
            { "/home", "/home/ann", "/home" }, { "/etc/hosts", "/", "~/etc/hosts" } }) {
        SCOPED_TRACE(std::string(path) + " in " + home);
        EXPECT_EQ(homeRelativePath(path, home), shown);
    }
}

TEST(PathContainment, ResolvesLinksAsTheKernelDoesAndKeepsTheMissingRest)
{
    namespace fs = std::filesystem;
    test::TemporaryFolder folder;
    // Made without resolving anything, so that a link in the temporary folder's own path shows too.
    const std::string root = fs::canonical(folder.path()).string();
    fs::create_directories(root + "/real/sub");
    std::ofstream(root + "/real/file") << "x";
    fs::create_directory_symlink("real", root + "/link");
    fs::create_directory_symlink("link", root + "/linkToLink");
    fs::create_directory_symlink("real/sub", root + "/up");
    fs::create_symlink("nowhere", root + "/dangling");
    fs::create_symlink("loop", root + "/loop");
    fs::create_symlink("real/file", root + "/fileLink");
    std::string longName(250, 'n');
    std::string deep = "/real";
    for (int level = 0; level < 14; ++level)
        deep += "/" + longName;
    fs::create_directories(root + deep);
    const std::string deepViaLink = "/link" + deep.substr(5);
    const std::string tooLong = "/link/" + std::string(300, 'x') + "/y";

    for (const auto& [name, written, resolved] :
        std::vector<std::tuple<const char*, std::string, std::string>> {
            { "link in the middle", "/link/sub", "/real/sub" },
            { "link to a link", "/linkToLink/sub", "/real/sub" },
            { "'..' after a link leaves its target", "/up/../file", "/real/file" },
            { "missing tail under a link", "/link/new/deeper", "/real/new/deeper" },
            { "'..' in a missing tail", "/up/new/../x", "/real/sub/x" },
            { "'..' after a missing name", "/link/new/../file", "/real/file" },
            { "through a dangling link", "/dangling/x", "/dangling/x" },
            { "a dangling link itself", "/dangling", "/dangling" },
            { "a loop stays as written", "/loop/x", "/loop/x" },
            { "a component that is a file", "/real/file/x", "/real/file/x" },
            { "a link to a file, then more", "/fileLink/x", "/real/file/x" },
            { "a link to a file with a slash", "/fileLink/", "/real/file" },
            { "dots and slashes folded", "/real/./sub//..//file/", "/real/file" },
            { "a long path through a link", deepViaLink, deep },
            { "a name too long stays as written", tooLong, tooLong },
        }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(resolvingSymlinks(root + written), fs::path(root + resolved));
    }
    EXPECT_EQ(resolvingSymlinks("/"), fs::path("/"));
    EXPECT_EQ(resolvingSymlinks("no-such-relative/./x"),
        standardizedPath(resolvingSymlinks(fs::current_path()) / "no-such-relative/x"));
}

TEST(PathContainment, ResolvesNamesBelowAFolderAsEachPathAlone)
{
    namespace fs = std::filesystem;
    test::TemporaryFolder folder;
    const fs::path root = fs::canonical(folder.path());
    fs::create_directories(root / "real/sub");
    std::ofstream(root / "real/file") << "x";
    fs::create_directory_symlink("real", root / "link");
    fs::create_directory_symlink("sub", root / "real/subLink");
    fs::create_directory_symlink("subLink", root / "real/linkToLink");
    fs::create_symlink("nowhere", root / "real/dangling");
    fs::create_symlink("loop", root / "real/loop");
    fs::create_symlink("file", root / "real/fileLink");
    const std::vector<std::string> names = { "sub", "subLink", "linkToLink", "dangling", "loop", "file",
        "fileLink", "missing", "sub/deeper", "..", "." };
    // Through a link to the folder, straight to it, and to a folder that is not there.
    for (const fs::path& below : { root / "link", root / "real", root / "link/missing" }) {
        SCOPED_TRACE(below.string());
        auto resolved = resolvingSymlinksBelow(below, names);
        ASSERT_EQ(resolved.size(), names.size());
        for (std::size_t index = 0; index < names.size(); ++index)
            EXPECT_EQ(resolved[index], resolvingSymlinks(below / names[index])) << names[index];
    }
    EXPECT_EQ(
        resolvingSymlinksBelow(root / "link", { "subLink" }), std::vector<fs::path> { root / "real/sub" });
}
