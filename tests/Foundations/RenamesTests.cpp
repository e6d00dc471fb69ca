#include "VellumarMacCore/Foundations/Renames.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;

// Where the file system refuses renameat2's flags: what is not a folder moves by a hard link, a folder over
// an empty folder made for it, and neither ever replaces what is at the name, nor what a command puts there
// or in that folder meanwhile; a trade is refused.
TEST(Renames, WhereTheFlagsAreRefusedNothingIsReplaced)
{
    using Command = void (*)(int folderFD, const std::string& name);
    struct Case {
        const char* name;
        std::function<void(const fs::path& from, const fs::path& to)> make;
        int error;
        Command command = nullptr; // once the folder to rename over is made
    };
    auto holding = [](const fs::path& from, const fs::path&) { test::writeBytes(from / "held", "a"); };
    const Case cases[] = {
        { "a file to a free name", [](const fs::path& from, const fs::path&) { test::writeBytes(from, "a"); },
            0 },
        { "a file to a taken name",
            [](const fs::path& from, const fs::path& to) {
                test::writeBytes(from, "a");
                test::writeBytes(to, "b");
            },
            EEXIST },
        { "a link, as itself",
            [](const fs::path& from, const fs::path&) { fs::create_symlink("nowhere", from); }, 0 },
        { "a folder to a free name", holding, 0 },
        { "a folder to an empty folder",
            [&](const fs::path& from, const fs::path& to) {
                holding(from, to);
                fs::create_directory(to);
            },
            EEXIST },
        { "a folder to a folder holding something",
            [&](const fs::path& from, const fs::path& to) {
                holding(from, to);
                test::writeBytes(to / "held", "b");
            },
            EEXIST },
        { "a folder to a file",
            [&](const fs::path& from, const fs::path& to) {
                holding(from, to);
                test::writeBytes(to, "b");
            },
            EEXIST },
        { "a folder, where a command fills the folder made for it", holding, EEXIST,
            [](int folderFD, const std::string& name) {
                ASSERT_EQ(::mkdirat(folderFD, (name + "/theirs").c_str(), 0700), 0);
            } },
        { "a folder, where a command puts an empty folder in place of the one made for it", holding, EEXIST,
            [](int folderFD, const std::string& name) {
                ASSERT_EQ(::renameat(folderFD, name.c_str(), folderFD, (name + "-taken").c_str()), 0);
                ASSERT_EQ(::mkdirat(folderFD, name.c_str(), 0700), 0);
            } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        const fs::path from = folder.path() / "from";
        const fs::path to = folder.path() / "to";
        testCase.make(from, to);
        const auto before = test::treeContents(folder.path());
        Renames::refuseFlagsForTests(true, testCase.command);

        EXPECT_EQ(Renames::exchanged(AT_FDCWD, from.string(), AT_FDCWD, to.string()), EINVAL);
        EXPECT_EQ(test::treeContents(folder.path()), before);
        EXPECT_EQ(Renames::withoutReplacing(AT_FDCWD, from.string(), AT_FDCWD, to.string()), testCase.error);
        Renames::refuseFlagsForTests(false);
        EXPECT_EQ(fs::exists(fs::symlink_status(from)), testCase.error != 0);
        EXPECT_TRUE(fs::exists(fs::symlink_status(to)));
        if (testCase.error != 0) {
            // Nothing was moved, and all that was there is as it was.
            auto after = test::treeContents(folder.path());
            for (const auto& [path, item] : before)
                EXPECT_EQ(after[path], item) << path;
        }
    }
}
