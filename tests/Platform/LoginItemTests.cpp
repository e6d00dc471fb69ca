#include "Platform/LoginItem.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vellumar;
using namespace vellumar::test;

TEST(LoginItem, EnabledWhenTheEntryExistsAndIsNotHidden)
{
    const struct {
        const char* name;
        std::optional<std::string> contents;
        bool enabled;
    } cases[] = {
        { "no entry", std::nullopt, false },
        { "plain entry", "[Desktop Entry]\nType=Application\nExec=vellumar\n", true },
        { "hidden", "[Desktop Entry]\nHidden=true\n", false },
        { "hidden with spaces and CRLF", "[Desktop Entry]\r\n  Hidden=true \r\n", false },
        { "hidden false", "[Desktop Entry]\nHidden=false\n", true },
        { "another key", "[Desktop Entry]\nX-Hidden=true\n", true },
        { "empty file", "", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        if (testCase.contents)
            writeBytes(folder / "vellumar.desktop", *testCase.contents);
        EXPECT_EQ(platform::loginItemEnabled(folder / "vellumar.desktop"), testCase.enabled);
    }
}

TEST(LoginItem, AFolderAtTheEntryIsNotAnEntry)
{
    TemporaryFolder folder;
    std::filesystem::create_directories(folder / "vellumar.desktop");
    EXPECT_FALSE(platform::loginItemEnabled(folder / "vellumar.desktop"));
}

TEST(LoginItem, GLibStartsTheProgramOfTheWrittenEntryWithNoArguments)
{
    // Every character the quoting rules reserve, and one the string rules reserve, in one path.
    TemporaryFolder folder;
    auto started = folder / "started";
    ASSERT_EQ(::mkfifo(started.c_str(), 0600), 0);
    // gio leaves the program running on its own: it tells through the pipe that it started.
    InteractivePeer reader({ "cat", started.string() });
    auto program = folder / "a dir" / "we\"ird $name `x` back\\slash";
    writeExecutable(program, "#!/bin/sh\nprintf '%s|%s\\n' \"$0\" \"$#\" > '" + started.string() + "'\n");
    auto entry = folder / "autostart" / "vellumar.desktop";
    platform::setLoginItemEnabled(true, entry, program);
    EXPECT_TRUE(platform::loginItemEnabled(entry));
    ASSERT_EQ(runPeer({ "gio", "launch", entry.string() }).exitStatus, 0) << readFile(entry);
    EXPECT_EQ(reader.readLine(), program.string() + "|0");
}

TEST(LoginItem, ExecValuesFollowTheDesktopEntryRules)
{
    const struct {
        const char* path;
        const char* exec;
    } cases[] = {
        { "/usr/bin/vellumar", R"("/usr/bin/vellumar")" },
        { "/opt/100% sure/v", R"("/opt/100%% sure/v")" },
        { "/a\"b", R"("/a\\"b")" },
        { "/a\\b", R"("/a\\\\b")" },
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(platform::desktopExecValue(testCase.path), testCase.exec) << testCase.path;
    EXPECT_THROW(platform::desktopExecValue("/a\nb"), std::invalid_argument);
}

TEST(LoginItem, TurningOffRemovesTheEntryAndFailuresThrow)
{
    TemporaryFolder folder;
    auto entry = folder / "autostart" / "vellumar.desktop";
    platform::setLoginItemEnabled(true, entry, "/usr/bin/vellumar");
    platform::setLoginItemEnabled(false, entry, "/usr/bin/vellumar");
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_NO_THROW(platform::setLoginItemEnabled(false, entry, "/usr/bin/vellumar"));

    writeBytes(folder / "blocked", "a file where the folder belongs");
    EXPECT_THROW(
        platform::setLoginItemEnabled(true, folder / "blocked" / "vellumar.desktop", "/usr/bin/vellumar"),
        std::filesystem::filesystem_error);
    EXPECT_THROW(
        platform::setLoginItemEnabled(true, entry, "/usr/bin/a\tb"), std::filesystem::filesystem_error);
    EXPECT_FALSE(std::filesystem::exists(entry));
}
