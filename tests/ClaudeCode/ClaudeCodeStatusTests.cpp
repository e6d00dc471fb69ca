#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace vellumar {
namespace {

    using Login = ClaudeCodeStatus::Login;
    using Components = ClaudeCodeStatus::VersionComponents;

    TEST(ClaudeCodeStatus, ParseVersionTakesTwoToFourSignedIntegers)
    {
        const std::pair<const char*, std::optional<Components>> cases[] = {
            { "2.1.307", Components { 2, 1, 307 } }, { "1.2.3.4", Components { 1, 2, 3, 4 } },
            { "..+2..-1.", Components { 2, -1 } },
            { "-9223372036854775808.9223372036854775807", Components { INT64_MIN, INT64_MAX } },
            { "2", std::nullopt }, { "1.2.3.4.5", std::nullopt }, { "2.1.3-beta", std::nullopt },
            { "+.1", std::nullopt }, { "2.+-1", std::nullopt }, { "2.9223372036854775808", std::nullopt },
            { "\xD9\xA2.\xD9\xA1", std::nullopt }, // Arabic-Indic digits
        };
        for (const auto& [text, expected] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(ClaudeCodeStatus::parseVersion(text), expected);
        }
    }

    TEST(ClaudeCodeStatus, VersionTextAndTheMinimumVersion)
    {
        // The probe's output, the version read from it, and whether that is new enough.
        struct Case {
            const char* output;
            std::optional<std::string> version;
            bool meetsMinimum;
        };
        const Case cases[] = {
            { "2.1.332 (Claude Code)\n", "2.1.332", true },
            { "\n\n  2.1.307\n", "2.1.307", true },
            { "2.1.307.0", "2.1.307.0", true },
            { "2.2", "2.2", true },
            { "2.1.306 (Claude Code)", "2.1.306", false },
            { "2.1", "2.1", false },
            { "1.99.999", "1.99.999", false },
            // Only blanks and line feeds separate words; a version that cannot be read is no reason to
            // refuse.
            { "2.1.332\t(Claude Code)", std::nullopt, true },
            { "Claude Code 2.1.332", std::nullopt, true },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.output);
            auto version = ClaudeCodeStatus::versionText(testCase.output);
            EXPECT_EQ(version, testCase.version);
            EXPECT_EQ((ClaudeCodeStatus { .path = {}, .version = version }).meetsMinimumVersion(),
                testCase.meetsMinimum);
        }
        EXPECT_TRUE((ClaudeCodeStatus { .path = {}, .version = "2.x" }).meetsMinimumVersion());
    }

    TEST(ClaudeCodeStatus, IsReadyNeedsPathMinimumVersionAndAccountLogin)
    {
        const std::filesystem::path claude = "/usr/bin/claude";
        EXPECT_TRUE((ClaudeCodeStatus { claude, "2.1.307", Login::loggedIn }).isReady());
        EXPECT_TRUE((ClaudeCodeStatus { claude, std::nullopt, Login::loggedIn }).isReady());
        EXPECT_FALSE((ClaudeCodeStatus { std::nullopt, "2.1.307", Login::loggedIn }).isReady());
        EXPECT_FALSE((ClaudeCodeStatus { claude, "2.1.306", Login::loggedIn }).isReady());
        EXPECT_FALSE((ClaudeCodeStatus { claude, "2.1.307", Login::otherMethod }).isReady());
    }

    TEST(ClaudeCodeStatus, LoginFromAuthStatusFollowsTheReportedMethod)
    {
        const std::tuple<const char*, std::int32_t, Login> cases[] = {
            { R"({"loggedIn": true, "authMethod": "oauth"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "oauth_token"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "claude.ai"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "api_key"})", 0, Login::otherMethod },
            { R"({"loggedIn": true, "authMethod": "OAuth"})", 0, Login::otherMethod },
            { R"({"loggedIn": true, "authMethod": 3})", 0, Login::loggedIn },
            // Once the output is an object, the exit status no longer matters.
            { R"({"loggedIn": true})", 1, Login::loggedIn },
            { R"({"loggedIn": false})", 0, Login::loggedOut },
            { R"({"loggedIn": "true"})", 0, Login::loggedOut },
            { "Not logged in", 1, Login::loggedOut },
            { "[true]", 1, Login::loggedOut },
            { "Not logged in", 0, Login::unknown },
            { "[true]", 2, Login::unknown },
        };
        for (const auto& [output, exitStatus, expected] : cases) {
            SCOPED_TRACE(std::string(output) + " / " + std::to_string(exitStatus));
            EXPECT_EQ(ClaudeCodeStatus::loginFromAuthStatus(output, exitStatus), expected);
        }
    }

    // The fixed candidates outside the home folder cannot be arranged by a test; where the machine has
    // one, it is found whatever the test sets up.
    class ClaudeCodeStatusCheck : public ::testing::Test {
    protected:
        void SetUp() override
        {
            if (access("/opt/homebrew/bin/claude", F_OK) == 0 || access("/usr/local/bin/claude", F_OK) == 0)
                GTEST_SKIP() << "this machine has a system-wide claude";
        }

        // A stand-in for `claude` in `folder` that answers both probes as told, and records each
        // call's arguments (calls.log) and environment (env-<first argument>).
        static std::filesystem::path fakeClaude(const std::filesystem::path& folder,
            const std::string& version = "echo '2.1.332 (Claude Code)'",
            const std::string& auth = R"(echo '{"loggedIn": true, "authMethod": "claude.ai"}')")
        {
            test::writeExecutable(folder / "claude",
                "#!/bin/sh\ncd \"$(/usr/bin/dirname \"$0\")\"\necho \"$*\" >> calls.log\n/usr/bin/env > "
                "\"env$1\"\n"
                "case \"$1\" in\n--version) "
                    + version + ";;\nauth) " + auth + ";;\nesac\n");
            return folder / "claude";
        }

        ClaudeCodeStatus check(const std::filesystem::path& bin, std::optional<std::string> probePATH = {})
        {
            return ClaudeCodeStatus::check(bin.string(), probePATH, ClaudeLocator(m_root / "home", ""));
        }

        test::TemporaryFolder m_root;
    };

    TEST_F(ClaudeCodeStatusCheck, MissingExecutableStartsNoProcess)
    {
        int started = 0;
        auto countingRunner = [&](const std::filesystem::path& executable,
                                  const std::vector<std::string>& arguments, const CommandOptions& options) {
            ++started;
            return runCommand(executable, arguments, options);
        };
        auto status = ClaudeCodeStatus::check((m_root / "empty-bin").string() + ":relative", std::nullopt,
            ClaudeLocator(m_root / "home", ""), countingRunner);
        EXPECT_EQ(status, (ClaudeCodeStatus { std::nullopt, std::nullopt, Login::unknown }));
        EXPECT_EQ(status, ClaudeCodeStatus::missing);
        EXPECT_EQ(started, 0);
    }

    TEST_F(ClaudeCodeStatusCheck, FollowsTheProbesWithFakeClaude)
    {
        struct Case {
            const char* name;
            std::string version;
            std::string auth;
            ClaudeCodeStatus expected;
        };
        const Case cases[] = {
            { "ready", "echo 2.1.332", "echo '{\"loggedIn\": true}'", { {}, "2.1.332", Login::loggedIn } },
            { "both fail, auth after the version all the same", "echo 2.1.332; exit 1",
                "echo Not logged in; exit 1", { {}, std::nullopt, Login::loggedOut } },
            { "version not UTF-8, auth fails otherwise", "printf '2.1.332 \\377\\n'", "echo error; exit 2",
                { {}, std::nullopt, Login::unknown } },
            // What it printed before its time limit ran out does not count.
            { "auth past its time limit", "echo 2.1.332", "echo '{\"loggedIn\": true}'; exec /bin/sleep 60",
                { {}, "2.1.332", Login::unknown } },
            // Executable, so it is found, but without an interpreter line the system refuses to start it.
            { "probes that cannot start", "", "", { {}, std::nullopt, Login::unknown } },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto bin = m_root / testCase.name;
            auto claude = fakeClaude(bin, testCase.version, testCase.auth);
            if (testCase.version.empty())
                test::writeExecutable(claude, "echo 2.1.332\n");
            auto expected = testCase.expected;
            expected.path = claude;
            EXPECT_EQ(check(bin), expected);
            if (!testCase.version.empty()) {
                EXPECT_EQ(test::readFile(bin / "calls.log"), "--version\nauth status --json\n");
            }
        }
    }

    TEST_F(ClaudeCodeStatusCheck, ProbeEnvironmentDropsRemovedVariablesAndSetsPATHWithFakeClaude)
    {
        std::vector<std::unique_ptr<test::ScopedEnvironmentVariable>> variables;
        for (auto name : ClaudeCodeStatus::removedEnvironmentVariables)
            variables.push_back(
                std::make_unique<test::ScopedEnvironmentVariable>(std::string(name), "secret"));
        // Names are compared exactly: these differ only in case or by a suffix, and pass.
        for (const char* kept : { "anthropic_api_key", "ANTHROPIC_API_KEY_FILE" })
            variables.push_back(std::make_unique<test::ScopedEnvironmentVariable>(kept, "a=b c"));
        fakeClaude(m_root / "bin");
        auto loginPATH = (m_root / "bin").string() + ":/opt/tools";

        for (const auto& probePATH :
            { std::optional<std::string>("/probe/bin:/bin"), std::optional<std::string>() }) {
            SCOPED_TRACE(probePATH.value_or("search path of the login PATH"));
            ClaudeCodeStatus::check(loginPATH, probePATH, ClaudeLocator(m_root / "home", ""));
            for (const char* probe : { "env--version", "envauth" }) {
                SCOPED_TRACE(probe);
                std::map<std::string, std::string> environment;
                std::istringstream dump(test::readFile(m_root / "bin" / probe));
                for (std::string line; std::getline(dump, line);)
                    environment.emplace(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
                for (auto removed : ClaudeCodeStatus::removedEnvironmentVariables)
                    EXPECT_EQ(environment.count(std::string(removed)), 0U) << removed;
                EXPECT_EQ(environment["anthropic_api_key"], "a=b c");
                EXPECT_EQ(environment["ANTHROPIC_API_KEY_FILE"], "a=b c");
                EXPECT_EQ(environment["HOME"], std::getenv("HOME"));
                EXPECT_EQ(environment["PATH"],
                    probePATH.value_or(ClaudeLocator(m_root / "home", "").searchPath(loginPATH)));
            }
        }
    }

    TEST_F(ClaudeCodeStatusCheck, ChecksMayRunAtOnceWithFakeClaude)
    {
        constexpr int kChecks = 6;
        // All written before any starts: a script still open for writing in a child that another thread
        // forked meanwhile cannot be started.
        for (int index = 0; index < kChecks; ++index)
            fakeClaude(m_root / std::to_string(index), "echo 2.1." + std::to_string(300 + index));
        std::vector<ClaudeCodeStatus> results(kChecks);
        {
            std::vector<std::jthread> threads;
            for (int index = 0; index < kChecks; ++index)
                threads.emplace_back([&, index] { results[index] = check(m_root / std::to_string(index)); });
        }
        for (int index = 0; index < kChecks; ++index) {
            EXPECT_EQ(results[index],
                (ClaudeCodeStatus { m_root / std::to_string(index) / "claude",
                    "2.1." + std::to_string(300 + index), Login::loggedIn }));
        }
    }

    // The real Claude Code from npm: found on the login PATH, new enough, and logged out, because
    // the API key in this process's environment does not reach the probe.
    TEST_F(ClaudeCodeStatusCheck, RealClaudeIsFoundCurrentAndLoggedOutWithoutTheAPIKey)
    {
        auto bin = test::sourceDir() / "tests/peers/node_modules/.bin";
        ASSERT_TRUE(std::filesystem::exists(bin / "claude")) << "run scripts/setup to install the peers";
        auto node = test::runPeer({ "/bin/sh", "-c", "command -v node" }).output;
        std::string probePATH = std::filesystem::path(node.substr(0, node.find('\n'))).parent_path().string()
            + ":/usr/bin:/bin";
        test::ScopedEnvironmentVariable home("HOME", m_root.path().string());
        test::ScopedEnvironmentVariable quiet("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1");
        test::ScopedEnvironmentVariable apiKey("ANTHROPIC_API_KEY", "sk-ant-api03-test-key");
        test::ScopedEnvironmentVariable nested("CLAUDECODE", "1");

        // With the key in its environment, the same CLI reports a login by API key.
        auto control = runCommand(bin / "claude", { "auth", "status", "--json" },
            { .environment = CommandEnvironment { { "HOME", m_root.path().string() }, { "PATH", probePATH },
                  { "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1" },
                  { "ANTHROPIC_API_KEY", "sk-ant-api03-test-key" } },
                .timeLimitSeconds = 60 });
        EXPECT_EQ(ClaudeCodeStatus::loginFromAuthStatus(control.output, control.status), Login::otherMethod)
            << control.output;

        auto status = check(bin, probePATH);
        EXPECT_EQ(status, (ClaudeCodeStatus { bin / "claude", "2.1.332", Login::loggedOut }));
        EXPECT_FALSE(status.isReady());
    }

}
}
