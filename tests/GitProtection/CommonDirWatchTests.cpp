// A "commondir" written into a guarded Git folder goes aside while the run lasts, without waiting for
// the next check; and the placeholder that keeps the repository's own ".git" from getting one.
#include "VellumarMacCore/GitProtection/CommonDirGuard.h"
#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"
#include "VellumarMacCore/GitProtection/CommonDirWatch.h"

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

fs::path recordIn(const test::TemporaryHome& home) { return home.data / CommonDirPlaceholders::recordName; }

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
        // The watch moves a write aside in milliseconds; a few seconds only keep a missed write from
        // holding up the suite, and the next write would find the name taken.
        ASSERT_TRUE(test::eventually(
            [&] { return keptCount(repository.module) == expectedKept; }, std::chrono::seconds(5)));
        EXPECT_FALSE(fs::exists(fs::symlink_status(commondir)));
    }
    EXPECT_EQ(log.lines().size(), expectedKept);
}

TEST(CommonDirPlaceholders, HoldOneReadingTheFolderItselfAndLeaveNoTrace)
{
    constexpr const char* ownPath = "(the Git folder's own path)\n";
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
        { "one an earlier process left", ownPath, false, true, std::nullopt },
        { "one an earlier version left", ".\n", false, true, std::nullopt },
        { "changed while held", std::nullopt, true, true, "../.g2\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        GuardedRepository repository;
        const fs::path commondir = repository.git / "commondir";
        const std::string placeholder = "../.git\n";
        const std::string before
            = testCase.before == ownPath ? repository.git.string() + "\n" : testCase.before.value_or("");
        if (testCase.before)
            std::ofstream(commondir) << before;
        {
            CommonDirPlaceholders placeholders(
                CommonDirPlaceholders::gitFolders({ repository.project }), recordIn(repository.home));
            EXPECT_EQ(placeholders.held().size(), testCase.held ? 1u : 0u);
            EXPECT_EQ(test::readFile(commondir), testCase.before ? before : placeholder);
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
    const std::string placeholder = "../.git\n";

    auto first = std::make_unique<CommonDirPlaceholders>(
        CommonDirPlaceholders::gitFolders({ project }), recordIn(home));
    {
        CommonDirPlaceholders second(CommonDirPlaceholders::gitFolders({ project }), recordIn(home));
        EXPECT_EQ(second.held().size(), 1u);
        auto commonDir = test::runPeer({ "git", "-C", project.string(), "rev-parse", "--git-common-dir" });
        EXPECT_EQ(commonDir.exitStatus, 0);
        EXPECT_EQ(commonDir.output, (project / ".git").string() + "\n");
    }
    EXPECT_EQ(test::readFile(project / ".git/commondir"), placeholder);
    first.reset();
    EXPECT_FALSE(fs::exists(project / ".git/commondir"));
    EXPECT_FALSE(fs::exists(recordIn(home)));
}
