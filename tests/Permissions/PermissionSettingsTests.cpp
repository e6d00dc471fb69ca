#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"

#include <gtest/gtest.h>

#include <string>

using namespace vellumar;

namespace {

JSON decoded(const std::string& text)
{
    if (auto value = JSON::decode(text))
        return *value;
    ADD_FAILURE() << "fixture is not JSON: " << text;
    return {};
}

// The sentence of the refusal, or "" when the value parses.
std::string refusal(const std::string& json)
{
    try {
        PermissionSettings settings(decoded(json));
        return "";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.status(), 400);
        EXPECT_EQ(error.code(), "bad_request");
        EXPECT_FALSE(error.retryAfter());
        return error.message();
    }
}

std::string repeated(const std::string& item, int count)
{
    std::string list = "[";
    for (int i = 0; i < count; ++i)
        list += (i ? "," : "") + item;
    return list + "]";
}

std::string numberedFolders(int count)
{
    std::string list = "[";
    for (int i = 0; i < count; ++i)
        list += (i ? "," : "") + std::string(R"({"path":"/f)") + std::to_string(i) + R"(","access":"read"})";
    return list + "]";
}

const std::string kUnknownKeys = "permissions has keys this relay does not know.";
const std::string kFolder = "A folder in permissions.folders is not valid.";
const std::string kSecretList = "permissions.secretAccess must be a list.";
const std::string kSecretItem = "An item in permissions.secretAccess is not valid.";
const std::string kMode = "permissions.bashNetwork.mode must be none, local, domains or all.";
const std::string kSiteName = "permissions.bashNetwork.domains has a site name that cannot be used.";
const std::string kApprove = "permissions.approve must list bash and/or write.";
const std::string kAlwaysAllow = "permissions.alwaysAllow is not valid.";

}

TEST(PermissionSettings, EmptyObjectGivesTheDefaultsWithWebOn)
{
    PermissionSettings settings(decoded("{}"));
    EXPECT_TRUE(settings.folders.empty());
    EXPECT_TRUE(settings.web);
    EXPECT_FALSE(settings.bash);
    EXPECT_TRUE(settings.secrets.empty());
    EXPECT_EQ(settings.network, "none");
    EXPECT_TRUE(settings.domains.empty());
    EXPECT_TRUE(settings.approve.empty());
    EXPECT_TRUE(settings.alwaysAllow.empty());
    EXPECT_FALSE(settings.cliTools);
    EXPECT_EQ(settings, PermissionSettings());
}

TEST(PermissionSettings, ParsesEveryMemberKeepingTextsAsSent)
{
    PermissionSettings settings(decoded(R"({
        "folders": [{"path": "~/Code", "access": "write"}, {"path": "a/b", "access": "read"}],
        "web": false, "bash": true, "cliTools": true,
        "secretAccess": [{"id": "ssh", "mode": "read"}, {"id": "relay", "mode": "write"}],
        "bashNetwork": {"mode": "domains", "domains": ["*.example.org", "a.b"]},
        "approve": ["write", "bash"],
        "alwaysAllow": ["~/Code/app/.claude/skills/", "/opt/x"]
    })"));
    PermissionSettings expected;
    expected.folders = { { "~/Code", true }, { "a/b", false } };
    expected.web = false;
    expected.bash = true;
    expected.cliTools = true;
    expected.secrets = { { "ssh", false }, { "relay", true } };
    expected.network = "domains";
    expected.domains = { "*.example.org", "a.b" };
    expected.approve = { "write", "bash" };
    expected.alwaysAllow = { "~/Code/app/.claude/skills/", "/opt/x" };
    EXPECT_EQ(settings, expected);
}

TEST(PermissionSettings, RefusesEachBadMemberWithItsSentence)
{
    struct Case {
        const char* name;
        std::string json;
        std::string message; // "" when it parses
    };
    const Case cases[] = {
        { "list instead of object", "[]", kUnknownKeys },
        { "string instead of object", R"("x")", kUnknownKeys },
        { "null instead of object", "null", kUnknownKeys },
        { "unknown key", R"({"web":true,"shell":true})", kUnknownKeys },
        { "web null", R"({"web":null})", "permissions.web must be true or false." },
        { "web number", R"({"web":1})", "permissions.web must be true or false." },
        { "bash string", R"({"bash":"true"})", "permissions.bash must be true or false." },
        { "cliTools null", R"({"cliTools":null})", "permissions.cliTools must be true or false." },
        { "30 folders", R"({"folders":)" + numberedFolders(30) + "}", "" },
        { "31 folders", R"({"folders":)" + numberedFolders(31) + "}",
            "permissions.folders must be a list of at most 30." },
        { "folders object", R"({"folders":{}})", "permissions.folders must be a list of at most 30." },
        { "folder without access", R"({"folders":[{"path":"/a"}]})", kFolder },
        { "folder without path", R"({"folders":[{"access":"read"}]})", kFolder },
        { "folder extra key", R"({"folders":[{"path":"/a","access":"read","x":1}]})", kFolder },
        { "folder access all", R"({"folders":[{"path":"/a","access":"all"}]})", kFolder },
        { "folder leading space", R"({"folders":[{"path":" /a","access":"read"}]})", kFolder },
        { "folder empty path", R"({"folders":[{"path":"","access":"read"}]})", kFolder },
        { "folder backslash", R"({"folders":[{"path":"/a\\b","access":"read"}]})", kFolder },
        { "folder control", R"({"folders":[{"path":"/a\u0085b","access":"read"}]})", kFolder },
        { "folder item string", R"({"folders":["/a"]})", kFolder },
        { "relative folder passes", R"({"folders":[{"path":"a/b","access":"read"}]})", "" },
        { "duplicate folders pass",
            R"({"folders":[{"path":"/a","access":"read"},{"path":"/a","access":"write"}]})", "" },
        { "nine secrets", R"({"secretAccess":)" + repeated(R"({"id":"ssh","mode":"read"})", 9) + "}",
            kSecretItem },
        { "ten secrets fail before items", R"({"secretAccess":)" + repeated(R"({"id":"nope"})", 10) + "}",
            kSecretList },
        { "secrets object", R"({"secretAccess":{}})", kSecretList },
        { "repeated secret", R"({"secretAccess":[{"id":"ssh","mode":"read"},{"id":"ssh","mode":"write"}]})",
            kSecretItem },
        { "unknown secret", R"({"secretAccess":[{"id":"keychain","mode":"read"}]})", kSecretItem },
        { "secret without mode", R"({"secretAccess":[{"id":"ssh"}]})", kSecretItem },
        { "secret extra key", R"({"secretAccess":[{"id":"ssh","mode":"read","x":0}]})", kSecretItem },
        { "approve empty", R"({"approve":[]})", "" },
        { "approve twice", R"({"approve":["bash","bash"]})", kApprove },
        { "approve capital", R"({"approve":["Bash"]})", kApprove },
        { "approve number", R"({"approve":[1]})", kApprove },
        { "approve string", R"({"approve":"bash"})", kApprove },
        { "alwaysAllow 20",
            R"({"alwaysAllow":[)" +
                [] {
                    std::string items;
                    for (int i = 0; i < 20; ++i)
                        items += (i ? ",\"/p" : "\"/p") + std::to_string(i) + "\"";
                    return items;
                }()
                + "]}",
            "" },
        { "alwaysAllow 21",
            R"({"alwaysAllow":[)" +
                [] {
                    std::string items;
                    for (int i = 0; i < 21; ++i)
                        items += (i ? ",\"/p" : "\"/p") + std::to_string(i) + "\"";
                    return items;
                }()
                + "]}",
            kAlwaysAllow },
        { "alwaysAllow lone tilde", R"({"alwaysAllow":["~"]})", kAlwaysAllow },
        { "alwaysAllow relative", R"({"alwaysAllow":["a/b"]})", kAlwaysAllow },
        { "alwaysAllow tilde user", R"({"alwaysAllow":["~x/a"]})", kAlwaysAllow },
        { "alwaysAllow trailing slash", R"({"alwaysAllow":["~/a/","/b/"]})", "" },
        { "alwaysAllow backslash", R"({"alwaysAllow":["/a\\b"]})", kAlwaysAllow },
        { "alwaysAllow trailing newline", R"({"alwaysAllow":["/a\n"]})", kAlwaysAllow },
        { "alwaysAllow repeated", R"({"alwaysAllow":["/a","/a"]})", kAlwaysAllow },
        { "alwaysAllow empty text", R"({"alwaysAllow":[""]})", kAlwaysAllow },
        { "alwaysAllow 513", R"({"alwaysAllow":["/)" + std::string(512, 'a') + "\"]}", kAlwaysAllow },
        { "alwaysAllow 512", R"({"alwaysAllow":["/)" + std::string(511, 'a') + "\"]}", "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusal(c.json), c.message);
    }
}

TEST(PermissionSettings, ReportsOnlyTheFirstFailedCheckInFixedOrder)
{
    struct Case {
        std::string json;
        std::string message;
    };
    const Case cases[] = {
        { R"({"folders":7,"bash":"x","web":true})", "permissions.bash must be true or false." },
        { R"({"cliTools":0,"bash":0,"web":0})", "permissions.web must be true or false." },
        { R"({"folders":7,"cliTools":0})", "permissions.cliTools must be true or false." },
        { R"({"secretAccess":7,"folders":7})", "permissions.folders must be a list of at most 30." },
        { R"({"bashNetwork":7,"secretAccess":7})", kSecretList },
        { R"({"approve":7,"bashNetwork":7})", kMode },
        { R"({"alwaysAllow":7,"approve":7})", kApprove },
        { R"({"alwaysAllow":7,"nope":1,"web":null})", kUnknownKeys },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(refusal(c.json), c.message);
    }
}

TEST(PermissionSettings, ReadsBashNetworkModesAndDomains)
{
    struct Case {
        const char* json;
        std::string message; // "" when it parses
        std::string network;
        std::vector<std::string> domains;
    };
    const Case cases[] = {
        { R"({"mode":"all","domains":[]})", "", "all", {} },
        { R"({"mode":"none"})", "", "none", {} },
        { R"({"mode":"local","domains":"x.org"})", "", "local", {} },
        { R"({"mode":"domains","domains":["Example.org","a.b"]})", kSiteName, "", {} },
        { R"({"mode":"domains","domains":["x.org","a.b"]})", "", "domains", { "x.org", "a.b" } },
        { R"({"mode":"local","domains":["x.org"]})",
            "permissions.bashNetwork.domains is only for the domains mode.", "", {} },
        { R"({"mode":"domains"})", kSiteName, "", {} },
        { R"({"mode":"domains","domains":"x.org"})", kSiteName, "", {} },
        { R"({"mode":"domains","domains":["x.org","x.org"]})", kSiteName, "", {} },
        { R"({"mode":"domains","domains":[1]})", kSiteName, "", {} },
        { R"({"mode":"domains","domains":[)"
          "\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\","
          "\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\","
          "\"a.b\"]}",
            "permissions.bashNetwork.domains is too long.", "", {} },
        { R"({"mode":"all","domains":[)"
          "\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\","
          "\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\",\"a.b\","
          "\"a.b\"]}",
            "permissions.bashNetwork.domains is too long.", "", {} },
        { R"({"mode":"Domains"})", kMode, "", {} },
        { R"({"domains":[]})", kMode, "", {} },
        { R"({"mode":"all","extra":1})", kMode, "", {} },
        { R"("all")", kMode, "", {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            auto [network, domains] = PermissionSettings::parseBashNetwork(decoded(c.json));
            EXPECT_EQ(c.message, "");
            EXPECT_EQ(network, c.network);
            EXPECT_EQ(domains, c.domains);
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error.message(), c.message);
            EXPECT_EQ(error.code(), "bad_request");
        }
    }
    // Through the whole object, the mode's error passes unchanged.
    EXPECT_EQ(refusal(R"({"bashNetwork":{"mode":"local","domains":["x.org"]}})"),
        "permissions.bashNetwork.domains is only for the domains mode.");
}

TEST(PermissionSettings, AcceptsOnlyLowerCaseDnsSiteNames)
{
    struct Case {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        { "*.example.org", true }, { "a.b", true }, { "example.com", true }, { "x-1.example.co", true },
        { "1.example.com", true }, { "example.c0m", true }, { "ab", false }, { "example", false },
        { "Example.com", false }, { "10.0.0.1", false }, { "a.123", false }, { "localhost", false },
        { "dev.localhost", false }, { "*.localhost", false }, { "localhost.dev", true },
        { "-a.example.com", false }, { "a-.example.com", false }, { "a..b", false },
        { "example.com.", false }, { ".example.com", false }, { "*.", false }, { "*.com", false },
        { "a.*.com", false }, { "ex_ample.com", false }, { "exämple.com", false },
        { std::string(63, 'a') + ".com", true }, { std::string(64, 'a') + ".com", false },
        { std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "."
                + std::string(61, 'd'),
            true }, // 253
        { std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "."
                + std::string(62, 'd'),
            false }, // 254
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PermissionSettings::isValidSiteName(c.name), c.valid);
    }
}

TEST(PermissionSettings, EqualityKeepsListOrder)
{
    PermissionSettings a(
        decoded(R"({"folders":[{"path":"/a","access":"read"},{"path":"/b","access":"read"}]})"));
    PermissionSettings b(
        decoded(R"({"folders":[{"path":"/b","access":"read"},{"path":"/a","access":"read"}]})"));
    PermissionSettings c(
        decoded(R"({"folders":[{"path":"/a","access":"write"},{"path":"/b","access":"read"}]})"));
    EXPECT_EQ(a,
        PermissionSettings(
            decoded(R"({"folders":[{"path":"/a","access":"read"},{"path":"/b","access":"read"}]})")));
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(PermissionSettings(decoded(R"({"approve":["bash","write"]})")),
        PermissionSettings(decoded(R"({"approve":["write","bash"]})")));
}

TEST(IsValidPathText, BoundsLengthTrimmingBackslashesAndControls)
{
    struct Case {
        const char* name;
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        { "empty", "", false },
        { "512 characters", "/" + std::string(511, 'a'), true },
        { "513 characters", "/" + std::string(512, 'a'), false },
        // Characters, not bytes: 300 two-byte letters are 600 bytes.
        { "300 accented letters",
            [] {
                std::string text = "/";
                for (int i = 0; i < 300; ++i)
                    text += "\xC3\xA9";
                return text;
            }(),
            true },
        { "leading blank", " /a", false },
        { "trailing newline", "/a\n", false },
        { "trailing no-break space", "/a\xC2\xA0", false },
        { "inner blank", "/a b", true },
        { "backslash", "/a\\b", false },
        { "tab inside", "/a\tb", false },
        { "DEL inside",
            "/a\x7F"
            "b",
            false },
        { "C1 control inside",
            "/a\xC2\x9F"
            "b",
            false },
        { "NUL inside", std::string("/a\0b", 4), false },
        { "broken UTF-8", "/a\xFF", false },
        { "relative", "a/b", true },
        { "lone tilde", "~", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isValidPathText(c.text), c.valid);
    }
}
