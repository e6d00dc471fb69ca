// The requests a phone makes about itself: mailbox registration, unpairing and the terminal upgrade.
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "tests/Relay/RouterHarness.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

constexpr auto kKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr auto kSize = "400 bad_request cols must be 1 to 1000 and rows 1 to 500.";
constexpr auto kOnly = "400 bad_request Only cols and rows may be given.";
constexpr auto kMethod = "405 method_not_allowed This method is not allowed here.";
constexpr auto kToken = "401 unauthorized The token is not valid.";

class RelayRouterDevicesTest : public ::testing::Test, protected test::RouterHarness {
protected:
    HTTPResponse respond(const std::string& method, const std::string& target, std::string body = {},
        HTTPHeaders extra = {}, const std::string& token = {}) const
    {
        HTTPHeaders headers { { "authorization", "Bearer " + (token.empty() ? paired.token : token) } };
        headers.insert(headers.end(), extra.begin(), extra.end());
        return router.respond(
            HTTPRequest(method, target, headers, std::move(body), true), RequestOrigin::lan());
    }

    // Status, then the error's code and message or the body; a 101 as "101 " and its accept value.
    std::string outcome(const std::string& method, const std::string& target, std::string body = {},
        HTTPHeaders extra = {}, const std::string& token = {}) const
    {
        auto response = respond(method, target, std::move(body), std::move(extra), token);
        auto text = std::to_string(response.status()) + " ";
        if (response.status() == 101)
            return text + response.header("Sec-WebSocket-Accept").value_or("no accept");
        auto decoded = JSON::decode(response.body()).value_or(JSON());
        if (const auto* code = decoded.subscript("error"))
            text += *code->stringValue() + " " + *decoded.subscript("message")->stringValue();
        else
            text += response.body();
        return text + (response.header("Retry-After") ? " retry " + *response.header("Retry-After") : "");
    }

    static HTTPHeaders upgrade(std::string key = kKey, std::string version = "13")
    {
        return { { "connection", "keep-alive, Upgrade" }, { "upgrade", "websocket" },
            { "sec-websocket-version", std::move(version) }, { "sec-websocket-key", std::move(key) } };
    }
};

}

TEST_F(RelayRouterDevicesTest, AnswersEachRequestByTheFirstRuleItBreaks)
{
    const auto accepted = "101 " + WebSocketHandshake::acceptValue(kKey);
    struct Case {
        std::string method, target, body;
        HTTPHeaders headers;
        std::string expected;
    } cases[] = {
        // Without an iCloud mailbox there is nothing to register with, whatever the body.
        { "GET", "/v1/mailbox/register", "", {}, kMethod },
        { "POST", "/v1/mailbox/register", R"({"mailbox": {"v": 1}})", {}, "404 not_found Not found." },
        { "POST", "/v1/mailbox/register", "{", {}, "404 not_found Not found." },
        { "POST", "/v1/mailbox/register/x", "", {}, "404 not_found Not found." },
        { "GET", "/v1/pair/forget", "", {}, kMethod },
        { "POST", "/v1/pair/forget", "{", {}, "400 bad_request The body is not valid JSON." },
        { "POST", "/v1/pair/forget", R"({"really": true})", {}, "400 bad_request Send an empty body." },
        { "POST", "/v1/pair/forget", "[]", {}, "400 bad_request Send an empty body." },
        { "POST", "/v1/pair/forget", "null", {}, "400 bad_request Send an empty body." },
        { "POST", "/v1/pair/forget", "0", {}, "400 bad_request Send an empty body." },
        { "POST", "/v1/terminal", "", upgrade(), kMethod },
        { "GET", "/v1/terminal/x", "", upgrade(), "404 not_found Not found." },
        { "GET", "/v1/terminal?cols=120", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=1001&rows=1", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=0&rows=10", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=80&rows=501", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=&rows=24", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=8x&rows=24", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=9223372036854775808&rows=24", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=%2B-1&rows=24", "", upgrade(), kSize },
        { "GET", "/v1/terminal?cols=80&cols=80&rows=24", "", upgrade(), kOnly },
        { "GET", "/v1/terminal?cols=80&rows=24&term=xterm", "", upgrade(), kOnly },
        // The size before the handshake, the handshake before a session is reserved.
        { "GET", "/v1/terminal?cols=0", "", {}, kSize },
        { "GET", "/v1/terminal", "", {}, "426 upgrade_required Open this as a WebSocket." },
        { "GET", "/v1/terminal", "", upgrade(kKey, "8"),
            "426 upgrade_required Only WebSocket version 13 is supported." },
        { "GET", "/v1/terminal", "", upgrade("c2hvcnQ="), "400 bad_request Sec-WebSocket-Key is not valid." },
        { "GET", "/v1/terminal?cols=1000&rows=500", "", upgrade(), accepted },
        { "GET", "/v1/terminal?cols=%2B1&rows=1", "", upgrade(), accepted },
        { "GET", "/v1/terminal", "", upgrade(), accepted },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.target + " " + c.body);
        EXPECT_EQ(outcome(c.method, c.target, c.body, c.headers), c.expected);
    }
    const auto id = paired.device.id;
    EXPECT_EQ(terminals.takeCalls(),
        (std::vector<std::string> {
            "open " + id + " Phone", "open " + id + " Phone", "open " + id + " Phone" }));
}

TEST_F(RelayRouterDevicesTest, TheUpgradeStartsItsSessionAtTheAskedSizeOrFreesItWhenAbandoned)
{
    auto started = respond("GET", "/v1/terminal?cols=120&rows=50", "", upgrade());
    auto abandoned = respond("GET", "/v1/terminal", "", upgrade());
    ASSERT_TRUE(started.upgrade() && abandoned.upgrade());
    EXPECT_EQ(started.header("Upgrade"), "websocket");
    EXPECT_EQ(started.header("Connection"), "Upgrade");
    EXPECT_FALSE(started.header("Sec-WebSocket-Protocol"));
    terminals.takeCalls();

    started.upgrade()->open(nullptr);
    abandoned.upgrade()->cancel();
    EXPECT_EQ(terminals.takeCalls(), (std::vector<std::string> { "start t-1 120x50", "close t-2" }));
}

TEST_F(RelayRouterDevicesTest, AFullTerminalTableIsBusyForFiveSeconds)
{
    terminals.setFull(true);
    EXPECT_EQ(outcome("GET", "/v1/terminal", "", upgrade()),
        "429 busy Too many terminals are open on this Mac. Close one and try again. retry 5");
}

TEST_F(RelayRouterDevicesTest, TerminalSwitchedOffIsRefusedBeforeAnythingElse)
{
    options.setTerminal(false);
    auto response = respond("GET", "/v1/terminal?cols=0", "", {});
    auto message = *JSON::decode(response.body())->subscript("message")->stringValue();
    EXPECT_EQ(response.status(), 409);
    EXPECT_EQ(message.size(), 110U);
    EXPECT_EQ(outcome("GET", "/v1/terminal?cols=0"),
        "409 terminal_off The terminal is turned off on this Mac. Turn on \u201cAllow terminal from "
        "iPhone\u201d in the Vellumar for Mac menu.");
    EXPECT_TRUE(terminals.takeCalls().empty());
}

TEST_F(RelayRouterDevicesTest, ForgetUnpairsTheCallerAndClosesItsTerminals)
{
    auto other = devices.add("Tablet");
    EXPECT_EQ(outcome("POST", "/v1/pair/forget", "{}"), R"(200 {"forgotten":true})");
    EXPECT_EQ(
        terminals.takeCalls(), std::vector<std::string> { "closeSessions " + paired.device.id + " 4001 ''" });
    EXPECT_EQ(outcome("POST", "/v1/pair/forget"), kToken);
    EXPECT_EQ(outcome("GET", "/health", "", {}, other.token).substr(0, 4), "200 ");
    EXPECT_EQ(outcome("POST", "/v1/pair/forget", "", {}, other.token), R"(200 {"forgotten":true})");
    EXPECT_TRUE(storage->stored.empty());
}

// The registry has already dropped the device and its token when its save fails; a terminal the
// phone opened must not stay behind as a live shell of a revoked device.
TEST_F(RelayRouterDevicesTest, ForgetClosesTheTerminalsAlsoWhenTheSaveFails)
{
    storage->failSave = true;
    EXPECT_EQ(outcome("POST", "/v1/pair/forget"), "500 internal Something went wrong on the Mac.");
    EXPECT_EQ(
        terminals.takeCalls(), std::vector<std::string> { "closeSessions " + paired.device.id + " 4001 ''" });
    EXPECT_EQ(outcome("GET", "/health"), kToken);
}
