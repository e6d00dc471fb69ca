#include "VellumarMacCore/Foundations/MoveAside.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace vellumar {
namespace {

    const auto kNow = std::chrono::system_clock::from_time_t(1796000000); // 2026-11-30T00:53:20Z
    constexpr const char* kStamp = "20261130T005320Z";

    // Every name a move within that second could take before its names held a random part, each taken
    // first; what goes aside still does, each under a name of its own, and keeps its owner's right to
    // run it.
    TEST(MoveAside, NoNameTakenFirstKeepsAnItemInPlace)
    {
        test::TemporaryFolder folder;
        const std::string base = (folder / "pre-commit.refused-").string() + kStamp;
        test::writeBytes(base, "");
        for (int number = 2; number <= 1000; ++number)
            test::writeBytes(base + "-" + std::to_string(number), "");
        struct Row {
            const char* name;
            std::filesystem::perms mode;
            unsigned expectedMode;
        };
        const Row rows[] = {
            { "a hook its owner may run", std::filesystem::perms(0755), 0700 },
            { "a file no one may run", std::filesystem::perms(0644), 0600 },
            { "a file only others may run", std::filesystem::perms(0611), 0600 },
        };
        std::set<std::string> given;
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            test::writeBytes(folder / "pre-commit", row.name);
            std::filesystem::permissions(folder / "pre-commit", row.mode);
            auto moved = moveAside(AT_FDCWD, (folder / "pre-commit").string(), "refused", kNow);
            ASSERT_TRUE(moved.name) << moved.error;
            const std::string name = std::filesystem::path(*moved.name).filename();
            EXPECT_TRUE(std::regex_match(
                name, std::regex(std::string("pre-commit\\.refused-") + kStamp + "-[0-9a-f]{8}")))
                << name;
            EXPECT_TRUE(given.insert(name).second) << name;
            EXPECT_EQ(movedAsideFrom(name, "refused"), "pre-commit");
            EXPECT_EQ(test::readFile(*moved.name), row.name);
            EXPECT_EQ(test::modeOf(*moved.name), row.expectedMode);
        }
        EXPECT_FALSE(std::filesystem::exists(folder / "pre-commit"));
    }

    // Names older builds gave are still read as moved aside, and near misses of either form are not.
    TEST(MoveAside, ReadsTheNamesItAndOlderBuildsGive)
    {
        const std::string at = std::string("x.refused-") + kStamp;
        struct Row {
            std::string name;
            std::optional<std::string> original;
        };
        const Row rows[] = {
            { at, "x" },
            { at + "-2", "x" },
            { at + "-1000", "x" },
            { at + "-0a1b2c3d", "x" },
            { "x.refused-1" + at.substr(1) + "-99999999", "x.refused-1" },
            { at + "-0", std::nullopt },
            { at + "-02", std::nullopt },
            { at + "-10000", std::nullopt },
            { at + "-0A1B2C3D", std::nullopt },
            { at + "-0a1b2c3", std::nullopt },
            { at + "-0a1b2c3d4", std::nullopt },
            { at + "-", std::nullopt },
            { "x.refused-20261130T0053200Z", std::nullopt },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(movedAsideFrom(row.name, "refused"), row.original);
            EXPECT_EQ(isMovedAsideName(row.name, "refused"), row.original.has_value());
        }
    }

}
}
