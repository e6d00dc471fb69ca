// A "commondir" written into a guarded Git folder goes aside while the run lasts, without waiting for
// the next check; and the placeholder that keeps the repository's own ".git" from getting one.
#include "VellumarMacCore/Permissions/CommonDirGuard.h"
#include "VellumarMacCore/Permissions/CommonDirPlaceholders.h"
#include "VellumarMacCore/Permissions/CommonDirWatch.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// A repository at "<root>/project" with a submodule's Git folder "lib".
struct GuardedRepository {
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    fs::path git = test::madeFolder(project / ".git");
    fs::path module = test::madeFolder(git / "modules/lib");

    GuardedRepository() { test::touch(module / "HEAD"); }
};

std::size_t keptCount(const fs::path& folder)
{
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        count += entry.path().filename().string().starts_with("commondir.refused-") ? 1 : 0;
    return count;
}

}

// Each way a file can come to be at the name is caught, again and again, by the watch's own thread.
TEST(CommonDirWatch, MovesAsideEachWriteWhileItLasts)
{
    GuardedRepository repository;
    test::CapturedLog log;
    CommonDirGuard guard({ repository.project });
    CommonDirWatch watch(guard);
    EXPECT_EQ(watch.watchedCount(), 2u);
    const fs::path commondir = repository.module / "commondir";
    const std::function<void()> writes[] = {
        [&] { std::ofstream(commondir) << "../../../.g2\n"; },
        [&] {
            std::ofstream(repository.module / "prepared") << "../../../.g2\n";
            fs::rename(repository.module / "prepared", commondir);
        },
        [&] { fs::create_symlink(repository.home.root, commondir); },
    };
    std::size_t expectedKept = 0;
    for (const auto& write : writes) {
        write();
        ++expectedKept;
        EXPECT_TRUE(test::eventually([&] { return keptCount(repository.module) == expectedKept; }));
        EXPECT_FALSE(fs::exists(fs::symlink_status(commondir)));
    }
    EXPECT_EQ(log.lines().size(), expectedKept);
}

TEST(CommonDirPlaceholders, HoldOneReadingTheFolderItselfAndLeaveNoTrace)
{
    struct Case {
        const char* name;
        std::optional<std::string> before; // the repository's own "commondir" before the run
        bool changedDuring;
        bool held;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        { "none there", std::nullopt, false, true, std::nullopt },
        { "the user's own", "../..\n", false, false, "../..\n" },
        { "one an earlier process left", ".\n", false, true, std::nullopt },
        { "changed while held", std::nullopt, true, true, "../.g2\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        GuardedRepository repository;
        const fs::path commondir = repository.git / "commondir";
        if (testCase.before)
            std::ofstream(commondir) << *testCase.before;
        {
            CommonDirPlaceholders placeholders(CommonDirPlaceholders::gitFolders({ repository.project }));
            EXPECT_EQ(placeholders.held().size(), testCase.held ? 1u : 0u);
            EXPECT_EQ(test::readFile(commondir), testCase.held ? ".\n" : testCase.before.value_or(""));
            if (testCase.changedDuring)
                std::ofstream(commondir) << "../.g2\n";
        }
        EXPECT_EQ(
            fs::exists(commondir) ? std::optional(test::readFile(commondir)) : std::nullopt, testCase.after);
    }
}

// Runs at once share the placeholder, the last removes it, and Git reads it as the folder itself.
TEST(CommonDirPlaceholders, SharedByRunsAtOnceAndReadByGitAsTheFolderItself)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0);
    auto first = std::make_unique<CommonDirPlaceholders>(CommonDirPlaceholders::gitFolders({ project }));
    {
        CommonDirPlaceholders second(CommonDirPlaceholders::gitFolders({ project }));
        EXPECT_EQ(second.held().size(), 1u);
        auto commonDir = test::runPeer({ "git", "-C", project.string(), "rev-parse", "--git-common-dir" });
        EXPECT_EQ(commonDir.exitStatus, 0);
        EXPECT_EQ(
            resolvingSymlinks(commonDir.output.substr(0, commonDir.output.find('\n'))), project / ".git");
    }
    EXPECT_EQ(test::readFile(project / ".git/commondir"), ".\n");
    first.reset();
    EXPECT_FALSE(fs::exists(project / ".git/commondir"));
}
