// What the guard does with each kind of "commondir" a run may leave in a place commands may write.
#include "VellumarMacCore/GitProtection/CommonDirGuard.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

const auto kNow = std::chrono::system_clock::from_time_t(1'796'000'000); // 2026-11-30T00:53:20Z
constexpr const char* kKeptName = "commondir.refused-20261130T005320Z";

void write(const fs::path& file, const std::string& bytes, fs::perms mode = fs::perms(0644))
{
    std::ofstream(file) << bytes;
    fs::permissions(file, mode);
}

unsigned modeOf(const fs::path& path)
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}

TEST(CommonDirGuard, MovesAsideOnlyWhatIsNewOrChanged)
{
    struct Case {
        const char* name;
        const char* folder; // below the repository
        std::optional<std::string> before;
        std::function<void(const fs::path& commondir, const fs::path& outside)> during;
        bool moved;
    };
    auto writing = [](std::string bytes) {
        return [bytes](const fs::path& file, const fs::path&) { write(file, bytes); };
    };
    const Case cases[] = {
        { "new", ".git", std::nullopt, writing("../.g2\n"), true },
        { "none", ".git", std::nullopt, [](const fs::path&, const fs::path&) {}, false },
        { "unchanged", ".git/worktrees/linked", "../..\n", [](const fs::path&, const fs::path&) {}, false },
        { "same bytes again", ".git/worktrees/linked", "../..\n", writing("../..\n"), false },
        { "changed", ".git/worktrees/linked", "../..\n", writing("../../../.g2\n"), true },
        { "removed", ".git/worktrees/linked", "../..\n",
            [](const fs::path& file, const fs::path&) { fs::remove(file); }, false },
        { "new in a submodule's folder", ".git/modules/lib", std::nullopt, writing("../../../.g2\n"), true },
        { "a new link", ".git", std::nullopt,
            [](const fs::path& file, const fs::path& outside) { fs::create_symlink(outside, file); }, true },
        { "a new folder", ".git", std::nullopt,
            [](const fs::path& file, const fs::path&) { fs::create_directory(file); }, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        fs::path repository = home.root / "project";
        fs::path folder = test::madeFolder(repository / testCase.folder);
        test::touch(folder / "HEAD");
        // Git lists a linked worktree by this file, and prunes an entry without it.
        test::touch(folder / "gitdir");
        if (testCase.before)
            write(folder / "commondir", *testCase.before);
        fs::path outside = home.root / "outside";
        write(outside, "../.g2\n");
        // The place as the user named it, through a link.
        fs::create_directory_symlink(repository, home.root / "link");

        test::CapturedLog log;
        CommonDirGuard guard({ home.root / "link" }, [] { return kNow; });
        testCase.during(folder / "commondir", outside);
        auto moved = guard.moveAsideChanged();

        EXPECT_EQ(moved, testCase.moved ? std::vector { folder / kKeptName } : std::vector<fs::path> {});
        const auto logged = log.lines();
        ASSERT_EQ(logged.size(), testCase.moved ? 1u : 0u);
        if (testCase.moved) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "commondir")));
            if (fs::symlink_status(folder / kKeptName).type() == fs::file_type::regular) {
                EXPECT_EQ(modeOf(folder / kKeptName), 0600u);
            }
            EXPECT_NE(logged[0].find((folder / "commondir").string()), std::string::npos);
        }
        // A link is moved as it is: its target keeps its mode.
        EXPECT_EQ(modeOf(outside), 0644u);
        EXPECT_TRUE(guard.moveAsideChanged().empty());
    }
}

// Each write of the run is caught, however often, under a name of its own.
TEST(CommonDirGuard, CatchesEveryLaterWriteAgain)
{
    test::TemporaryHome home;
    fs::path git = test::madeFolder(home.root / "project/.git");
    CommonDirGuard guard({ home.root / "project" }, [] { return kNow; });
    for (const auto& expected :
        { kKeptName, "commondir.refused-20261130T005320Z-2", "commondir.refused-20261130T005320Z-3" }) {
        write(git / "commondir", "../.g2\n");
        EXPECT_EQ(guard.moveAsideChanged(), std::vector { git / expected });
        EXPECT_EQ(test::readFile(git / expected), "../.g2\n");
    }
}
