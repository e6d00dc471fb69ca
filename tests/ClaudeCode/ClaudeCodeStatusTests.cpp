#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace vellumar {
namespace {

    using Login = ClaudeCodeStatus::Login;

    TEST(ClaudeCodeStatus, VersionTextAndReadiness)
    {
        // The probe's output, the version read from it (two to four signed integers), and whether it is
        // new enough to be ready: a version that cannot be read is no reason to refuse.
        const std::tuple<const char*, std::optional<std::string>, bool> cases[] = {
            { "2.1.332 (Claude Code)\n", "2.1.332", true }, { "\n\n  2.1.307\n", "2.1.307", true },
            { "2.1.306 (Claude Code)", "2.1.306", false }, { "1.2.3.4", "1.2.3.4", false },
            // A version that stops short of the minimum's last component is older than it.
            { "2.1", "2.1", false },
            { "-9223372036854775808.9223372036854775807", "-9223372036854775808.9223372036854775807", false },
            // Only blanks and line feeds separate words.
            { "2.1.332\t(Claude Code)", std::nullopt, true }, { "2", std::nullopt, true },
            { "1.2.3.4.5", std::nullopt, true }, { "2.1.3-beta", std::nullopt, true },
            { "2.9223372036854775808", std::nullopt, true },
            { "\xD9\xA2.\xD9\xA1", std::nullopt, true }, // Arabic-Indic digits
        };
        for (const auto& [output, version, ready] : cases) {
            SCOPED_TRACE(output);
            EXPECT_EQ(ClaudeCodeStatus::versionText(output), version);
            EXPECT_EQ((ClaudeCodeStatus { "/usr/bin/claude", version, Login::loggedIn }).isReady(), ready);
        }
        EXPECT_TRUE(ClaudeCodeStatus::isOlder({ 2, 1 }, { 2, 1, 1 }));
        EXPECT_FALSE(ClaudeCodeStatus::isOlder({ 2, 1, 1 }, { 2, 1 }));
        // Ready needs a path and a login to the account as well.
        EXPECT_FALSE((ClaudeCodeStatus { std::nullopt, "2.1.307", Login::loggedIn }).isReady());
        EXPECT_FALSE((ClaudeCodeStatus { "/usr/bin/claude", "2.1.307", Login::otherMethod }).isReady());
    }

    TEST(ClaudeCodeStatus, LoginFromAuthStatusFollowsTheReportedMethod)
    {
        const std::tuple<const char*, std::int32_t, Login> cases[] = {
            { R"({"loggedIn": true, "authMethod": "oauth"})", 0, Login::loggedIn },
            { R"({"loggedIn": true, "authMethod": "OAuth"})", 0, Login::otherMethod },
            // Once the output is an object, the exit status no longer matters.
            { R"({"loggedIn": true})", 1, Login::loggedIn },
            { R"({"loggedIn": "true"})", 0, Login::loggedOut },
            { "Not logged in", 2, Login::unknown },
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

        // A stand-in for `claude` in `folder` that answers both probes as told and logs each call's
        // arguments.
        static void fakeClaude(
            const std::filesystem::path& folder, const std::string& version, const std::string& auth)
        {
            test::writeExecutable(folder / "claude",
                "#!/bin/sh\ncd \"$(/usr/bin/dirname \"$0\")\"\necho \"$*\" >> calls.log\ncase \"$1\" "
                "in\n--version) "
                    + version + ";;\nauth) " + auth + ";;\nesac\n");
        }

        ClaudeCodeStatus check(const std::filesystem::path& bin, std::optional<std::string> probePATH = {})
        {
            return ClaudeCodeStatus::check(
                bin.string(), probePATH, ClaudeLocator(m_root / "home", ""), runCommand);
        }

        test::TemporaryFolder m_root;
    };

    // The checks run at once, once every script is written: a check's child forked while a script is
    // still open for writing would hold it open and make its own start fail with ETXTBSY.
    TEST_F(ClaudeCodeStatusCheck, ChecksFollowTheProbesAndMayRunAtOnceWithFakeClaude)
    {
        const std::tuple<const char*, std::string, std::string, std::optional<std::string>, Login> cases[] = {
            { "ready", "echo 2.1.332", "echo '{\"loggedIn\": true}'", "2.1.332", Login::loggedIn },
            { "both fail, auth after the version all the same", "echo 2.1.300; exit 1",
                "echo Not logged in; exit 1", std::nullopt, Login::loggedOut },
            { "version not UTF-8, auth fails otherwise", "printf '2.1.332 \\377\\n'", "echo error; exit 2",
                std::nullopt, Login::unknown },
            // What it printed before its time limit ran out does not count.
            { "auth past its time limit", "echo 2.1.301", "echo '{\"loggedIn\": true}'; exec /bin/sleep 60",
                "2.1.301", Login::unknown },
            // Executable, so it is found, but without an interpreter line the system refuses to start it.
            { "probes that cannot start", "", "", std::nullopt, Login::unknown },
        };
        for (const auto& [name, version, auth, expectedVersion, login] : cases) {
            fakeClaude(m_root / name, version, auth);
            if (version.empty())
                test::writeExecutable(m_root / name / "claude", "echo 2.1.332\n");
        }
        std::vector<ClaudeCodeStatus> results(std::size(cases));
        {
            std::vector<std::jthread> threads;
            for (std::size_t index = 0; index < std::size(cases); ++index)
                threads.emplace_back(
                    [&, index] { results[index] = check(m_root / std::get<0>(cases[index])); });
        }
        for (std::size_t index = 0; index < std::size(cases); ++index) {
            const auto& [name, version, auth, expectedVersion, login] = cases[index];
            SCOPED_TRACE(name);
            EXPECT_EQ(
                results[index], (ClaudeCodeStatus { m_root / name / "claude", expectedVersion, login }));
            if (!version.empty()) {
                EXPECT_EQ(test::readFile(m_root / name / "calls.log"), "--version\nauth status --json\n");
            }
        }
    }

    // The real Claude Code from npm: found on the login PATH, new enough, and logged out, because
    // the API key in this process's environment, which it would report as a login, does not reach the probe.
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

        auto status = check(bin, probePATH);
        EXPECT_EQ(status, (ClaudeCodeStatus { bin / "claude", "2.1.332", Login::loggedOut }));
        EXPECT_FALSE(status.isReady());
    }

}
}
