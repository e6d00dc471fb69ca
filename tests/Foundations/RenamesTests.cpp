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

// Where the file system refuses renameat2's flags: what is not a folder moves by a hard link, a folder by
// a plain rename, and neither ever replaces what holds something at the name; a trade is refused.
TEST(Renames, WhereTheFlagsAreRefusedNothingIsReplaced)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& from, const fs::path& to)> make;
        int error;
    };
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
        { "a folder to a free name",
            [](const fs::path& from, const fs::path&) { test::writeBytes(from / "held", "a"); }, 0 },
        { "a folder to a folder holding something",
            [](const fs::path& from, const fs::path& to) {
                test::writeBytes(from / "held", "a");
                test::writeBytes(to / "held", "b");
            },
            ENOTEMPTY },
        { "a folder to a file",
            [](const fs::path& from, const fs::path& to) {
                test::writeBytes(from / "held", "a");
                test::writeBytes(to, "b");
            },
            ENOTDIR },
    };
    Renames::refuseFlagsForTests(true);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        const fs::path from = folder.path() / "from";
        const fs::path to = folder.path() / "to";
        testCase.make(from, to);
        const auto before = test::treeContents(folder.path());

        EXPECT_EQ(Renames::exchanged(AT_FDCWD, from.string(), AT_FDCWD, to.string()), EINVAL);
        EXPECT_EQ(test::treeContents(folder.path()), before);
        EXPECT_EQ(Renames::withoutReplacing(AT_FDCWD, from.string(), AT_FDCWD, to.string()), testCase.error);
        EXPECT_EQ(fs::exists(fs::symlink_status(from)), testCase.error != 0);
        EXPECT_TRUE(fs::exists(fs::symlink_status(to)));
        if (testCase.error != 0) {
            EXPECT_EQ(test::treeContents(folder.path()), before);
        }
    }
    Renames::refuseFlagsForTests(false);
}
