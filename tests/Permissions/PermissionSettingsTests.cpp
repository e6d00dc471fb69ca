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

}

TEST(PermissionSettings, ParsesEveryMemberKeepingTextsAsSent)
{
    PermissionSettings expected;
    expected.folders = { { "~/Code", true }, { "a/b", false } };
    expected.web = false;
    expected.secrets = { { "relay", true } };
    expected.network = "domains";
    expected.domains = { "*.example.org" };
    expected.approve = { "write", "bash" };
    EXPECT_EQ(PermissionSettings(decoded(R"({"web": false, "approve": ["write", "bash"],
        "folders": [{"path": "~/Code", "access": "write"}, {"path": "a/b", "access": "read"}],
        "secretAccess": [{"id": "relay", "mode": "write"}],
        "bashNetwork": {"mode": "domains", "domains": ["*.example.org"]}})")),
        expected);
    EXPECT_EQ(PermissionSettings(decoded("{}")), PermissionSettings());
}

TEST(PermissionSettings, RefusesEachBadMemberWithItsSentence)
{
    const std::string kAlwaysAllow = refused("permissions.alwaysAllow is not valid.");
    // The "permissions" value, then "ok" or its refusal; where several members are bad, the first
    // check in a fixed order speaks.
    for (const auto& [json, expected] :
        std::vector<std::pair<std::string, std::string>> {
            { R"({"web":true,"shell":true})", refused("permissions has keys this relay does not know.") },
            { R"({"cliTools":0,"bash":0,"web":0})", refused("permissions.web must be true or false.") },
            { R"({"folders":)" + numbered(R"({"path":"/f#","access":"read"})", 31) + "}",
                refused("permissions.folders must be a list of at most 30.") },
            { R"({"folders":[{"path":" /a","access":"read"}]})",
                refused("A folder in permissions.folders is not valid.") },
            { R"({"secretAccess":[{"id":"keychain","mode":"read"}]})",
                refused("An item in permissions.secretAccess is not valid.") },
            { R"({"approve":["bash","bash"]})", refused("permissions.approve must list bash and/or write.") },
            { R"({"alwaysAllow":)" + numbered(R"("/p#")", 20) + "}", "ok" },
            { R"({"alwaysAllow":)" + numbered(R"("/p#")", 21) + "}", kAlwaysAllow },
            { R"({"bashNetwork":{"mode":"local","domains":["x.org"]}})",
                refused("permissions.bashNetwork.domains is only for the domains mode.") },
            { R"({"bashNetwork":{"mode":"Domains"}})",
                refused("permissions.bashNetwork.mode must be none, local, domains or all.") },
        }) {
        SCOPED_TRACE(json.substr(0, 200));
        EXPECT_EQ(test::refusalOf([&] { PermissionSettings settings(decoded(json)); }), expected);
    }
}

TEST(PermissionSettings, AcceptsOnlyLowerCaseDnsSiteNames)
{
    const std::string label63(63, 'a');
    for (const std::string& name :
        { "*.example.org"s, "x-1.example.co"s, "localhost.dev"s, label63 + ".com" })
        EXPECT_TRUE(PermissionSettings::isValidSiteName(name)) << name;
    for (const std::string& name : { "example"s, "Example.com"s, "10.0.0.1"s, "localhost"s, "dev.localhost"s,
             "*.com"s, "-a.example.com"s, "a..b"s, std::string(64, 'a') + ".com" })
        EXPECT_FALSE(PermissionSettings::isValidSiteName(name)) << name;
}

TEST(IsValidPathText, BoundsLengthTrimmingBackslashesAndControls)
{
    std::string accented = "/";
    for (int index = 0; index < 300; ++index)
        accented += "\xC3\xA9";
    // 512 characters, the most a path may have, even as 600 bytes.
    for (const std::string& text : { "/" + std::string(511, 'a'), accented })
        EXPECT_TRUE(isValidPathText(text)) << text;
    for (const std::string& text : { "/" + std::string(512, 'a'), " /a"s, "/a\\b"s, std::string("/a\0b", 4) })
        EXPECT_FALSE(isValidPathText(text)) << text;
}
