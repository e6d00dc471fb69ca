#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar {
namespace {

    using Login = ClaudeCodeStatus::Login;
    using Components = ClaudeCodeStatus::VersionComponents;

    bool machineHasSystemWideClaude()
    {
        return access("/opt/homebrew/bin/claude", F_OK) == 0 || access("/usr/local/bin/claude", F_OK) == 0;
    }

    // A stand-in for `claude` that answers both probes as told and records each call's arguments
    // (calls.log) and environment (env-<first argument>.txt) beside itself.
    struct FakeClaude {
        std::string versionOutput = "2.1.332 (Claude Code)\n";
        int versionStatus = 0;
        std::string authOutput = R"({"loggedIn": true, "authMethod": "claude.ai"})";
        int authStatus = 0;
        bool authHangs = false;
    };

    std::filesystem::path installFakeClaude(const std::filesystem::path& folder, const FakeClaude& fake)
    {
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "version.out", std::ios::binary) << fake.versionOutput;
        std::ofstream(folder / "auth.out", std::ios::binary) << fake.authOutput;
        auto executable = folder / "claude";
        test::writeExecutable(executable,
            "#!/bin/sh\n"
            "here=$(/usr/bin/dirname \"$0\")\n"
            "echo \"$*\" >> \"$here/calls.log\"\n"
            "/usr/bin/env > \"$here/env$1.txt\"\n"
            "case \"$1\" in\n"
            "--version) /bin/cat \"$here/version.out\"; exit "
                + std::to_string(fake.versionStatus) + ";;\n" + "auth) "
                + (fake.authHangs ? "exec /bin/sleep 60;" : "") + "/bin/cat \"$here/auth.out\"; exit "
                + std::to_string(fake.authStatus)
                + ";;\n"
                  "esac\n"
                  "exit 99\n");
        return executable;
    }

    std::set<std::string> variableNames(const std::string& environmentDump)
    {
        std::set<std::string> names;
        std::size_t start = 0;
        while (start < environmentDump.size()) {
            auto end = std::min(environmentDump.find('\n', start), environmentDump.size());
            auto line = environmentDump.substr(start, end - start);
            auto separator = line.find('=');
            if (separator != std::string::npos)
                names.insert(line.substr(0, separator));
            start = end + 1;
        }
        return names;
    }

    std::optional<std::string> variableValue(const std::string& environmentDump, const std::string& name)
    {
        auto at = environmentDump.find("\n" + name + "=");
        std::size_t valueStart;
        if (environmentDump.starts_with(name + "="))
            valueStart = name.size() + 1;
        else if (at != std::string::npos)
            valueStart = at + name.size() + 2;
        else
            return std::nullopt;
        return environmentDump.substr(valueStart, environmentDump.find('\n', valueStart) - valueStart);
    }

    TEST(ClaudeCodeStatus, ParseVersionAcceptsTwoToFourIntegers)
    {
        struct Case {
            const char* text;
            std::optional<Components> expected;
        };
        const Case cases[] = {
            { "2.1.307", Components { 2, 1, 307 } }, { "2.1", Components { 2, 1 } },
            { "1.2.3.4", Components { 1, 2, 3, 4 } }, { "2..1", Components { 2, 1 } },
            { ".2.1.", Components { 2, 1 } }, { "+2.-1", Components { 2, -1 } },
            { "007.010", Components { 7, 10 } },
            { "-9223372036854775808.9223372036854775807", Components { INT64_MIN, INT64_MAX } },
            { "2", std::nullopt }, { "1.2.3.4.5", std::nullopt }, { "2.1a", std::nullopt },
            { "2.1.3-beta", std::nullopt }, { "+.1", std::nullopt }, { "2.+-1", std::nullopt },
            { "2. 1", std::nullopt }, { "2.9223372036854775808", std::nullopt }, { "", std::nullopt },
            { "...", std::nullopt }, { "\xD9\xA2.\xD9\xA1", std::nullopt }, // Arabic-Indic digits
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.text);
            EXPECT_EQ(ClaudeCodeStatus::parseVersion(testCase.text), testCase.expected);
        }
    }

    TEST(ClaudeCodeStatus, VersionTextIsTheFirstWordWhenItIsAVersion)
    {
        struct Case {
            const char* output;
            std::optional<std::string> expected;
        };
        const Case cases[] = {
            { "2.1.332 (Claude Code)\n", "2.1.332" },
            { "\n\n  2.1.307\n", "2.1.307" },
            { "2.1.307.1", "2.1.307.1" },
            { "Claude Code 2.1.332", std::nullopt },
            { "2 (Claude Code)", std::nullopt },
            { "1.2.3.4.5 (Claude Code)", std::nullopt },
            { "2.x.1 (Claude Code)", std::nullopt },
            // Only blanks and line feeds separate words.
            { "2.1.332\t(Claude Code)", std::nullopt },
            { "", std::nullopt },
            { " \n ", std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.output);
            EXPECT_EQ(ClaudeCodeStatus::versionText(testCase.output), testCase.expected);
        }
    }

    TEST(ClaudeCodeStatus, IsOlderComparesComponentByComponent)
    {
        struct Case {
            Components version;
            Components than;
            bool older;
        };
        const Case cases[] = {
            { { 2, 1, 306 }, { 2, 1, 307 }, true },
            { { 2, 1 }, { 2, 1, 307 }, true },
            { { 1, 99, 999 }, { 2, 1, 307 }, true },
            { { 2, 0, 999 }, { 2, 1, 307 }, true },
            { { 2, 1, 307 }, { 2, 1, 307 }, false },
            { { 2, 1, 307, 1 }, { 2, 1, 307 }, false },
            { { 2, 1, 307, 0 }, { 2, 1, 307 }, false },
            { { 2, 2 }, { 2, 1, 307 }, false },
            { { 3, 0 }, { 2, 1, 307 }, false },
            { { 2, 1, -1 }, { 2, 1, 307 }, true },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(::testing::PrintToString(testCase.version));
            EXPECT_EQ(ClaudeCodeStatus::isOlder(testCase.version, testCase.than), testCase.older);
        }
        EXPECT_EQ(ClaudeCodeStatus::minimumVersion, (Components { 2, 1, 307 }));
    }

    TEST(ClaudeCodeStatus, MeetsMinimumVersionUnlessReadablyOlder)
    {
        struct Case {
            std::optional<std::string> version;
            bool meets;
        };
        const Case cases[] = {
            { std::nullopt, true },
            { "unreadable", true },
            { "2", true },
            { "1.2.3.4.5", true },
            { "2.1.306", false },
            { "2.1", false },
            { "2.1.307", true },
            { "2.1.307.1", true },
            { "2.2", true },
            { "3.0", true },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.version.value_or("absent"));
            ClaudeCodeStatus status {
                .path = "/usr/bin/claude", .version = testCase.version, .login = Login::loggedIn
            };
            EXPECT_EQ(status.meetsMinimumVersion(), testCase.meets);
        }
    }

    TEST(ClaudeCodeStatus, IsReadyNeedsPathMinimumVersionAndAccountLogin)
    {
        struct Case {
            const char* name;
            ClaudeCodeStatus status;
            bool ready;
        };
        const std::filesystem::path claude = "/usr/bin/claude";
        const Case cases[] = {
            { "everything", { .path = claude, .version = "2.1.307", .login = Login::loggedIn }, true },
            { "version unknown", { .path = claude, .version = std::nullopt, .login = Login::loggedIn },
                true },
            { "other login method", { .path = claude, .version = "2.1.307", .login = Login::otherMethod },
                false },
            { "too old", { .path = claude, .version = "2.1.306", .login = Login::loggedIn }, false },
            { "logged out", { .path = claude, .version = "2.1.307", .login = Login::loggedOut }, false },
            { "login unknown", { .path = claude, .version = "2.1.307", .login = Login::unknown }, false },
            { "no path", { .path = std::nullopt, .version = "2.1.307", .login = Login::loggedIn }, false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(testCase.status.isReady(), testCase.ready);
        }
        EXPECT_FALSE(ClaudeCodeStatus::missing.isReady());
    }

    TEST(ClaudeCodeStatus, LoginFromAuthStatusFollowsTheReportedMethod)
    {
        struct Case {
            const char* output;
            std::int32_t exitStatus;
            Login expected;
        };
        const Case cases[] = {
            { R"({"loggedIn": true, "authMethod": "oauth"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "oauth_token"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "claude.ai"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "api_key"})", 0, Login::otherMethod },
            { R"({"loggedIn": true, "authMethod": "OAuth"})", 0, Login::otherMethod },
            { R"({"loggedIn": true, "authMethod": ""})", 0, Login::otherMethod },
            { R"({"loggedIn": true})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": null})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": 3})", 0, Login::loggedIn },
            // Once the output is an object, the exit status no longer matters.
            { R"({"loggedIn": true, "authMethod": "oauth"})", 1, Login::loggedIn },
            { R"({"loggedIn": false})", 0, Login::loggedOut },
            { R"({"loggedIn": false, "authMethod": "none"})", 1, Login::loggedOut },
            { R"({"loggedIn": "true"})", 0, Login::loggedOut },
            { R"({"loggedIn": 1})", 0, Login::loggedOut },
            { R"({})", 0, Login::loggedOut },
            { "Not logged in", 1, Login::loggedOut },
            { "", 1, Login::loggedOut },
            { "[true]", 1, Login::loggedOut },
            { "Not logged in", 0, Login::unknown },
            { "Not logged in", 2, Login::unknown },
            { "[true]", 0, Login::unknown },
            { R"({"loggedIn": true)", 0, Login::unknown },
            { "\xFF{}", 1, Login::loggedOut },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(std::string(testCase.output) + " / " + std::to_string(testCase.exitStatus));
            EXPECT_EQ(ClaudeCodeStatus::loginFromAuthStatus(testCase.output, testCase.exitStatus),
                testCase.expected);
        }
    }

    TEST(ClaudeCodeStatus, MissingExecutableStartsNoProcess)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        test::TemporaryFolder root;
        std::filesystem::create_directories(root / "empty-bin");
        int started = 0;
        auto countingRunner = [&](const std::filesystem::path& executable,
                                  const std::vector<std::string>& arguments, const CommandOptions& options) {
            ++started;
            return runCommand(executable, arguments, options);
        };

        auto status = ClaudeCodeStatus::check((root / "empty-bin").string() + ":relative", std::nullopt,
            ClaudeLocator(root / "home", ""), countingRunner);
        EXPECT_EQ(status, ClaudeCodeStatus::missing);
        EXPECT_EQ(status,
            (ClaudeCodeStatus { .path = std::nullopt, .version = std::nullopt, .login = Login::unknown }));
        EXPECT_EQ(started, 0);
    }

    TEST(ClaudeCodeStatus, CheckFollowsTheProbesWithFakeClaude)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        struct Case {
            const char* name;
            FakeClaude fake;
            std::optional<std::string> version;
            Login login;
        };
        const Case cases[] = {
            { "ready", {}, "2.1.332", Login::loggedIn },
            { "too old", { .versionOutput = "2.1.306 (Claude Code)\n" }, "2.1.306", Login::loggedIn },
            { "version probe fails", { .versionStatus = 1 }, std::nullopt, Login::loggedIn },
            { "version not UTF-8", { .versionOutput = "2.1.332 (Claude \xFF Code)\n" }, std::nullopt,
                Login::loggedIn },
            { "version unreadable", { .versionOutput = "Claude Code\n" }, std::nullopt, Login::loggedIn },
            { "api key login", { .authOutput = R"({"loggedIn": true, "authMethod": "api_key"})" }, "2.1.332",
                Login::otherMethod },
            { "logged out as JSON",
                { .authOutput = R"({"loggedIn": false, "authMethod": "none"})", .authStatus = 1 }, "2.1.332",
                Login::loggedOut },
            { "logged out as text", { .authOutput = "Not logged in\n", .authStatus = 1 }, "2.1.332",
                Login::loggedOut },
            { "auth fails otherwise", { .authOutput = "error\n", .authStatus = 2 }, "2.1.332",
                Login::unknown },
            { "both fail", { .versionStatus = 3, .authOutput = "", .authStatus = 3 }, std::nullopt,
                Login::unknown },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            test::TemporaryFolder root;
            auto executable = installFakeClaude(root / "bin", testCase.fake);
            auto status = ClaudeCodeStatus::check(
                (root / "bin").string(), std::nullopt, ClaudeLocator(root / "home", ""));
            EXPECT_EQ(status,
                (ClaudeCodeStatus {
                    .path = executable, .version = testCase.version, .login = testCase.login }));
            // The version probe always comes first, and the auth probe runs whatever the first gave.
            EXPECT_EQ(test::readFile(root / "bin/calls.log"), "--version\nauth status --json\n");
        }
    }

    TEST(ClaudeCodeStatus, ProbesThatCannotStartLeaveVersionAndLoginUnknownWithFakeClaude)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        test::TemporaryFolder root;
        // Executable, so it is found, but without an interpreter line the system refuses to start it.
        test::writeExecutable(root / "bin/claude", "echo 2.1.332\n");
        auto status = ClaudeCodeStatus::check(
            (root / "bin").string(), std::nullopt, ClaudeLocator(root / "home", ""));
        EXPECT_EQ(status,
            (ClaudeCodeStatus {
                .path = root / "bin/claude", .version = std::nullopt, .login = Login::unknown }));
    }

    TEST(ClaudeCodeStatus, AuthProbePastItsLimitLeavesLoginUnknownWithFakeClaude)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        test::TemporaryFolder root;
        auto executable = installFakeClaude(root / "bin", { .authHangs = true });
        auto status = ClaudeCodeStatus::check(
            (root / "bin").string(), std::nullopt, ClaudeLocator(root / "home", ""));
        EXPECT_EQ(
            status, (ClaudeCodeStatus { .path = executable, .version = "2.1.332", .login = Login::unknown }));
    }

    TEST(ClaudeCodeStatus, ProbeEnvironmentDropsRemovedVariablesAndSetsPATHWithFakeClaude)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        std::vector<std::unique_ptr<test::ScopedEnvironmentVariable>> variables;
        for (auto name : ClaudeCodeStatus::removedEnvironmentVariables)
            variables.push_back(
                std::make_unique<test::ScopedEnvironmentVariable>(std::string(name), "secret"));
        // Names are compared exactly: these differ only in case or by a prefix, and pass.
        variables.push_back(std::make_unique<test::ScopedEnvironmentVariable>("anthropic_api_key", "kept"));
        variables.push_back(
            std::make_unique<test::ScopedEnvironmentVariable>("ANTHROPIC_API_KEY_FILE", "kept"));
        variables.push_back(
            std::make_unique<test::ScopedEnvironmentVariable>("VELLUMAR_PROBE_MARKER", "a=b c"));

        test::TemporaryFolder root;
        installFakeClaude(root / "bin", {});
        auto loginPATH = (root / "bin").string() + ":/opt/tools";
        ClaudeLocator locator(root / "home", "");

        struct Case {
            const char* name;
            std::optional<std::string> probePATH;
            std::string expectedPATH;
        };
        const Case cases[] = {
            { "probe PATH given", "/probe/bin:/usr/bin:/bin", "/probe/bin:/usr/bin:/bin" },
            { "search path of the login PATH", std::nullopt, locator.searchPath(loginPATH) },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            ClaudeCodeStatus::check(loginPATH, testCase.probePATH, locator);
            for (const char* probe : { "env--version.txt", "envauth.txt" }) {
                SCOPED_TRACE(probe);
                auto dump = test::readFile(root / "bin" / probe);
                auto names = variableNames(dump);
                for (auto removed : ClaudeCodeStatus::removedEnvironmentVariables)
                    EXPECT_EQ(names.count(std::string(removed)), 0U) << removed;
                EXPECT_EQ(variableValue(dump, "anthropic_api_key"), "kept");
                EXPECT_EQ(variableValue(dump, "ANTHROPIC_API_KEY_FILE"), "kept");
                EXPECT_EQ(variableValue(dump, "VELLUMAR_PROBE_MARKER"), "a=b c");
                EXPECT_EQ(variableValue(dump, "HOME"), std::getenv("HOME"));
                EXPECT_EQ(variableValue(dump, "PATH"), testCase.expectedPATH);
            }
        }
    }

    TEST(ClaudeCodeStatus, ChecksMayRunAtOnceWithFakeClaude)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        constexpr int kChecks = 6;
        test::TemporaryFolder root;
        std::vector<std::filesystem::path> executables;
        for (int index = 0; index < kChecks; ++index) {
            executables.push_back(installFakeClaude(root / std::to_string(index),
                { .versionOutput = "2.1." + std::to_string(300 + index) + "\n" }));
        }
        std::vector<ClaudeCodeStatus> results(kChecks);
        {
            std::vector<std::jthread> threads;
            for (int index = 0; index < kChecks; ++index) {
                threads.emplace_back([&, index] {
                    results[index] = ClaudeCodeStatus::check((root / std::to_string(index)).string(),
                        std::nullopt, ClaudeLocator(root / "home", ""));
                });
            }
        }
        for (int index = 0; index < kChecks; ++index) {
            SCOPED_TRACE(index);
            EXPECT_EQ(results[index],
                (ClaudeCodeStatus { .path = executables[index],
                    .version = "2.1." + std::to_string(300 + index),
                    .login = Login::loggedIn }));
        }
    }

    // The real Claude Code from npm: found on the login PATH, new enough, and logged out, because
    // the API key in this process's environment does not reach the probe.
    TEST(ClaudeCodeStatus, RealClaudeIsFoundCurrentAndLoggedOutWithoutTheAPIKey)
    {
        if (machineHasSystemWideClaude())
            GTEST_SKIP() << "this machine has a system-wide claude";
        auto binFolder = test::sourceDir() / "tests/peers/node_modules/.bin";
        ASSERT_TRUE(std::filesystem::exists(binFolder / "claude"))
            << "run scripts/setup to install the peers";

        test::TemporaryFolder home;
        auto nodeLookup = test::runPeer({ "/bin/sh", "-c", "command -v node" });
        std::string probePATH = "/usr/bin:/bin";
        if (nodeLookup.exitStatus == 0)
            probePATH = std::filesystem::path(nodeLookup.output.substr(0, nodeLookup.output.find('\n')))
                            .parent_path()
                            .string()
                + ":" + probePATH;

        test::ScopedEnvironmentVariable homeVariable("HOME", home.path().string());
        test::ScopedEnvironmentVariable quiet("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1");
        test::ScopedEnvironmentVariable apiKey("ANTHROPIC_API_KEY", "sk-ant-api03-test-key");
        test::ScopedEnvironmentVariable nested("CLAUDECODE", "1");

        // With the key in its environment, the same CLI reports a login by API key.
        CommandEnvironment withKey { { "HOME", home.path().string() }, { "PATH", probePATH },
            { "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1" },
            { "ANTHROPIC_API_KEY", "sk-ant-api03-test-key" } };
        auto control = runCommand(binFolder / "claude", { "auth", "status", "--json" },
            { .environment = withKey, .timeLimitSeconds = 60 });
        EXPECT_EQ(ClaudeCodeStatus::loginFromAuthStatus(control.output, control.status), Login::otherMethod)
            << control.output;

        auto status = ClaudeCodeStatus::check(binFolder.string(), probePATH, ClaudeLocator(home.path(), ""));
        EXPECT_EQ(status.path, binFolder / "claude");
        EXPECT_EQ(status.version, "2.1.332");
        EXPECT_TRUE(status.meetsMinimumVersion());
        EXPECT_EQ(status.login, Login::loggedOut);
        EXPECT_FALSE(status.isReady());
    }

}
}
