// What a guard noted is taken after the program's next start only where every stamp of its files is as
// it was, and never where the stamps, the kept file or the clock cannot vouch for it.
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardStampedUnits.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// Both clocks as they read now, moved on by `shift`: the wall clock keeps its offset from the clock since
// boot.
LiveRunsHeartbeat::Beat beatShifted(std::chrono::nanoseconds shift)
{
    LiveRunsHeartbeat::Beat beat = LiveRunsHeartbeat::now();
    beat.wallTime += shift;
    beat.bootTime += shift;
    return beat;
}

// How far the clocks must move on to read `after` past the last status change of `file`.
std::chrono::nanoseconds shiftToAfterChangeOf(const fs::path& file, std::chrono::nanoseconds after)
{
    struct stat status { };
    EXPECT_EQ(::stat(file.c_str(), &status), 0);
    const auto changed
        = std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec);
    return changed + after - LiveRunsHeartbeat::now().wallTime;
}

}

TEST(GitGuardStampedUnits, AProgramStartTakesAUnitOnlyWhereItsStampsAndTheKeptFileVouchForIt)
{
    using namespace std::chrono_literals;
    const std::string hook = "#!/bin/sh\nexit 0\n";
    struct Paths {
        fs::path root, project, kept;
    };
    struct Case {
        const char* name;
        std::function<void(const Paths&)> whileDown;
        bool expected;
        // How long after the hook's last write the noting began.
        std::chrono::nanoseconds notedAfter = 2s;
        // The next start's clocks: the wall clock's shift against the clock since boot, and its boot.
        std::chrono::nanoseconds wallShift = 0s;
        std::string bootID = {};
    };
    auto rewritten = [](const fs::path& file, const std::string& bytes) {
        const auto modified = fs::last_write_time(file);
        std::ofstream(file) << bytes;
        fs::last_write_time(file, modified);
    };
    const Case cases[] = {
        { "nothing changed", [](const Paths&) {}, true },
        // A command or the user sets a file's modification time as it likes, its status-change time never.
        { "the hook rewritten in place with as many bytes, its modification time set back",
            [&](const Paths& at) { rewritten(at.project / ".git/hooks/pre-commit", "#!/bin/sh\nexit 1\n"); },
            false },
        { "the hook removed and another of as many bytes made at its name, its inode free for it",
            [&](const Paths& at) {
                const fs::path pre = at.project / ".git/hooks/pre-commit";
                const auto modified = fs::last_write_time(pre);
                fs::remove(pre);
                std::ofstream(pre) << "#!/bin/sh\nexit 1\n";
                fs::permissions(pre, fs::perms(0755));
                fs::last_write_time(pre, modified);
            },
            false },
        { "a hook added", [&](const Paths& at) { test::write(at.project / ".git/hooks/pre-push", hook); },
            false },
        { "a configuration made where there was none",
            [](const Paths& at) { std::ofstream(at.project / ".git/config.worktree") << "[core]\n"; },
            false },
        { "a folder on the way swapped for a link to it",
            [](const Paths& at) {
                fs::rename(at.project, at.root / "moved");
                fs::create_directory_symlink("moved", at.project);
            },
            false },
        // Within one tick of the file system's clock a second write would leave the stamp as it was.
        { "noted within the second of the hook's last write", [](const Paths&) {}, false, 500ms },
        { "the kept file cut short",
            [](const Paths& at) { fs::resize_file(at.kept, fs::file_size(at.kept) - 3); }, false },
        { "the kept file unreadable",
            [](const Paths& at) {
                fs::remove(at.kept);
                fs::create_directory(at.kept);
            },
            false },
        { "the wall clock set back since", [](const Paths&) {}, false, 2s, -1s },
        { "the wall clock set forward since", [](const Paths&) {}, true, 2s, 1h },
        { "another boot", [](const Paths&) {}, false, 2s, 0s, "another boot" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const Paths at { home.root, home.root / "project", home.data / GitGuardStampedUnits::keptFileName };
        const fs::path other = home.root / "other";
        for (const auto& top : { at.project, other })
            test::write(test::emptyGitFolder(top / ".git") / "hooks/pre-commit", hook);
        const BeneathPlaces places({ home.root });
        auto bare = [](const fs::path& top) {
            return GitNotedFiles::NotedUnit { top / ".git", top, {}, {} };
        };
        auto noted = [&](const fs::path& top) { return GitNotedFiles::noteUnit(top / ".git", top, places); };
        const auto shift = shiftToAfterChangeOf(at.project / ".git/hooks/pre-commit", testCase.notedAfter);
        const LiveRunsHeartbeat::Beat notingBegan = beatShifted(shift);
        GitGuardStampedUnits::keep(
            { GitGuardStampedUnits::stamped(noted(at.project), {}, places, notingBegan),
                GitGuardStampedUnits::stamped(noted(other), {}, places, notingBegan) },
            home.data, notingBegan);
        GitGuardStampedUnits::writeKept(home.data);
        GitGuardStampedUnits::forgetAll();
        testCase.whileDown(at);
        LiveRunsHeartbeat::Beat next = beatShifted(shift);
        next.wallTime += testCase.wallShift;
        if (!testCase.bootID.empty())
            next.bootID = testCase.bootID;
        const BeneathPlaces nextPlaces({ home.root });
        auto taken = GitGuardStampedUnits::taken(bare(at.project), {}, home.data, nextPlaces, next);
        EXPECT_EQ(taken.has_value(), testCase.expected);
        if (taken) {
            EXPECT_EQ(*taken, noted(at.project));
        }
        // Nothing of a file not whole is taken, a unit it holds whole before the damage included.
        if (std::string_view(testCase.name).starts_with("the kept file")) {
            EXPECT_FALSE(GitGuardStampedUnits::taken(bare(other), {}, home.data, nextPlaces, next));
        }
        GitGuardStampedUnits::forgetAll();
    }
}
