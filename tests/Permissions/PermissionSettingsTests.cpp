#include "VellumarMacCore/Permissions/PermissionSettings.h"

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vellumar;
using namespace std::string_literals;

namespace {

// The fixtures are JSON; one that is not throws bad_optional_access and fails its test.
JSON decoded(const std::string& text) { return JSON::decode(text).value(); }

std::string refused(const std::string& sentence) { return "400 bad_request " + sentence; }

// "ok" or the refusal of the "permissions" value `json`.
std::string outcome(const std::string& json)
{
    return test::refusalOf([&] { PermissionSettings settings(decoded(json)); });
}

// A JSON list of `count` copies of `item`, a "#" in each replaced by the copy's number.
std::string numbered(const std::string& item, int count)
{
    std::string list;
    for (int index = 0; index < count; ++index) {
        std::string one = item;
        if (auto mark = one.find('#'); mark != std::string::npos)
            one.replace(mark, 1, std::to_string(index));
        list += (index ? "," : "") + one;
    }
    return "[" + list + "]";
}

const std::string kFolder = refused("A folder in permissions.folders is not valid.");
const std::string kSecretList = refused("permissions.secretAccess must be a list.");
const std::string kSecretItem = refused("An item in permissions.secretAccess is not valid.");
const std::string kMode = refused("permissions.bashNetwork.mode must be none, local, domains or all.");
const std::string kSiteName = refused("permissions.bashNetwork.domains has a site name that cannot be used.");
const std::string kApprove = refused("permissions.approve must list bash and/or write.");
const std::string kAlwaysAllow = refused("permissions.alwaysAllow is not valid.");
const std::string kUnknownKeys = refused("permissions has keys this relay does not know.");

}

TEST(PermissionSettings, ParsesEveryMemberKeepingTextsAsSent)
{
    PermissionSettings expected;
    expected.folders = { { "~/Code", true }, { "a/b", false }, { "~/Code", false } };
    expected.web = false;
    expected.bash = true;
    expected.cliTools = true;
    expected.secrets = { { "ssh", false }, { "relay", true } };
    expected.network = "domains";
    expected.domains = { "*.example.org", "a.b" };
    expected.approve = { "write", "bash" };
    expected.alwaysAllow = { "~/Code/app/.claude/skills/", "/opt/x" };
    EXPECT_EQ(PermissionSettings(decoded(R"({
        "folders": [{"path": "~/Code", "access": "write"}, {"path": "a/b", "access": "read"},
                    {"path": "~/Code", "access": "read"}],
        "web": false, "bash": true, "cliTools": true,
        "secretAccess": [{"id": "ssh", "mode": "read"}, {"id": "relay", "mode": "write"}],
        "bashNetwork": {"mode": "domains", "domains": ["*.example.org", "a.b"]},
        "approve": ["write", "bash"],
        "alwaysAllow": ["~/Code/app/.claude/skills/", "/opt/x"]
    })")),
        expected);
    PermissionSettings defaults(decoded("{}"));
    EXPECT_EQ(defaults, PermissionSettings());
    EXPECT_TRUE(defaults.web);
}

TEST(PermissionSettings, RefusesEachBadMemberWithItsSentence)
{
    // The "permissions" value, then "ok" or its refusal.
    for (const auto& [json, expected] : std::vector<std::pair<std::string, std::string>> {
             { "[]", kUnknownKeys },
             { R"({"web":true,"shell":true})", kUnknownKeys },
             { R"({"web":null})", refused("permissions.web must be true or false.") },
             { R"({"folders":)" + numbered(R"({"path":"/f#","access":"read"})", 30) + "}", "ok" },
             { R"({"folders":)" + numbered(R"({"path":"/f#","access":"read"})", 31) + "}",
                 refused("permissions.folders must be a list of at most 30.") },
             { R"({"folders":[{"path":"/a","access":"read","x":1}]})", kFolder },
             { R"({"folders":[{"path":" /a","access":"read"}]})", kFolder },
             { R"({"secretAccess":)" + numbered(R"({"id":"ssh","mode":"read"})", 9) + "}", kSecretItem },
             { R"({"secretAccess":)" + numbered(R"({"id":"x#"})", 10) + "}", kSecretList },
             { R"({"secretAccess":[{"id":"keychain","mode":"read"}]})", kSecretItem },
             { R"({"approve":["bash","bash"]})", kApprove },
             { R"({"alwaysAllow":)" + numbered(R"("/p#")", 20) + "}", "ok" },
             { R"({"alwaysAllow":)" + numbered(R"("/p#")", 21) + "}", kAlwaysAllow },
             { R"({"alwaysAllow":["~"]})", kAlwaysAllow },
             { R"({"bashNetwork":{"mode":"local","domains":"x.org"}})", "ok" },
             { R"({"bashNetwork":{"mode":"local","domains":["x.org"]}})",
                 refused("permissions.bashNetwork.domains is only for the domains mode.") },
             { R"({"bashNetwork":{"mode":"domains"}})", kSiteName },
             { R"({"bashNetwork":{"mode":"all","domains":)" + numbered(R"("a#.org")", 21) + "}}",
                 refused("permissions.bashNetwork.domains is too long.") },
             { R"({"bashNetwork":{"mode":"Domains"}})", kMode },
         }) {
        SCOPED_TRACE(json.substr(0, 200));
        EXPECT_EQ(outcome(json), expected);
    }
}

TEST(PermissionSettings, ReportsOnlyTheFirstFailedCheckInFixedOrder)
{
    for (const auto& [json, expected] : std::vector<std::pair<std::string, std::string>> {
             { R"({"alwaysAllow":7,"nope":1,"web":null})", kUnknownKeys },
             { R"({"cliTools":0,"bash":0,"web":0})", refused("permissions.web must be true or false.") },
             { R"({"folders":7,"bash":"x","cliTools":0})",
                 refused("permissions.bash must be true or false.") },
             { R"({"folders":7,"cliTools":0})", refused("permissions.cliTools must be true or false.") },
             { R"({"secretAccess":7,"folders":7})",
                 refused("permissions.folders must be a list of at most 30.") },
             { R"({"bashNetwork":7,"secretAccess":7})", kSecretList },
             { R"({"approve":7,"bashNetwork":7})", kMode },
             { R"({"alwaysAllow":7,"approve":7})", kApprove },
         }) {
        SCOPED_TRACE(json);
        EXPECT_EQ(outcome(json), expected);
    }
}

TEST(PermissionSettings, AcceptsOnlyLowerCaseDnsSiteNames)
{
    const std::string label63(63, 'a');
    // 253 characters, the most a name may have.
    const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'd');
    for (const std::string& name : { "a.b"s, "*.example.org"s, "x-1.example.co"s, "example.c0m"s,
             "localhost.dev"s, label63 + ".com", longest })
        EXPECT_TRUE(PermissionSettings::isValidSiteName(name)) << name;
    for (const std::string& name : { "ab"s, "example"s, "Example.com"s, "10.0.0.1"s, "localhost"s,
             "dev.localhost"s, "*.com"s, "-a.example.com"s, "a-.example.com"s, "a..b"s, "a.*.com"s,
             "ex_ample.com"s, "ex\xC3\xA4mple.com"s, std::string(64, 'a') + ".com", longest + "d" })
        EXPECT_FALSE(PermissionSettings::isValidSiteName(name)) << name;
}

TEST(IsValidPathText, BoundsLengthTrimmingBackslashesAndControls)
{
    std::string accented = "/";
    for (int index = 0; index < 300; ++index)
        accented += "\xC3\xA9";
    // 512 characters, the most a path may have, even as 600 bytes.
    for (const std::string& text : { "/" + std::string(511, 'a'), accented, "/a b"s, "~"s })
        EXPECT_TRUE(isValidPathText(text)) << text;
    for (const std::string& text : { std::string(), "/" + std::string(512, 'a'), " /a"s, "/a\xC2\xA0"s,
             "/a\\b"s, "/a\tb"s, std::string("/a\0b", 4), "/a\xFF"s })
        EXPECT_FALSE(isValidPathText(text)) << text;
}
