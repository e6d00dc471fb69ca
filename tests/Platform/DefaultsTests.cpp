#include "Platform/Defaults.h"

#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace vellumar;
using namespace vellumar::test;

namespace {

std::filesystem::path settingsFile(const TemporaryFolder& folder)
{
    return folder / "config/Vellumar/defaults.json";
}

}

TEST(Defaults, MissingFileHasNoValuesAndWritesNothing)
{
    TemporaryFolder folder;
    platform::Defaults defaults(settingsFile(folder));
    EXPECT_EQ(defaults.boolean("useTailscale"), std::nullopt);
    EXPECT_EQ(defaults.string("macID"), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(folder / "config"));
}

TEST(Defaults, ValuesSurviveAReopenInAPrivateFile)
{
    TemporaryFolder folder;
    {
        platform::Defaults defaults(settingsFile(folder));
        defaults.setBoolean("routinesEnabled", true);
        defaults.setString("macID", "A/B \"C\"");
    }
    platform::Defaults reopened(settingsFile(folder));
    EXPECT_EQ(reopened.boolean("routinesEnabled"), true);
    EXPECT_EQ(reopened.string("macID"), "A/B \"C\"");
    EXPECT_EQ(modeOf(settingsFile(folder)), 0600u);
    EXPECT_EQ(modeOf(settingsFile(folder).parent_path()), 0700u);
    EXPECT_EQ(namesIn(settingsFile(folder).parent_path()), std::set<std::string> { "defaults.json" });
}

TEST(Defaults, AValueOfAnotherTypeReadsAsAbsentAndStaysInTheFile)
{
    TemporaryFolder folder;
    writeBytes(settingsFile(folder), R"({"terminalEnabled":"yes","useTailscale":1})");
    platform::Defaults defaults(settingsFile(folder));
    EXPECT_EQ(defaults.boolean("terminalEnabled"), std::nullopt);
    EXPECT_EQ(defaults.boolean("useTailscale"), std::nullopt);
    EXPECT_EQ(defaults.string("terminalEnabled"), "yes");
    defaults.setBoolean("routinesEnabled", false);
    platform::Defaults reopened(settingsFile(folder));
    EXPECT_EQ(reopened.string("terminalEnabled"), "yes");
    EXPECT_EQ(reopened.boolean("routinesEnabled"), false);
}

TEST(Defaults, SettingTheSameValueWritesTheFileAgain)
{
    TemporaryFolder folder;
    platform::Defaults defaults(settingsFile(folder));
    defaults.setBoolean("useTailscale", true);
    std::filesystem::remove(settingsFile(folder));
    defaults.setBoolean("useTailscale", true);
    EXPECT_EQ(platform::Defaults(settingsFile(folder)).boolean("useTailscale"), true);
}

TEST(Defaults, AnUnreadableFileIsMovedAsideNotOverwritten)
{
    const struct {
        const char* name;
        std::string contents;
    } cases[] = {
        { "malformed", R"({"useTailscale": tru)" },
        { "an array", "[true]" },
        { "empty", "" },
        { "over a mebibyte", R"({"macID":")" + repeated("x", 1024 * 1024) + R"("})" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        writeBytes(settingsFile(folder), testCase.contents);
        CapturedLog log;
        platform::Defaults defaults(settingsFile(folder));
        EXPECT_EQ(defaults.string("macID"), std::nullopt);
        EXPECT_EQ(log.lines().size(), 1u);
        defaults.setString("macID", "new");
        EXPECT_EQ(readFile(folder / "config/Vellumar/defaults.json.bad"), testCase.contents);
        EXPECT_EQ(platform::Defaults(settingsFile(folder)).string("macID"), "new");
    }
}

TEST(Defaults, AFailedWriteIsLoggedAndKeepsTheValueForThisRun)
{
    TemporaryFolder folder;
    writeBytes(folder / "config", "a file where the folder belongs");
    CapturedLog log;
    platform::Defaults defaults(folder / "config/Vellumar/defaults.json");
    defaults.setBoolean("terminalEnabled", false);
    EXPECT_EQ(defaults.boolean("terminalEnabled"), false);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("could not be saved"), std::string::npos);
}
