#include "VellumarMacCore/ClaudeCode/ClaudeLocator.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

namespace vellumar {
namespace {

    using test::writeExecutable;

    constexpr auto kHangBound = std::chrono::seconds(20);

    // The fixed candidates outside the home folder cannot be arranged by a test; where the machine
    // has one, the answer of `locate` is that one whatever the test sets up.
    bool machineHasSystemWideClaude()
    {
        return access("/opt/homebrew/bin/claude", F_OK) == 0 || access("/usr/local/bin/claude", F_OK) == 0;
    }

    // A login shell stand-in that prints `banner` and then runs the command it was given, as a
    // login shell does, with PATH set to `path`.
    std::string fakeShell(const std::string& banner, const std::string& path)
    {
        return "#!/bin/sh\n"
               "[ \"$1\" = -l ] && [ \"$2\" = -c ] || exit 64\n"
               "printf '%s' '"
            + banner
            + "'\n"
              "PATH='"
            + path + "'\nexport PATH\nexec /bin/sh -c \"$3\"\n";
    }

    TEST(ClaudeLocator, CandidatesAreTheFourInstallPlacesInOrder)
    {
        ClaudeLocator locator("/home/ann", "/bin/bash");
        std::vector<std::filesystem::path> expected { "/home/ann/.local/bin/claude",
            "/opt/homebrew/bin/claude", "/usr/local/bin/claude", "/home/ann/.claude/local/claude" };
        EXPECT_EQ(locator.candidates(), expected);
    }

    TEST(ClaudeLocator, SearchPathKeepsGivenOrderAndAppendsMissingFixedFolders)
    {
        struct Case {
            const char* name;
            std::optional<std::string> path;
            std::string expected;
        };
        const Case cases[] = {
            { "absent", std::nullopt,
                "/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin" },
            { "empty", "",
                "/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin" },
            { "repeated entry", "/usr/bin:/opt/x:/usr/bin",
                "/usr/bin:/opt/x:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/bin:/usr/sbin:/"
                "sbin" },
            { "empty pieces", "/a::/b:",
                "/a:/b:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin" },
            { "relative entries", "bin:.:~/bin:/x:..",
                "/x:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin" },
            { "fixed folder moved forward", "/sbin:/home/ann/.local/bin",
                "/sbin:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin" },
            // Only textual equality counts as a repeat.
            { "trailing slash", "/usr/bin/",
                "/usr/bin/:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/"
                "sbin" },
        };
        ClaudeLocator locator("/home/ann", "");
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(locator.searchPath(testCase.path), testCase.expected);
        }
    }

    TEST(ClaudeLocator, LocateTriesCandidatesBeforePathEntries)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "a system-wide claude comes before every arrangement of this test";
        test::TemporaryFolder root;
        auto home = root / "home";
        auto pathFolder = root / "path-bin";
        auto laterFolder = root / "later-bin";
        writeExecutable(pathFolder / "claude", "#!/bin/sh\n");
        writeExecutable(laterFolder / "claude", "#!/bin/sh\n");
        ClaudeLocator locator(home, "");
        auto path = pathFolder.string() + ":" + laterFolder.string();

        EXPECT_EQ(locator.locate(path), pathFolder / "claude");

        // The last candidate still comes before the first PATH entry.
        writeExecutable(home / ".claude/local/claude", "#!/bin/sh\n");
        EXPECT_EQ(locator.locate(path), home / ".claude/local/claude");

        writeExecutable(home / ".local/bin/claude", "#!/bin/sh\n");
        EXPECT_EQ(locator.locate(path), home / ".local/bin/claude");
    }

    TEST(ClaudeLocator, LocateSkipsWhatIsNotAnExecutableFile)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "a system-wide claude comes before every arrangement of this test";
        test::TemporaryFolder root;
        auto home = root / "home";
        // A plain file at the first candidate and a folder at the last one.
        std::filesystem::create_directories(home / ".local/bin");
        test::writeExecutable(home / ".local/bin/claude", "#!/bin/sh\n");
        std::filesystem::permissions(home / ".local/bin/claude", std::filesystem::perms(0644));
        std::filesystem::create_directories(home / ".claude/local/claude");
        // A PATH folder holding no claude, one holding a folder named claude, then a link to a real one.
        std::filesystem::create_directories(root / "empty");
        std::filesystem::create_directories(root / "folder/claude");
        writeExecutable(root / "target/real-claude", "#!/bin/sh\n");
        std::filesystem::create_directories(root / "linked");
        std::filesystem::create_symlink(root / "target/real-claude", root / "linked/claude");

        ClaudeLocator locator(home, "");
        auto path
            = (root / "empty").string() + ":" + (root / "folder").string() + ":" + (root / "linked").string();
        EXPECT_EQ(locator.locate(path), root / "linked/claude");
    }

    TEST(ClaudeLocator, LocateIgnoresRelativeEntriesAndAnswersAbsentWhenNothingFound)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "a system-wide claude comes before every arrangement of this test";
        test::TemporaryFolder root;
        writeExecutable(root / "bin/claude", "#!/bin/sh\n");
        writeExecutable(root / "claude", "#!/bin/sh\n");
        auto previous = std::filesystem::current_path();
        std::filesystem::current_path(root.path());
        ClaudeLocator locator(root / "home", "");
        auto found = locator.locate("bin:.:::");
        auto foundWithoutPath = locator.locate(std::nullopt);
        std::filesystem::current_path(previous);

        EXPECT_EQ(found, std::nullopt);
        EXPECT_EQ(foundWithoutPath, std::nullopt);
    }

    TEST(ClaudeLocator, LoginShellPATHTakesTheLastLineAfterABannerWithRealBash)
    {
        test::TemporaryFolder home;
        std::ofstream(home / ".bash_profile") << "echo 'Last login: Mon on ttys000'\n"
                                                 "echo\n"
                                                 "export PATH=\"/opt/from-profile/bin:$PATH\"\n";
        test::ScopedEnvironmentVariable homeVariable("HOME", home.path().string());
        ClaudeLocator locator(home.path(), "/bin/bash");

        auto path = locator.loginShellPATH();
        ASSERT_TRUE(path.has_value());
        EXPECT_TRUE(path->starts_with("/opt/from-profile/bin:")) << *path;
        EXPECT_EQ(path->find('\n'), std::string::npos);
    }

    TEST(ClaudeLocator, LoginShellPATHReadsTheShellsOutputWithFakeShell)
    {
        struct Case {
            const char* name;
            std::string banner;
            std::string path;
            std::optional<std::string> expected;
        };
        const Case cases[] = {
            { "banner line", "Welcome to the Mac\n", "/usr/bin:/bin", "/usr/bin:/bin" },
            { "no banner", "", "/usr/bin", "/usr/bin" },
            { "banner without line break", "motd ", "/usr/bin:/bin", "/usr/bin:/bin" },
            { "blanks, tabs and no-break spaces trimmed", "", " \t\xC2\xA0/usr/bin:/bin \t",
                "/usr/bin:/bin" },
            { "inner blanks kept", "", "/Applications/My Tools:/bin", "/Applications/My Tools:/bin" },
            { "no slash in the last line", "/usr/bin\n", "bin:sbin", std::nullopt },
            { "empty PATH after the banner", "/usr/bin\n", "", "/usr/bin" },
            { "invalid UTF-8", "", "/usr/bin:/caf\xE9", std::nullopt },
            { "encoded surrogate", "", "/usr/bin:/\xED\xA0\x80", std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            test::TemporaryFolder root;
            writeExecutable(root / "shell", fakeShell(testCase.banner, testCase.path));
            EXPECT_EQ(
                ClaudeLocator(root.path(), (root / "shell").string()).loginShellPATH(), testCase.expected);
        }
    }

    TEST(ClaudeLocator, LoginShellPATHIsAbsentWhenTheShellFailsWithFakeShell)
    {
        struct Case {
            const char* name;
            std::string script;
        };
        const Case cases[] = {
            { "non-zero exit", "#!/bin/sh\nprintf '\\n/usr/bin'\nexit 1\n" },
            { "ended by a signal", "#!/bin/sh\nprintf '\\n/usr/bin'\nkill -KILL $$\n" },
            { "prints nothing", "#!/bin/sh\nexit 0\n" },
            { "only line breaks", "#!/bin/sh\nprintf '\\n\\n\\n'\n" },
            { "not a script the system can start", "no interpreter line\n" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            test::TemporaryFolder root;
            writeExecutable(root / "shell", testCase.script);
            EXPECT_EQ(ClaudeLocator(root.path(), (root / "shell").string()).loginShellPATH(), std::nullopt);
        }
    }

    TEST(ClaudeLocator, LoginShellPATHStartsNothingForAShellThatIsNotExecutable)
    {
        test::TemporaryFolder root;
        auto marker = root / "started";
        writeExecutable(root / "shell", "#!/bin/sh\ntouch '" + marker.string() + "'\nprintf '\\n/usr/bin'\n");
        std::filesystem::permissions(root / "shell", std::filesystem::perms(0644));

        EXPECT_EQ(ClaudeLocator(root.path(), (root / "shell").string()).loginShellPATH(), std::nullopt);
        EXPECT_EQ(
            ClaudeLocator(root.path(), (root / "missing-shell").string()).loginShellPATH(), std::nullopt);
        EXPECT_FALSE(std::filesystem::exists(marker));
    }

    TEST(ClaudeLocator, LoginShellPATHFallsBackToZshForAShellWithoutLeadingSlash)
    {
        test::TemporaryFolder root;
        writeExecutable(root / "shell", fakeShell("", "/from/relative/shell"));
        auto previous = std::filesystem::current_path();
        std::filesystem::current_path(root.path());
        std::optional<std::string> relative = ClaudeLocator(root.path(), "shell").loginShellPATH();
        std::optional<std::string> empty = ClaudeLocator(root.path(), "").loginShellPATH();
        std::filesystem::current_path(previous);

        // With zsh installed its answer is some PATH; without it, absent. Never the relative shell's.
        EXPECT_NE(relative, std::optional<std::string>("/from/relative/shell"));
        EXPECT_EQ(relative.has_value(), access("/bin/zsh", X_OK) == 0);
        EXPECT_EQ(empty.has_value(), access("/bin/zsh", X_OK) == 0);
    }

    TEST(ClaudeLocator, LoginShellPATHGivesUpOnAHangingShellWithFakeShell)
    {
        test::TemporaryFolder root;
        writeExecutable(root / "shell", "#!/bin/sh\nprintf 'banner\\n'\nexec sleep 60\n");
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(ClaudeLocator(root.path(), (root / "shell").string()).loginShellPATH(), std::nullopt);
        EXPECT_LT(std::chrono::steady_clock::now() - started, kHangBound);
    }

    TEST(ClaudeLocator, ShellSetterReplacesTheShell)
    {
        test::TemporaryFolder root;
        writeExecutable(root / "shell", fakeShell("", "/set/later"));
        ClaudeLocator locator(root.path(), "/nonexistent/shell");
        EXPECT_EQ(locator.loginShellPATH(), std::nullopt);
        locator.setShell((root / "shell").string());
        EXPECT_EQ(locator.shell(), (root / "shell").string());
        EXPECT_EQ(locator.loginShellPATH(), "/set/later");
    }

    TEST(ClaudeLocator, CurrentUserComesFromTheUserDatabase)
    {
        auto entry = test::runPeer({ "/usr/bin/getent", "passwd", std::to_string(getuid()) });
        ASSERT_EQ(entry.exitStatus, 0);
        // name:password:uid:gid:gecos:home:shell
        std::vector<std::string> fields;
        std::string line = entry.output.substr(0, entry.output.find('\n'));
        for (std::size_t start = 0;;) {
            auto end = line.find(':', start);
            fields.push_back(line.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        ASSERT_EQ(fields.size(), 7U);
        auto locator = ClaudeLocator::currentUser();
        EXPECT_EQ(locator.shell(), fields[6]);
        EXPECT_EQ(locator.candidates().front(), std::filesystem::path(fields[5]) / ".local/bin/claude");
    }

}
}
