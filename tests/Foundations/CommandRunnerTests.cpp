#include "VellumarMacCore/Foundations/CommandRunner.h"

#include "tests/Foundations/ManyThreads.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace vellumar {

void PrintTo(const CommandResult& result, std::ostream* out)
{
    *out << "{ status " << result.status << ", output " << testing::PrintToString(result.output)
         << (result.timedOut ? ", timed out }" : " }");
}

namespace {

    CommandResult runShell(const std::string& script, double timeLimitSeconds = 10)
    {
        return runCommand("/bin/sh", { "-c", script }, { .timeLimitSeconds = timeLimitSeconds });
    }

    TEST(CommandRunner, ReportsStatusAndStandardOutputOnly)
    {
        struct Case {
            const char* script;
            CommandResult expected;
        };
        const Case cases[] = {
            { "kill -KILL $$", { .status = SIGKILL } },
            { "printf 'a\\0b'; echo hidden >&2; printf '\\nend'", { .output = std::string("a\0b\nend", 7) } },
            { "if read line; then echo data; else echo end-of-file; fi", { .output = "end-of-file\n" } },
            // A descendant that finishes within the reader's grace still gets its output in.
            { "(sleep 1; echo late) & echo early", { .output = "early\nlate\n" } },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.script);
            EXPECT_EQ(runShell(testCase.script), testCase.expected);
        }
    }

    TEST(CommandRunner, KeepsOutputUpToTheLimitAndDropsOutputBeyondIt)
    {
        for (std::size_t bytes : { kCommandOutputLimitBytes, kCommandOutputLimitBytes + 1 }) {
            SCOPED_TRACE(bytes);
            auto result = runCommand(
                "/usr/bin/head", { "-c", std::to_string(bytes), "/dev/zero" }, { .timeLimitSeconds = 30 });
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.output.size(), bytes > kCommandOutputLimitBytes ? 0 : bytes);
        }
    }

    TEST(CommandRunner, PassesArgumentsEnvironmentAndWorkingFolderAsGiven)
    {
        EXPECT_EQ(
            runCommand("/usr/bin/printf", { "[%s]", "$HOME", "a b", "", "*" }, { .timeLimitSeconds = 5 })
                .output,
            "[$HOME][a b][][*]");
        auto given = runCommand("/usr/bin/env", {},
            { .environment = CommandEnvironment { { "ONLY", "this one" }, { "EMPTY", "" } },
                .timeLimitSeconds = 5 });
        EXPECT_EQ(given.output, "EMPTY=\nONLY=this one\n");
        test::TemporaryFolder folder;
        EXPECT_EQ(runCommand("/bin/pwd", { "-P" }, { .workingFolder = folder.path(), .timeLimitSeconds = 5 })
                      .output,
            std::filesystem::canonical(folder.path()).string() + "\n");
    }

    TEST(CommandRunner, ChildInheritsOnlyStandardDescriptors)
    {
        // Opened without close-on-exec, so a plain fork and exec would pass it on.
        int leaky = open("/dev/null", O_RDONLY);
        ASSERT_GE(leaky, 3);
        auto result = runCommand("/bin/ls", { "/proc/self/fd" }, { .timeLimitSeconds = 5 });
        close(leaky);
        // 3 is the folder that ls itself opens to list.
        EXPECT_EQ(result.output, "0\n1\n2\n3\n");
    }

    TEST(CommandRunner, ChildStartsWithNothingBlockedAndSIGPIPEAtItsDefault)
    {
        sigset_t terminate;
        sigemptyset(&terminate);
        sigaddset(&terminate, SIGTERM);
        sigset_t previous;
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &terminate, &previous), 0);
        auto status = runCommand(
            "/bin/grep", { "-E", "^Sig(Blk|Ign)", "/proc/self/status" }, { .timeLimitSeconds = 5 });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        auto maskAfter = [&](std::string_view label) {
            auto at = status.output.find(label);
            return at == std::string::npos
                ? ~0ULL
                : std::strtoull(status.output.c_str() + at + label.size(), nullptr, 16);
        };
        // Only the classic signals 1 to 31: glibc's posix_spawn leaves its own real-time signals ignored.
        EXPECT_EQ(maskAfter("SigBlk:\t") & 0x7FFF'FFFF, 0U) << status.output;
        EXPECT_EQ(maskAfter("SigIgn:\t") & (1ULL << (SIGPIPE - 1)), 0U) << status.output;
    }

    TEST(CommandRunner, TimeLimitEndsTheProgramAndKillsOneThatIgnoresSIGTERM)
    {
        // Non-positive and NaN limits count as 0; if one meant "no limit", sleep would end at 30 seconds.
        for (double limit : { 1.0, 0.0, -1.0, std::nan("") }) {
            SCOPED_TRACE(limit);
            EXPECT_EQ(runCommand("/bin/sleep", { "30" }, { .timeLimitSeconds = limit }),
                (CommandResult { .status = SIGTERM, .timedOut = true }));
        }
        EXPECT_EQ(runShell("trap '' TERM; echo before; exec sleep 30", 1),
            (CommandResult { .status = SIGKILL, .output = "before\n", .timedOut = true }));
    }

    TEST(CommandRunner, StallLimitEndsAProgramThatStopsGettingOnAndNotOneThatRuns)
    {
        struct Case {
            const char* script;
            CommandResult expected;
        };
        const Case cases[] = {
            { "exec sleep 1000", { .status = SIGTERM, .timedOut = true } },
            // Busy three seconds, three times the stall limit, however slowly it is given a CPU.
            { "while ((SECONDS < 3)); do :; done; echo done", { .output = "done\n" } },
        };
        for (const auto& [script, expected] : cases) {
            SCOPED_TRACE(script);
            EXPECT_EQ(runCommand("/bin/bash", { "-c", script },
                          { .timeLimitSeconds = 1000, .stallLimitSeconds = 1 }),
                expected);
        }
    }

    TEST(CommandRunner, DescendantHoldingOutputOpenDoesNotHangTheCall)
    {
        // Without the reader's grace the call would wait for the descendant, 30 seconds, and keep "done".
        test::TemporaryFolder folder;
        auto pidFile = folder / "descendant.pid";
        EXPECT_EQ(runShell("sleep 30 & echo $! > '" + pidFile.string() + "'; echo done"), CommandResult {});
        kill(std::atoi(test::readFile(pidFile).c_str()), SIGKILL);
    }

    TEST(CommandRunner, LaunchFailuresThrowWithThePlatformErrorAndExecutable)
    {
        test::TemporaryFolder folder;
        auto notExecutable = folder / "plain-file";
        test::writeBytes(notExecutable, "");
        auto environment = [](std::string name, std::string value) {
            return CommandOptions { .environment = CommandEnvironment { { name, value } } };
        };
        const std::tuple<std::filesystem::path, std::vector<std::string>, CommandOptions, int> cases[] = {
            { folder / "missing", {}, {}, ENOENT },
            { notExecutable, {}, {}, EACCES },
            { "/bin/true", {}, { .workingFolder = folder / "missing" }, ENOENT },
            { "/bin/true", { std::string("a\0b", 3) }, {}, EINVAL },
            { "/bin/true", {}, environment("A", std::string("\0", 1)), EINVAL },
        };
        for (const auto& [executable, arguments, options, code] : cases) {
            SCOPED_TRACE(code);
            auto error
                = test::thrown<CommandLaunchError>([&] { runCommand(executable, arguments, options); });
            ASSERT_TRUE(error) << "started";
            EXPECT_EQ(error->code(), std::error_code(code, std::system_category()));
            EXPECT_EQ(error->executable(), executable);
        }
    }

    TEST(CommandRunner, ConcurrentCallsKeepTheirOwnOutput)
    {
        EXPECT_EQ(test::failuresOnThreads(16, 1,
                      [](int thread) {
                          std::string letter(1, static_cast<char>('a' + thread));
                          return runCommand("/bin/sh",
                                     { "-c", "head -c 200000 /dev/zero | tr '\\0' \"$0\"; exit $1", letter,
                                         std::to_string(thread) },
                                     { .timeLimitSeconds = 30 })
                              == CommandResult { .status = thread, .output = std::string(200000, letter[0]) };
                      }),
            0);
    }

}
}
