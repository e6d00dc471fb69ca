#include "Platform/LoginItem.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/HTTPPeers.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

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
        // What desktops write to switch an entry off, read as GLib's key files are.
        { "hidden with blanks around =", "[Desktop Entry]\nHidden = true\n", false },
        { "hidden with a tab before =", "[Desktop Entry]\nHidden\t=true\n", false },
        { "GNOME's switch off", "[Desktop Entry]\nExec=v\nX-GNOME-Autostart-enabled=false\n", false },
        { "GNOME's switch off with blanks", "[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", false },
        { "GNOME's switch on", "[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", true },
        { "the later of two values counts", "[Desktop Entry]\nHidden=true\nHidden=false\n", true },
        { "a key of another group", "[Desktop Entry]\nExec=v\n[Desktop Action x]\nHidden=true\n", true },
        { "a comment", "[Desktop Entry]\n# Hidden=true\n", true },
        { "a key cased otherwise", "[Desktop Entry]\nhidden=true\n", true },
        { "1 and 0 as GLib reads them", "[Desktop Entry]\nHidden=1\n", false },
        { "a value GLib refuses", "[Desktop Entry]\nX-GNOME-Autostart-enabled=no\n", true },
        { "the group given twice",
            "[Desktop Entry]\nHidden=true\n[Other]\nX=1\n[Desktop Entry]\nHidden=false\n", true },
    };
    // GLib's own key-file reader, as GNOME's session runs it, judges every entry too.
    constexpr auto kGLibReading = R"(
import sys
from gi.repository import GLib
for line in sys.stdin:
    data = bytes.fromhex(line.strip())
    entry = GLib.KeyFile()
    entry.load_from_data(data.decode(), len(data), GLib.KeyFileFlags.NONE)
    def flag(key, unset):
        try:
            return entry.get_boolean("Desktop Entry", key)
        except GLib.Error:
            return unset
    print(int(flag("X-GNOME-Autostart-enabled", True) and not flag("Hidden", False)))
)";
    std::string entries;
    for (const auto& testCase : cases)
        entries += hexOf(testCase.contents.value_or("")) + "\n";
    auto glib = runPeer({ "/usr/bin/python3", "-c", kGLibReading }, entries);
    ASSERT_EQ(glib.exitStatus, 0) << glib.output;
    std::istringstream glibVerdicts(glib.output);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        if (testCase.contents)
            writeBytes(folder / "vellumar.desktop", *testCase.contents);
        EXPECT_EQ(platform::loginItemEnabled(folder / "vellumar.desktop"), testCase.enabled);
        std::string verdict;
        ASSERT_TRUE(std::getline(glibVerdicts, verdict));
        if (testCase.contents) {
            EXPECT_EQ(verdict == "1", testCase.enabled);
        }
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
