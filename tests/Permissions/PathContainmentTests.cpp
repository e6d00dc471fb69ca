#include "VellumarMacCore/Permissions/PathContainment.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
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
        std::vector<std::tuple<const char*, std::string, std::optional<std::string>>> {
            { "a path with no link is its own", "/real/sub", "/real/sub" },
            { "a file with no link on its way", "/real/file", "/real/file" },
            { "a link as the last name", "/link", "/real" },
            { "link in the middle", "/link/sub", "/real/sub" },
            { "link to a link", "/linkToLink/sub", "/real/sub" },
            { "'..' after a link leaves its target", "/up/../file", "/real/file" },
            { "missing tail under a link", "/link/new/deeper", "/real/new/deeper" },
            { "'..' in a missing tail", "/up/new/../x", "/real/sub/x" },
            { "'..' after a missing name", "/link/new/../file", "/real/file" },
            { "through a dangling link", "/dangling/x", "/nowhere/x" },
            { "a dangling link itself", "/dangling", "/nowhere" },
            { "a loop cannot be resolved", "/loop/x", std::nullopt },
            { "a component that is a file", "/real/file/x", "/real/file/x" },
            { "a link to a file, then more", "/fileLink/x", "/real/file/x" },
            { "a link to a file with a slash", "/fileLink/", "/real/file" },
            { "dots and slashes folded", "/real/./sub//..//file/", "/real/file" },
            { "'..' with no link on its way", "/real/sub/../file", "/real/file" },
            { "'.' and '..' with no link on their way, to a folder", "/real/./sub/..", "/real" },
            { "'..' out of a link's target", "/link/sub/../file", "/real/file" },
            { "a long path through a link", deepViaLink, deep },
            { "a name too long cannot be resolved", tooLong, std::nullopt },
        }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(resolvingSymlinks(root + written),
            resolved ? std::optional(fs::path(root + *resolved)) : std::nullopt);
    }
    EXPECT_EQ(resolvingSymlinks("/"), fs::path("/"));
    EXPECT_EQ(resolvingSymlinks("no-such-relative/./x"),
        standardizedPath(resolvingSymlinks(fs::current_path()).value() / "no-such-relative/x"));
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
    EXPECT_EQ(resolvingSymlinksBelow(root / "link", { "subLink" }),
        std::vector<std::optional<fs::path>> { root / "real/sub" });
}

namespace {

namespace fs = std::filesystem;
using Answers = std::vector<std::optional<fs::path>>;

std::string described(const std::optional<fs::path>& answer)
{
    return answer ? answer->string() : std::string("(cannot resolve)");
}

// The answers `lookup` adds in `rounds` calls while another thread keeps calling `change`, counting
// in `changes` the calls that succeeded.
Answers answersWhileChanging(const std::function<bool()>& change, std::size_t& changes, int rounds,
    const std::function<void(Answers&)>& lookup)
{
    std::jthread changer([&](std::stop_token stop) {
        while (!stop.stop_requested())
            changes += change();
    });
    Answers answers;
    for (int round = 0; round < rounds; ++round)
        lookup(answers);
    return answers;
}

// Nests `levels` folders named `name` in the open folder `folder`, each made through a descriptor of
// the one above it, so that their whole path may be longer than PATH_MAX.
void nestFolders(int folder, const std::string& name, int levels)
{
    FileDescriptor current(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; level < levels && current; ++level) {
        ASSERT_EQ(::mkdirat(current.get(), name.c_str(), 0700), 0) << level;
        current = FileDescriptor(::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    ASSERT_TRUE(current);
}

}

TEST(PathContainment, AnswersOnlyAPlaceTheKernelWouldUse)
{
    test::TemporaryFolder folder;
    const fs::path root = fs::canonical(folder.path());
    fs::create_directories(root / "real");
    fs::create_directories(root / "vault");
    fs::create_directories(root / "home/.ssh");
    fs::create_directories(root / "work/a");
    // "one/f" moves into "two", under its own name and another, while lookups climb out of it; only
    // in "two" does "m/inner" lead somewhere.
    fs::create_directories(root / "one/f");
    fs::create_directories(root / "one/m");
    fs::create_directories(root / "two/m/deeper");
    fs::create_symlink("deeper", root / "two/m/inner");
    fs::create_symlink("nowhere", root / "dangling");
    fs::create_symlink("dangling", root / "chain");
    fs::create_symlink(root / "vault/new", root / "absoluteDangling");
    fs::create_symlink(root / "vault/gnupg", root / "home/.gnupg");
    fs::create_symlink(root / "home/.ssh", root / "work/b");
    // "link<n>" takes n links to reach "real". The kernel follows 40 links in one lookup.
    fs::create_symlink("real", root / "link1");
    for (int link = 2; link <= 41; ++link)
        fs::create_symlink("link" + std::to_string(link - 1), root / ("link" + std::to_string(link)));
    // "long" is short, but what it leads to lies more than PATH_MAX bytes deep.
    const std::string longName(250, 'n');
    std::string nested = longName;
    for (int level = 1; level < 10; ++level)
        nested += "/" + longName;
    fs::create_directories(root / "deep" / nested);
    FileDescriptor rootFolder(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    FileDescriptor half(::open((root / "deep" / nested).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(rootFolder && half);
    // Moved up at the end, so that the folder's own removal never meets a path too long.
    struct MovedUp {
        int from, to;
        std::string name;
        ~MovedUp() { ::renameat(from, name.c_str(), to, "cut"); }
    } movedUp { half.get(), rootFolder.get(), longName };
    ASSERT_NO_FATAL_FAILURE(nestFolders(half.get(), longName, 10));
    ASSERT_EQ(::symlinkat(nested.c_str(), half.get(), "hop"), 0);
    fs::create_symlink("deep/" + nested + "/hop", root / "long");
    ASSERT_GT((root / "deep" / nested / nested).native().size(), std::size_t(PATH_MAX));

    std::size_t exchanges = 0;
    std::size_t moves = 0;
    const std::vector<std::tuple<const char*, std::function<Answers()>, std::set<std::optional<fs::path>>>>
        cases = {
            { "a dangling last link leads to its target",
                [&] { return Answers { resolvingSymlinks(root / "dangling") }; }, { root / "nowhere" } },
            { "a chain ending in a dangling link leads to the last target",
                [&] { return Answers { resolvingSymlinks(root / "chain") }; }, { root / "nowhere" } },
            { "an absolute dangling link leads to its target",
                [&] { return Answers { resolvingSymlinks(root / "absoluteDangling") }; },
                { root / "vault/new" } },
            { "40 links are followed", [&] { return Answers { resolvingSymlinks(root / "link40") }; },
                { root / "real" } },
            { "41 links cannot be resolved", [&] { return Answers { resolvingSymlinks(root / "link41/x") }; },
                { std::nullopt } },
            { "a real path longer than PATH_MAX cannot be resolved",
                [&] {
                    return Answers { resolvingSymlinks(root / "long"), resolvingSymlinks(root / "long/x") };
                },
                { std::nullopt } },
            { "a dangling link below a folder leads to its target",
                [&] { return resolvingSymlinksBelow(root / "home", { ".gnupg" }); },
                { root / "vault/gnupg" } },
            { "a folder exchanged with a link never lends the answer its new name",
                [&] {
                    const fs::path a = root / "work/a";
                    const fs::path b = root / "work/b";
                    return answersWhileChanging(
                        [&] {
                            return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE)
                                == 0;
                        },
                        exchanges, 20'000,
                        [&](Answers& answers) { answers.push_back(resolvingSymlinks(a)); });
                },
                { root / "work/a", root / "home/.ssh" } },
            { "'..' out of a folder moved meanwhile never goes on in its new parent",
                [&] {
                    const fs::path home = root / "one/f";
                    return answersWhileChanging(
                        [&] {
                            bool moved = true;
                            for (const fs::path& away : { root / "two/f", root / "two/g" })
                                moved = std::rename(home.c_str(), away.c_str()) == 0
                                    && std::rename(away.c_str(), home.c_str()) == 0 && moved;
                            return moved;
                        },
                        moves, 10'000,
                        [&](Answers& answers) {
                            answers.push_back(resolvingSymlinks(root / "one/f/../m/inner"));
                            answers.push_back(
                                resolvingSymlinksBelow(root / "one/f/../m", { "inner" }).front());
                        });
                },
                { root / "one/m/inner", std::nullopt } },
        };
    for (const auto& [name, answersOf, allowed] : cases) {
        SCOPED_TRACE(name);
        std::size_t wrong = 0;
        std::optional<fs::path> firstWrong;
        for (const auto& answer : answersOf()) {
            if (!allowed.contains(answer) && wrong++ == 0)
                firstWrong = answer;
        }
        EXPECT_EQ(wrong, 0u) << "first: " << described(firstWrong);
    }
    EXPECT_GT(exchanges, 0u);
    EXPECT_GT(moves, 0u);
    // The limit is the kernel's own.
    EXPECT_TRUE(FileDescriptor(::open((root / "link40").c_str(), O_PATH | O_CLOEXEC)));
    EXPECT_FALSE(FileDescriptor(::open((root / "link41").c_str(), O_PATH | O_CLOEXEC)));
}
