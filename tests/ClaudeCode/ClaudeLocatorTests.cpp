#include "VellumarMacCore/ClaudeCode/ClaudeLocator.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::writeExecutable;

    // A login shell stand-in that prints `banner` and then runs the command it was given, as a login
    // shell does, with PATH set to `path`.
    std::string fakeShell(const std::string& banner, const std::string& path)
    {
        return "#!/bin/sh\n[ \"$1\" = -l ] && [ \"$2\" = -c ] || exit 64\nprintf '%s' '" + banner
            + "'\nPATH='" + path + "'\nexport PATH\nexec /bin/sh -c \"$3\"\n";
    }

    // Runs `body` with the working folder set to `folder`.
    template <typename Body> auto inFolder(const fs::path& folder, Body body)
    {
        auto previous = fs::current_path();
        fs::current_path(folder);
        auto result = body();
        fs::current_path(previous);
        return result;
    }

    TEST(ClaudeLocator, SearchPath)
    {
        const std::string fixed
            = "/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
        const std::pair<std::optional<std::string>, std::string> cases[] = {
            { std::nullopt, fixed },
            // Empty pieces and relative entries go; given ones keep their order, fixed ones come once.
            { "/a::bin:.:~/bin:/sbin:/a:",
                "/a:/sbin:/home/ann/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin" },
        };
        for (const auto& [path, expected] : cases) {
            SCOPED_TRACE(path.value_or("absent"));
            EXPECT_EQ(ClaudeLocator("/home/ann", "/bin/bash").searchPath(path), expected);
        }
    }

    TEST(ClaudeLocator, LocateTakesTheFirstExecutableFileOfTheCandidatesThenOfThePath)
    {
        if (access("/opt/homebrew/bin/claude", F_OK) == 0 || access("/usr/local/bin/claude", F_OK) == 0)
            GTEST_SKIP() << "a system-wide claude comes before every arrangement of this test";
        test::TemporaryFolder root;
        auto home = root / "home";
        // A plain file at the first candidate and a folder at the last one; in the PATH a relative
        // entry, one holding a folder named claude, then a link to a real one.
        writeExecutable(home / ".local/bin/claude", "#!/bin/sh\n");
        fs::permissions(home / ".local/bin/claude", fs::perms(0644));
        fs::create_directories(home / ".claude/local/claude");
        writeExecutable(root / "bin/claude", "#!/bin/sh\n");
        fs::create_directories(root / "folder/claude");
        writeExecutable(root / "target/real-claude", "#!/bin/sh\n");
        fs::create_directories(root / "linked");
        fs::create_symlink(root / "target/real-claude", root / "linked/claude");
        ClaudeLocator locator(home, "");
        auto path = "bin:.::" + (root / "folder").string() + ":" + (root / "linked").string();

        EXPECT_EQ(inFolder(root.path(), [&] { return locator.locate(path); }), root / "linked/claude");
        fs::remove(home / ".claude/local/claude");
        writeExecutable(home / ".claude/local/claude", "#!/bin/sh\n");
        EXPECT_EQ(locator.locate(path), home / ".claude/local/claude");
        fs::permissions(home / ".local/bin/claude", fs::perms(0755));
        EXPECT_EQ(locator.locate(path), home / ".local/bin/claude");
    }

    TEST(ClaudeLocator, LoginShellPATHTakesTheLastLineAfterABannerWithRealBash)
    {
        test::TemporaryFolder home;
        std::ofstream(home / ".bash_profile") << "echo 'Last login: Mon on ttys000'\necho\n"
                                                 "export PATH=\"/opt/from-profile/bin:$PATH\"\n";
        test::ScopedEnvironmentVariable homeVariable("HOME", home.path().string());

        auto path = ClaudeLocator(home.path(), "/bin/bash").loginShellPATH();
        ASSERT_TRUE(path.has_value());
        EXPECT_TRUE(path->starts_with("/opt/from-profile/bin:")) << *path;
        EXPECT_EQ(path->find('\n'), std::string::npos);
    }

    TEST(ClaudeLocator, LoginShellPATHReadsTheShellsOutputWithFakeShell)
    {
        // The shell's script and the PATH read from it.
        struct Case {
            const char* name;
            std::string script;
            std::optional<std::string> expected;
        };
        const Case cases[] = {
            { "blanks, tabs and no-break spaces trimmed, inner blanks kept",
                fakeShell("", " \t\xC2\xA0/Applications/My Tools:/bin \t"), "/Applications/My Tools:/bin" },
            { "no slash in the last line", fakeShell("/usr/bin\n", "bin:sbin"), std::nullopt },
            { "invalid UTF-8", fakeShell("", "/usr/bin:/caf\xE9"), std::nullopt },
            { "non-zero exit", "#!/bin/sh\nprintf '\\n/usr/bin'\nexit 1\n", std::nullopt },
            { "not a script the system can start", "no interpreter line\n", std::nullopt },
            { "hangs past its time limit", "#!/bin/sh\nprintf '\\n/usr/bin'\nexec sleep 60\n", std::nullopt },
        };
        for (const auto& [name, script, expected] : cases) {
            SCOPED_TRACE(name);
            test::TemporaryFolder root;
            writeExecutable(root / "shell", script);
            EXPECT_EQ(ClaudeLocator(root.path(), (root / "shell").string()).loginShellPATH(), expected);
        }
    }

    // A relative shell would be looked up in whatever folder the relay runs in.
    TEST(ClaudeLocator, ShellWithoutALeadingSlashIsNeverRunWithFakeShell)
    {
        test::TemporaryFolder root;
        writeExecutable(root / "shell", fakeShell("", "/from/shell"));
        EXPECT_NE(inFolder(root.path(), [&] { return ClaudeLocator(root.path(), "shell").loginShellPATH(); }),
            "/from/shell");
    }

}
}
