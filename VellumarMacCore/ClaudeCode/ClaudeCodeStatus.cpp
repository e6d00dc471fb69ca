#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <algorithm>
#include <charconv>

namespace vellumar {

namespace {

    constexpr double kVersionProbeTimeLimitSeconds = 10;
    constexpr double kAuthProbeTimeLimitSeconds = 15;
    // Logins through Claude's own accounts; any other method (an API key, a cloud provider) is
    // reported separately so the user can be told that replies would be billed elsewhere.
    constexpr std::array<std::string_view, 3> kAccountLoginMethods { "oauth", "oauth_token", "claude.ai" };

    bool isRemoved(std::string_view name)
    {
        const auto& removed = ClaudeCodeStatus::removedEnvironmentVariables;
        return std::find(removed.begin(), removed.end(), name) != removed.end();
    }

    // This process's environment without the variables that must not reach Claude Code.
    CommandEnvironment probeEnvironment()
    {
        CommandEnvironment environment = currentEnvironment();
        std::erase_if(environment, [](const auto& variable) { return isRemoved(variable.first); });
        return environment;
    }

    std::vector<std::string_view> wordsOf(std::string_view text)
    {
        std::vector<std::string_view> words;
        std::size_t start = 0;
        while (start < text.size()) {
            auto end = std::min(text.find_first_of(" \n", start), text.size());
            if (end > start)
                words.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return words;
    }

    // A decimal integer: an optional sign, then one or more ASCII digits, within 64 bits.
    std::optional<std::int64_t> integerOf(std::string_view piece)
    {
        auto digits = piece;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
            digits.remove_prefix(1);
        if (digits.empty()
            || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        // from_chars takes a "-" but not a "+".
        if (piece.front() == '+')
            piece.remove_prefix(1);
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (error != std::errc {} || end != piece.data() + piece.size())
            return std::nullopt;
        return value;
    }

}

const ClaudeCodeStatus::VersionComponents ClaudeCodeStatus::minimumVersion { 2, 1, 307 };
const ClaudeCodeStatus ClaudeCodeStatus::missing {};

ClaudeCodeStatus ClaudeCodeStatus::check(const std::optional<std::string>& loginPATH,
    const std::optional<std::string>& probePATH, const ClaudeLocator& locator,
    const CommandRunnerFunction& runner)
{
    auto executable = locator.locate(loginPATH);
    if (!executable)
        return missing;

    auto environment = probeEnvironment();
    environment["PATH"] = probePATH ? *probePATH : locator.searchPath(loginPATH);

    ClaudeCodeStatus status { .path = executable, .version = std::nullopt, .login = Login::unknown };
    try {
        auto result = runner(*executable, { "--version" },
            { .environment = environment, .timeLimitSeconds = kVersionProbeTimeLimitSeconds });
        if (result.status == 0 && detail::isValidUTF8(result.output))
            status.version = versionText(result.output);
    } catch (const CommandLaunchError&) {
    }
    try {
        auto result = runner(*executable, { "auth", "status", "--json" },
            { .environment = environment, .timeLimitSeconds = kAuthProbeTimeLimitSeconds });
        if (!result.timedOut)
            status.login = loginFromAuthStatus(result.output, result.status);
    } catch (const CommandLaunchError&) {
    }
    return status;
}

bool ClaudeCodeStatus::meetsMinimumVersion() const
{
    if (!version)
        return true;
    auto components = parseVersion(*version);
    return !components || !isOlder(*components, minimumVersion);
}

bool ClaudeCodeStatus::isReady() const { return path && meetsMinimumVersion() && login == Login::loggedIn; }

std::optional<ClaudeCodeStatus::VersionComponents> ClaudeCodeStatus::parseVersion(std::string_view text)
{
    VersionComponents components;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = std::min(text.find('.', start), text.size());
        if (end > start) {
            auto component = integerOf(text.substr(start, end - start));
            if (!component)
                return std::nullopt;
            components.push_back(*component);
        }
        start = end + 1;
    }
    if (components.size() < 2 || components.size() > 4)
        return std::nullopt;
    return components;
}

std::optional<std::string> ClaudeCodeStatus::versionText(std::string_view output)
{
    auto words = wordsOf(output);
    std::string_view first = words.empty() ? std::string_view {} : words.front();
    if (!parseVersion(first))
        return std::nullopt;
    return std::string(first);
}

bool ClaudeCodeStatus::isOlder(const VersionComponents& version, const VersionComponents& than)
{
    for (std::size_t index = 0; index < version.size(); ++index) {
        if (index >= than.size())
            return false;
        if (version[index] != than[index])
            return version[index] < than[index];
    }
    return version.size() < than.size();
}

ClaudeCodeStatus::Login ClaudeCodeStatus::loginFromAuthStatus(
    std::string_view output, std::int32_t exitStatus)
{
    auto value = JSON::decode(output);
    if (!value || !value->objectValue())
        return exitStatus == 1 ? Login::loggedOut : Login::unknown;
    const JSON* loggedIn = value->subscript("loggedIn");
    if (!loggedIn || loggedIn->boolValue() != true)
        return Login::loggedOut;
    const JSON* method = value->subscript("authMethod");
    const std::string* methodText = method ? method->stringValue() : nullptr;
    if (!methodText)
        return Login::loggedIn;
    bool throughAccount = std::find(kAccountLoginMethods.begin(), kAccountLoginMethods.end(), *methodText)
        != kAccountLoginMethods.end();
    return throughAccount ? Login::loggedIn : Login::otherMethod;
}
}
