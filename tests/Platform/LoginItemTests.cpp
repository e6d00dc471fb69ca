#include "Platform/LoginItem.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include "Platform/FileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
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

TEST(LoginItem, TheExecValueQuotesThePathAsOneArgument)
{
    const struct {
        const char* name;
        const char* path;
        const char* exec;
    } cases[] = {
        { "plain", "/opt/Vellumar/vellumar", R"("/opt/Vellumar/vellumar")" },
        { "space", "/opt/My Apps/vellumar", R"("/opt/My Apps/vellumar")" },
        { "double quote", "/opt/a\"b", R"("/opt/a\\"b")" },
        { "dollar and grave", "/opt/$x`y", R"("/opt/\\$x\\`y")" },
        { "backslash: quoting, then the string rule", "/opt/a\\b", R"("/opt/a\\\\b")" },
        { "percent is no field code", "/opt/100%/vellumar", R"("/opt/100%%/vellumar")" },
        { "newline", "/opt/a\nb", R"("/opt/a\nb")" },
        { "single quote, tilde, semicolon", "/opt/it's~;x", R"("/opt/it's~;x")" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(platform::desktopExecValue(testCase.path), testCase.exec);
    }
}

TEST(LoginItem, TheDesktopStartsTheProgramTheEntryNames)
{
    TemporaryFolder folder;
    // Every character the quoting must carry through GLib's own parser.
    auto program = folder / "My \"Apps\" $HOME `x` back\\slash" / "vellumar";
    std::filesystem::create_directories(program.parent_path());
    auto started = folder / "started";
    ASSERT_EQ(mkfifo(started.c_str(), 0600), 0);
    writeBytes(program, "#!/bin/sh\necho started > '" + started.string() + "'\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    auto entry = folder / "autostart/vellumar.desktop";
    // Read and write, so that the pipe never reports a writer gone before the program opens it.
    platform::FileDescriptor reader(open(started.c_str(), O_RDWR | O_CLOEXEC));

    platform::registerLoginItem(program, entry);
    EXPECT_TRUE(platform::loginItemEnabled(entry));
    auto launched = runPeer({ "gio", "launch", entry.string() });
    ASSERT_EQ(launched.exitStatus, 0) << launched.output;
    pollfd wait { .fd = reader.get(), .events = POLLIN, .revents = 0 };
    EXPECT_EQ(poll(&wait, 1, 20'000), 1) << "the program did not start";
}

TEST(LoginItem, RegisteringReplacesTheEntryAndUnregisteringRemovesIt)
{
    TemporaryFolder folder;
    auto entry = folder / "autostart/vellumar.desktop";
    platform::registerLoginItem("/old/vellumar", entry);
    platform::registerLoginItem("/new/vellumar", entry);
    auto text = readFile(entry);
    EXPECT_NE(text.find("\nExec=\"/new/vellumar\"\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("/old/"), std::string::npos);

    platform::unregisterLoginItem(entry);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_NO_THROW(platform::unregisterLoginItem(entry));
}

TEST(LoginItem, AnAutostartPathThatIsAFileFailsTheRegistration)
{
    TemporaryFolder folder;
    writeBytes(folder / "autostart", "not a folder");
    EXPECT_THROW(platform::registerLoginItem("/opt/vellumar", folder / "autostart/vellumar.desktop"),
        std::filesystem::filesystem_error);
    EXPECT_EQ(readFile(folder / "autostart"), "not a folder");
}
