// Whether Claude Code is installed, new enough and logged in, learned from two short probes.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeLocator.h"
#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// An immutable value once made; safe to hand between threads.
struct ClaudeCodeStatus {
    enum class Login { loggedIn, loggedOut, otherMethod, unknown };

    using VersionComponents = std::vector<std::int64_t>;
    // Stands in for `runCommand`, which the check uses unless told otherwise.
    using CommandRunnerFunction = vellumar::CommandRunnerFunction;

    std::optional<std::filesystem::path> path;
    std::optional<std::string> version;
    Login login = Login::unknown;

    friend bool operator==(const ClaudeCodeStatus&, const ClaudeCodeStatus&) = default;

    // The oldest version accepted: 2.1.307.
    static const VersionComponents minimumVersion;
    // No executable found: no path, no version, login unknown.
    static const ClaudeCodeStatus missing;
    // Never passed to Claude Code: they would steer it to another account, provider or parent session.
    static constexpr std::array<std::string_view, 10> removedEnvironmentVariables {
        "ANTHROPIC_API_KEY",
        "ANTHROPIC_AUTH_TOKEN",
        "ANTHROPIC_BASE_URL",
        "CLAUDE_CODE_USE_BEDROCK",
        "CLAUDE_CODE_USE_VERTEX",
        "CLAUDE_CODE_USE_FOUNDRY",
        "AWS_BEARER_TOKEN_BEDROCK",
        "CLAUDECODE",
        "CLAUDE_CODE_ENTRYPOINT",
        "CLAUDE_CODE_SSE_PORT",
    };

    // Finds `claude` on `loginPATH` and runs `claude --version`, then `claude auth status --json`,
    // with this process's environment minus the removed variables and PATH set to `probePATH`, else
    // to the locator's search path of `loginPATH`. Never throws; a failed step only leaves its part
    // absent or unknown. Blocks the calling thread up to about 35 seconds; call it off the main
    // thread. Several checks may run at once.
    static ClaudeCodeStatus check(const std::optional<std::string>& loginPATH,
        const std::optional<std::string>& probePATH, const ClaudeLocator& locator,
        const CommandRunnerFunction& runner = runCommand);

    // True unless the version is present, readable and older than the minimum.
    bool meetsMinimumVersion() const;
    bool isReady() const;

    // Two to four "."-separated integers (empty pieces dropped, an optional sign each); else absent.
    static std::optional<VersionComponents> parseVersion(std::string_view text);
    // The first word of the version probe's output when it is a version.
    static std::optional<std::string> versionText(std::string_view output);
    static bool isOlder(const VersionComponents& version, const VersionComponents& than);
    // The login case that the auth probe's output and exit status describe.
    static Login loginFromAuthStatus(std::string_view output, std::int32_t exitStatus);
};

}
