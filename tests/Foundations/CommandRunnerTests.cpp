#include "VellumarMacCore/Foundations/CommandRunner.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar {
namespace {

    using std::chrono::seconds;
    using std::chrono::steady_clock;

    // Well past every limit the runner gives, so a hang fails instead of passing slowly.
    constexpr auto kHangBound = seconds(20);

    CommandResult runShell(const std::string& script, double timeLimitSeconds = 10)
    {
        return runCommand("/bin/sh", { "-c", script }, { .timeLimitSeconds = timeLimitSeconds });
    }

    std::error_code launchErrorOf(const std::filesystem::path& executable,
        const std::vector<std::string>& arguments, const CommandOptions& options)
    {
        try {
            runCommand(executable, arguments, options);
        } catch (const CommandLaunchError& error) {
            return error.code();
        }
        return {};
    }

    TEST(CommandRunner, ExitCodeWithoutOutput)
    {
        auto result = runShell("exit 3");
        EXPECT_EQ(result, (CommandResult { .status = 3, .output = "", .timedOut = false }));
    }

    TEST(CommandRunner, ReportsExitCodesAndSignalNumbers)
    {
        struct Case {
            const char* script;
            std::int32_t status;
        };
        const Case cases[] = {
            { "exit 0", 0 },
            { "exit 255", 255 },
            { "kill -KILL $$", SIGKILL },
            { "kill -SEGV $$", SIGSEGV },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.script);
            auto result = runShell(testCase.script);
            EXPECT_EQ(result.status, testCase.status);
            EXPECT_FALSE(result.timedOut);
        }
    }

    TEST(CommandRunner, CapturesStandardOutputAndDiscardsStandardError)
    {
        EXPECT_EQ(runShell("echo only-error >&2").output, "");
        EXPECT_EQ(
            runShell("printf 'a\\0b'; echo hidden >&2; printf '\\nend'").output, std::string("a\0b\nend", 7));
    }

    TEST(CommandRunner, StandardInputIsAtEndOfFile)
    {
        auto result = runShell("if read line; then echo data; else echo end-of-file; fi", 5);
        EXPECT_EQ(result.output, "end-of-file\n");
        EXPECT_FALSE(result.timedOut);
    }

    TEST(CommandRunner, KeepsOutputUpToTheLimitAndDropsOutputBeyondIt)
    {
        struct Case {
            std::size_t bytes;
            std::size_t expectedSize;
        };
        const Case cases[] = {
            { 1024 * 1024, 1024 * 1024 }, // well past a pipe's buffer
            { kCommandOutputLimitBytes, kCommandOutputLimitBytes },
            { kCommandOutputLimitBytes + 1, 0 },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.bytes);
            auto result = runCommand("/usr/bin/head", { "-c", std::to_string(testCase.bytes), "/dev/zero" },
                { .timeLimitSeconds = 30 });
            EXPECT_EQ(result.status, 0);
            EXPECT_FALSE(result.timedOut);
            EXPECT_EQ(result.output.size(), testCase.expectedSize);
        }
    }

    TEST(CommandRunner, GivenEnvironmentIsTheWholeEnvironment)
    {
        setenv("VELLUMAR_RUNNER_INHERITED", "from-parent", 1);
        auto given = runCommand("/usr/bin/env", {},
            { .environment = CommandEnvironment { { "ONLY", "this one" }, { "EMPTY", "" } },
                .timeLimitSeconds = 5 });
        EXPECT_EQ(given.output, "EMPTY=\nONLY=this one\n");

        auto inherited = runCommand("/usr/bin/env", {}, { .timeLimitSeconds = 5 });
        EXPECT_NE(inherited.output.find("VELLUMAR_RUNNER_INHERITED=from-parent\n"), std::string::npos);
        unsetenv("VELLUMAR_RUNNER_INHERITED");
    }

    TEST(CommandRunner, StartsInTheGivenWorkingFolderElseInherits)
    {
        test::TemporaryFolder folder;
        auto given
            = runCommand("/bin/pwd", { "-P" }, { .workingFolder = folder.path(), .timeLimitSeconds = 5 });
        EXPECT_EQ(given.output, std::filesystem::canonical(folder.path()).string() + "\n");

        auto inherited = runCommand("/bin/pwd", { "-P" }, { .timeLimitSeconds = 5 });
        EXPECT_EQ(
            inherited.output, std::filesystem::canonical(std::filesystem::current_path()).string() + "\n");
    }

    TEST(CommandRunner, PassesArgumentsVerbatimWithoutAShell)
    {
        auto result
            = runCommand("/usr/bin/printf", { "[%s]", "$HOME", "a b", "", "*" }, { .timeLimitSeconds = 5 });
        EXPECT_EQ(result.output, "[$HOME][a b][][*]");
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

    TEST(CommandRunner, ChildStartsWithDefaultSignalsAndNothingBlocked)
    {
        sigset_t terminate;
        sigemptyset(&terminate);
        sigaddset(&terminate, SIGTERM);
        sigset_t previous;
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &terminate, &previous), 0);
        auto status = runCommand(
            "/bin/grep", { "-E", "^Sig(Blk|Ign)", "/proc/self/status" }, { .timeLimitSeconds = 5 });
        // With SIGTERM blocked in the child it would only end at SIGKILL.
        auto timedOut = runCommand("/bin/sleep", { "30" }, { .timeLimitSeconds = 0.5 });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        // Only the classic signals: glibc's posix_spawn leaves its own real-time signals (32, 33) ignored.
        constexpr std::uint64_t kClassicSignals = 0x7FFF'FFFF; // signals 1 to 31
        auto maskAfter = [&](std::string_view label) {
            auto at = status.output.find(label);
            return at == std::string::npos
                ? ~0ULL
                : std::strtoull(status.output.c_str() + at + label.size(), nullptr, 16);
        };
        EXPECT_EQ(maskAfter("SigBlk:\t") & kClassicSignals, 0U) << status.output;
        EXPECT_EQ(maskAfter("SigIgn:\t") & kClassicSignals, 0U) << status.output;
        EXPECT_TRUE(timedOut.timedOut);
        EXPECT_EQ(timedOut.status, SIGTERM);
    }

    TEST(CommandRunner, IgnoresSIGPIPEInTheCallingProcess)
    {
        runShell("exit 0");
        struct sigaction current = {};
        ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
        EXPECT_EQ(current.sa_handler, SIG_IGN);
    }

    TEST(CommandRunner, TimeLimitEndsAProgramThatHonoursSIGTERM)
    {
        auto started = steady_clock::now();
        auto result = runCommand("/bin/sleep", { "30" }, { .timeLimitSeconds = 1 });
        EXPECT_LT(steady_clock::now() - started, kHangBound);
        EXPECT_TRUE(result.timedOut);
        EXPECT_EQ(result.status, SIGTERM);
    }

    TEST(CommandRunner, KillsAProgramThatIgnoresSIGTERM)
    {
        auto started = steady_clock::now();
        auto result = runShell("trap '' TERM; echo before; exec sleep 30", 1);
        EXPECT_LT(steady_clock::now() - started, kHangBound);
        EXPECT_TRUE(result.timedOut);
        EXPECT_EQ(result.status, SIGKILL);
        EXPECT_EQ(result.output, "before\n");
    }

    TEST(CommandRunner, NonPositiveTimeLimitStillEndsTheProgram)
    {
        for (double limit : { 0.0, -5.0, std::nan("") }) {
            SCOPED_TRACE(limit);
            auto result = runCommand("/bin/sleep", { "30" }, { .timeLimitSeconds = limit });
            EXPECT_TRUE(result.timedOut);
            EXPECT_EQ(result.status, SIGTERM);
        }
    }

    TEST(CommandRunner, DescendantHoldingOutputOpenDoesNotHangTheCall)
    {
        test::TemporaryFolder folder;
        auto pidFile = folder / "descendant.pid";
        auto started = steady_clock::now();
        auto result = runShell("sleep 30 & echo $! > '" + pidFile.string() + "'; echo done", 10);
        EXPECT_LT(steady_clock::now() - started, kHangBound);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, "");
        kill(std::atoi(test::readFile(pidFile).c_str()), SIGKILL);
    }

    TEST(CommandRunner, OutputOfADescendantThatFinishesWithinTheGraceIsKept)
    {
        auto result = runShell("(sleep 1; echo late) & echo early", 10);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, "early\nlate\n");
    }

    TEST(CommandRunner, LaunchFailuresThrowWithThePlatformError)
    {
        test::TemporaryFolder folder;
        auto notExecutable = folder / "plain-file";
        {
            std::FILE* file = std::fopen(notExecutable.c_str(), "w");
            ASSERT_NE(file, nullptr);
            std::fclose(file);
        }

        struct Case {
            const char* name;
            std::filesystem::path executable;
            std::vector<std::string> arguments;
            CommandOptions options;
            int error;
        };
        const Case cases[] = {
            { "missing executable", folder / "missing", {}, {}, ENOENT },
            { "file without execute permission", notExecutable, {}, {}, EACCES },
            { "folder", folder.path(), {}, {}, EACCES },
            { "missing working folder", "/bin/true", {}, { .workingFolder = folder / "missing" }, ENOENT },
            { "NUL in an argument", "/bin/true", { std::string("a\0b", 3) }, {}, EINVAL },
            { "= in a variable name", "/bin/true", {},
                { .environment = CommandEnvironment { { "A=B", "c" } } }, EINVAL },
            { "empty variable name", "/bin/true", {}, { .environment = CommandEnvironment { { "", "c" } } },
                EINVAL },
            { "NUL in a variable value", "/bin/true", {},
                { .environment = CommandEnvironment { { "A", std::string("\0", 1) } } }, EINVAL },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(launchErrorOf(testCase.executable, testCase.arguments, testCase.options),
                std::error_code(testCase.error, std::system_category()));
        }
    }

    TEST(CommandRunner, LaunchErrorNamesTheExecutable)
    {
        try {
            runCommand("/nonexistent/claude", {}, { .timeLimitSeconds = 1 });
            FAIL() << "expected a launch error";
        } catch (const CommandLaunchError& error) {
            EXPECT_EQ(error.executable(), "/nonexistent/claude");
            EXPECT_NE(std::string(error.what()).find("/nonexistent/claude"), std::string::npos);
        }
    }

    TEST(CommandRunner, ConcurrentCallsKeepTheirOwnOutput)
    {
        constexpr int kCalls = 16;
        std::vector<CommandResult> results(kCalls);
        {
            std::vector<std::jthread> threads;
            for (int index = 0; index < kCalls; ++index) {
                threads.emplace_back([index, &results] {
                    results[index] = runCommand("/bin/sh",
                        { "-c", "head -c 200000 /dev/zero | tr '\\0' \"$0\"; exit $1",
                            std::string(1, static_cast<char>('a' + index)), std::to_string(index) },
                        { .timeLimitSeconds = 30 });
                });
            }
        }
        for (int index = 0; index < kCalls; ++index) {
            SCOPED_TRACE(index);
            EXPECT_EQ(results[index].status, index);
            EXPECT_EQ(results[index].output, std::string(200000, static_cast<char>('a' + index)));
        }
    }

}
}
