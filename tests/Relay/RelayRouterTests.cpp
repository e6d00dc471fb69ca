#include "tests/Relay/RelayRouterFixture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <variant>

using namespace vellumar;
using vellumar::test::RelayRouterTest;

TEST_F(RelayRouterTest, OriginBrowserAndTokenRulesComeInTheirOrder)
{
    struct Case {
        const char* name;
        Call call;
        const char* outcome;
    };
    auto mailbox = RequestOrigin::mailbox(paired.device.id);
    const Case cases[] = {
        { "pairing needs no token", { .method = "GET", .target = "/v1/pair", .authorization = "" },
            "405 method_not_allowed This method is not allowed here." },
        { "pairing over the mailbox", { .method = "GET", .target = "/v1/pair", .origin = mailbox },
            "403 lan_only This works only on the same Wi-Fi as the Mac." },
        { "escaped pairing over the mailbox", { .method = "POST", .target = "/v1/p%61ir", .origin = mailbox },
            "403 lan_only This works only on the same Wi-Fi as the Mac." },
        { "escaped registration over the mailbox",
            { .method = "POST", .target = "/v1/mailbox/%72egister", .origin = mailbox },
            "403 lan_only This works only on the same Wi-Fi as the Mac." },
        { "escaped terminal over the mailbox",
            { .method = "GET", .target = "/v1/termina%6C?cols=80", .origin = mailbox },
            "403 lan_only This works only on the same Wi-Fi as the Mac." },
        { "upper-case pairing over the mailbox",
            { .method = "POST", .target = "/V1/PAIR", .origin = mailbox }, "404 not_found Not found." },
        { "doubled slash before pairing", { .method = "POST", .target = "//v1/pair", .origin = mailbox },
            "404 not_found Not found." },
        { "doubled slash inside the terminal path",
            { .method = "GET", .target = "/v1//terminal", .origin = mailbox }, "404 not_found Not found." },
        { "browser before the token",
            { .method = "GET",
                .target = "/health",
                .authorization = "Basic x",
                .headers = { { "sec-fetch-site", "cross-site" } } },
            "403 browser_refused Requests from web browsers are not accepted." },
        { "browser over the mailbox",
            { .method = "GET",
                .target = "/health",
                .headers = { { "sec-fetch-mode", "cors" } },
                .origin = mailbox },
            "403 browser_refused Requests from web browsers are not accepted." },
        { "origin without a WebSocket upgrade",
            { .method = "GET",
                .target = "/health",
                .headers = { { "origin", "https://mac.local" }, { "upgrade", "h2c" } } },
            "403 browser_refused Requests from web browsers are not accepted." },
        { "origin with a WebSocket upgrade",
            { .method = "GET",
                .target = "/health",
                .headers = { { "origin", "https://mac.local" }, { "upgrade", "WebSocket" } } },
            "200  " },
        { "no token", { .method = "GET", .target = "/health", .authorization = "" },
            "401 unauthorized The token is not valid." },
        { "basic scheme", { .method = "GET", .target = "/health", .authorization = "Basic x" },
            "401 unauthorized The token is not valid." },
        { "scheme alone", { .method = "GET", .target = "/health", .authorization = "Bearer" },
            "401 unauthorized The token is not valid." },
        { "unknown token", { .method = "GET", .target = "/health", .authorization = "Bearer abc" },
            "401 unauthorized The token is not valid." },
        { "mailbox sender not paired",
            { .method = "GET", .target = "/health", .origin = RequestOrigin::mailbox("d-0000000000000000") },
            "401 unauthorized The token is not valid." },
        { "mailbox ignores the header",
            { .method = "GET", .target = "/health", .authorization = "Basic x", .origin = mailbox },
            "200  " },
        { "health only by GET", { .method = "POST", .target = "/health" },
            "405 method_not_allowed This method is not allowed here." },
        { "health under v1", { .method = "GET", .target = "/v1/health" }, "404 not_found Not found." },
        { "another version", { .method = "GET", .target = "/v2/memory?conversationId=ios-abcd" },
            "404 not_found Not found." },
        { "memory with a tail", { .method = "GET", .target = "/v1/memory/x?conversationId=ios-abcd" },
            "404 not_found Not found." },
        { "terminal with a tail", { .method = "GET", .target = "/v1/terminal/x" },
            "404 not_found Not found." },
        { "broken escape in the path", { .method = "GET", .target = "/v1/jobs/%zz", .authorization = "" },
            "400 bad_path The path is not valid." },
        { "broken escape in the query", { .method = "GET", .target = "/health?x=%C3", .authorization = "" },
            "400 bad_path The path is not valid." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(outcome(call(testCase.call)), testCase.outcome);
    }
}

TEST_F(RelayRouterTest, BearerTokenIsTheSecondPieceOfOneSplitTrimmed)
{
    struct Case {
        std::optional<std::string> value;
        std::optional<std::string> token;
    };
    const Case cases[] = {
        { "bearer abc", "abc" },
        { "Bearer   abc ", "abc" },
        { "  BEARER abc def", "abc def" },
        { "Bearer", std::nullopt },
        { "Bearer ", std::nullopt },
        { "Basic abc", std::nullopt },
        { "Bearer\tabc", std::nullopt },
        { std::nullopt, std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.value.value_or("(none)"));
        EXPECT_EQ(bearerToken(testCase.value), testCase.token);
    }
    auto response
        = call({ .method = "GET", .target = "/health", .authorization = "Bearer   " + token + " " });
    EXPECT_EQ(response.status(), 200);
}

TEST_F(RelayRouterTest, UnauthorizedReplyChallengesForABearerToken)
{
    auto response = call({ .method = "GET", .target = "/health", .authorization = "" });
    EXPECT_NE(response.head(true).find("\r\nWWW-Authenticate: Bearer\r\n"), std::string::npos);
}

TEST_F(RelayRouterTest, HealthFollowsTheSwitchesAtTheMomentOfTheRequest)
{
    auto first = bodyOf(get("/health"));
    EXPECT_EQ(first.encoded(),
        R"({"apiVersion":1,"features":{"cliTools":true,"files":true,"jobs":true,"mailbox":false,)"
        R"("memory":true,"payment":false,"relayRestart":false,"remote":false,"routines":false,)"
        R"("secureInput":false,"serviceRestart":false,"terminal":true,"tls":true,"vault":false},)"
        R"("ok":true,"restartSupported":false,"timeZone":"Europe/Berlin","transport":"https"})");
    options.setRoutines(true);
    options.setTerminal(false);
    auto features = *bodyOf(get("/health")).subscript("features");
    EXPECT_EQ(features.subscript("routines")->boolValue(), true);
    EXPECT_EQ(features.subscript("terminal")->boolValue(), false);
}

TEST_F(RelayRouterTest, BodyPolicySpoolsOnlyUploadsWithAKnownToken)
{
    struct Case {
        const char* method;
        const char* target;
        std::string authorization;
        std::variant<std::int64_t, std::string> expected; // a memory limit, or "spool" or "reject"
    };
    const auto known = "Bearer " + token;
    const Case cases[] = {
        { "POST", "/v1/files?conversationId=ios-abcd", "Bearer unknown", "reject" },
        { "POST", "/v1/files", "", "reject" },
        { "POST", "/v1/files/", "Basic " + token, "reject" },
        { "POST", "/v1/files?conversationId=ios-abcd", known, "spool" },
        { "POST", "/v1/f%69les", known, "spool" },
        { "POST", "/v1/jobs", "Bearer unknown", 65'536 },
        { "GET", "/v1/files", known, 65'536 },
        { "POST", "/v1/files/ios-abcd", known, 65'536 },
        { "POST", "/v1/files%zz", known, 65'536 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.method) + " " + testCase.target + " " + testCase.authorization);
        RequestHead head { testCase.method, testCase.target, {} };
        if (!testCase.authorization.empty())
            head.headers.emplace_back("authorization", testCase.authorization);
        auto policy = router.bodyPolicy(head, folder / "incoming");
        if (const auto* limit = std::get_if<std::int64_t>(&testCase.expected)) {
            const auto* memory = std::get_if<BodyPolicy::Memory>(&policy.choice);
            ASSERT_NE(memory, nullptr);
            EXPECT_EQ(memory->limit, *limit);
        } else if (std::get<std::string>(testCase.expected) == "spool") {
            const auto* spool = std::get_if<BodyPolicy::Spool>(&policy.choice);
            ASSERT_NE(spool, nullptr);
            EXPECT_EQ(spool->limit, 52'428'800);
            EXPECT_EQ(spool->folder, folder / "incoming");
        } else {
            const auto* reject = std::get_if<BodyPolicy::Reject>(&policy.choice);
            ASSERT_NE(reject, nullptr);
            EXPECT_EQ(reject->error, RelayHTTPError::unauthorized);
        }
    }
}

TEST_F(RelayRouterTest, FailureOtherThanAnHTTPErrorBecomesAnInternalError)
{
    runner->setCompaction([](const CompactionRequest&) -> CompactedConversation {
        throw std::runtime_error("disk on fire at /Users/someone");
    });
    auto response = post("/v1/conversations/ios-abcd/compact", R"({"botId": "main"})");
    EXPECT_EQ(outcome(response), "500 internal Something went wrong on the Mac.");
    EXPECT_FALSE(response.header("Retry-After"));
}

TEST_F(RelayRouterTest, MemoryAndActivityCheckTheConversationBeforeTheMethod)
{
    data.activity.append("ios-abcd", { JSON::object({ { "n", 1 } }), JSON::object({ { "n", 2 } }) });
    struct Case {
        const char* method;
        const char* target;
        std::string body;
        const char* outcome; // the whole body of a success
    };
    const Case cases[] = {
        { "GET", "/v1/memory", "", "400 bad_request conversationId is not valid." },
        { "POST", "/v1/memory?conversationId=abcd-1", "", "400 bad_request conversationId is not valid." },
        { "POST", "/v1/memory?conversationId=ios-abcd", "",
            "405 method_not_allowed This method is not allowed here." },
        { "DELETE", "/v1/memory?conversationId=ios-abcd", "",
            "405 method_not_allowed This method is not allowed here." },
        { "PUT", "/v1/memory?conversationId=ios-abcd", "", R"(400 bad_request Send {"items": [...]}.)" },
        { "PUT", "/v1/memory?conversationId=ios-abcd", "[]", R"(400 bad_request Send {"items": [...]}.)" },
        { "PUT", "/v1/memory?conversationId=ios-abcd", R"({"items": [], "extra": 1})",
            R"(400 bad_request Send {"items": [...]}.)" },
        { "PUT", "/v1/memory?conversationId=ios-abcd", "{", "400 bad_request The body is not valid JSON." },
        { "PUT", "/v1/memory?conversationId=ios-abcd", R"({"items": []})",
            R"({"conversationId":"ios-abcd","items":[]})" },
        { "GET", "/v1/activity?conversationId=ios-abcd", "",
            R"({"conversationId":"ios-abcd","entries":[{"n":2},{"n":1}]})" },
        { "PUT", "/v1/activity?conversationId=ios-abcd", "",
            "405 method_not_allowed This method is not allowed here." },
        { "DELETE", "/v1/activity?conversationId=ios-abcd", "",
            R"({"cleared":true,"conversationId":"ios-abcd"})" },
        { "GET", "/v1/activity?conversationId=ios-abcd", "",
            R"({"conversationId":"ios-abcd","entries":[]})" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.method) + " " + testCase.target + " " + testCase.body);
        auto response = call({ .method = testCase.method, .target = testCase.target, .body = testCase.body });
        EXPECT_EQ(response.status() == 200 ? response.body() : outcome(response), testCase.outcome);
    }
}

TEST_F(RelayRouterTest, RefusedMemoryEditLeavesTheStoredListAndAGoodOneIsStored)
{
    auto put = [&](std::string body) {
        return call(
            { .method = "PUT", .target = "/v1/memory?conversationId=ios-abcd", .body = std::move(body) });
    };
    ASSERT_EQ(put(R"({"items": [{"text": "Likes green tea"}]})").status(), 200);
    EXPECT_EQ(put(R"({"items": [], "extra": 1})").status(), 400);
    auto stored = *bodyOf(get("/v1/memory?conversationId=ios-abcd")).subscript("items");
    ASSERT_EQ(stored.arrayValue()->size(), 1u);
    EXPECT_EQ(text(stored.arrayValue()->front(), "text"), "Likes green tea");
}
