// What `git config` printed is given back only while every file it read is as it was, and never when a
// file changed too shortly before the read for its times to tell a second write.
#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string_view>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(GitReadCache, GivesBackOnlyWhatNoLaterChangeOrRecentWriteCouldHaveMade)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& config, const fs::path& absent)> change;
        bool readJustAfterTheWrite = false;
        bool expected;
    };
    const Case cases[] = {
        { "nothing changed", [](const fs::path&, const fs::path&) {}, false, true },
        { "rewritten with as many bytes",
            [](const fs::path& config, const fs::path&) { std::ofstream(config) << "[core]\n\tpager = x\n"; },
            false, false },
        // A command sets a file's modification time as it likes, its status-change time never.
        { "rewritten with as many bytes, its modification time set back",
            [](const fs::path& config, const fs::path&) {
                const auto modified = fs::last_write_time(config);
                std::ofstream(config) << "[core]\n\tpager = x\n";
                fs::last_write_time(config, modified);
            },
            false, false },
        { "removed", [](const fs::path& config, const fs::path&) { fs::remove(config); }, false, false },
        { "made where Git found none",
            [](const fs::path&, const fs::path& absent) { std::ofstream(absent) << "[alias]\n"; }, false,
            false },
        { "replaced by a rename",
            [](const fs::path& config, const fs::path& absent) {
                std::ofstream(absent) << "[core]\n\tpager = y\n";
                fs::rename(absent, config);
            },
            false, false },
        { "written within a second before the read", [](const fs::path&, const fs::path&) {}, true, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path config = home.root / "config";
        const fs::path absent = home.root / "config.worktree";
        std::ofstream(config) << "[core]\n\tpager = a\n";
        const std::string key = config.native() + testCase.name;
        // As if Git had read the files well after their last write, unless the row says otherwise.
        auto readStart
            = std::chrono::system_clock::now() + std::chrono::seconds(testCase.readJustAfterTheWrite ? 0 : 2);
        GitReadCache::keep(key, "core.pager\na", { config, absent }, readStart);
        testCase.change(config, absent);
        auto kept = GitReadCache::cached(key);
        EXPECT_EQ(kept.has_value(), testCase.expected);
        EXPECT_EQ(kept.value_or("core.pager\na"), "core.pager\na");
    }
}

// What a program kept is given back after its next start only while its files hold, and only from a
// kept file that is whole.
TEST(GitReadCache, AProgramStartGivesBackWhatTheLastProgramKeptWhileItsFilesHold)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& config, const fs::path& kept)> whileDown;
        bool expected;
    };
    const Case cases[] = {
        { "nothing changed", [](const fs::path&, const fs::path&) {}, true },
        { "the configuration rewritten",
            [](const fs::path& config, const fs::path&) { std::ofstream(config) << "[core]\n\tpager = x\n"; },
            false },
        { "the kept file cut short",
            [](const fs::path&, const fs::path& kept) { fs::resize_file(kept, fs::file_size(kept) - 3); },
            false },
        // Its keys held the environment and argument lists whole: none would be found again.
        { "a kept file of the layout before",
            [](const fs::path&, const fs::path& kept) {
                std::fstream file(kept, std::ios::in | std::ios::out | std::ios::binary);
                file.seekp(std::string_view("git read cache ").size());
                file.put('2');
            },
            false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path config = home.root / "config";
        std::ofstream(config) << "[core]\n\tpager = a\n";
        GitReadCache::forgetAll();
        GitReadCache::keep("key", std::string("core.pager\na\0", 13), { config, home.root / "absent" },
            std::chrono::system_clock::now() + std::chrono::seconds(2));
        GitReadCache::writeKept(home.data);
        GitReadCache::forgetAll();
        testCase.whileDown(config, home.data / GitReadCache::keptFileName);
        GitReadCache::readKept(home.data);
        auto kept = GitReadCache::cached("key");
        EXPECT_EQ(kept.has_value(), testCase.expected);
        EXPECT_EQ(kept.value_or(std::string("core.pager\na\0", 13)), std::string("core.pager\na\0", 13));
    }
}
