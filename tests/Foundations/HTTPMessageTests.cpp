#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace vellumar;

namespace {

using Segments = std::optional<std::vector<std::string>>;

TEST(RelayHTTPError, EqualityComparesAllFourFields)
{
    RelayHTTPError base(429, "busy", "Try later.", 5);
    EXPECT_EQ(base, RelayHTTPError(429, "busy", "Try later.", 5));
    EXPECT_NE(base, RelayHTTPError(428, "busy", "Try later.", 5));
    EXPECT_NE(base, RelayHTTPError(429, "busier", "Try later.", 5));
    EXPECT_NE(base, RelayHTTPError(429, "busy", "Try later!", 5));
    EXPECT_NE(base, RelayHTTPError(429, "busy", "Try later.", 6));
    EXPECT_NE(base, RelayHTTPError(429, "busy", "Try later."));
    EXPECT_EQ(RelayHTTPError(429, "busy", "Try later."), RelayHTTPError(429, "busy", "Try later."));
}

TEST(RelayHTTPError, CannedErrorsCarryTheirStatusCodeAndSentence)
{
    struct Case {
        RelayHTTPError error;
        int status;
        std::string code;
        std::string message;
    };
    std::vector<Case> cases = {
        { RelayHTTPError::badRequest("Say more."), 400, "bad_request", "Say more." },
        { RelayHTTPError::unauthorized, 401, "unauthorized", "The token is not valid." },
        { RelayHTTPError::lanOnly, 403, "lan_only", "This works only on the same Wi-Fi as the Mac." },
        { RelayHTTPError::notFound, 404, "not_found", "Not found." },
        { RelayHTTPError::methodNotAllowed, 405, "method_not_allowed", "This method is not allowed here." },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.code);
        EXPECT_EQ(item.error.status(), item.status);
        EXPECT_EQ(item.error.code(), item.code);
        EXPECT_EQ(item.error.message(), item.message);
        EXPECT_EQ(item.error.retryAfter(), std::nullopt);
        EXPECT_STREQ(item.error.what(), item.message.c_str());
    }
}

TEST(RelayHTTPError, CodeAndRetryAfterCanChangeButTheCannedConstantsStay)
{
    RelayHTTPError error = RelayHTTPError::notFound;
    error.setCode("gone");
    error.setRetryAfter(3);
    EXPECT_EQ(error.code(), "gone");
    EXPECT_EQ(error.retryAfter(), 3);
    EXPECT_EQ(RelayHTTPError::notFound.code(), "not_found");
    EXPECT_EQ(RelayHTTPError::notFound.retryAfter(), std::nullopt);
}

TEST(RelayHTTPError, ThrowsAndCatchesAsStandardException)
{
    try {
        throw RelayHTTPError(503, "claude_unavailable", "Claude Code is not available.");
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Claude Code is not available.");
        return;
    }
    FAIL();
}

TEST(RelayHTTPError, JSONFormHasExactlyCodeStatusAndMessage)
{
    RelayHTTPError error(429, "busy", "Too many.", 5);
    EXPECT_EQ(error.json().encoded(), R"({"code":"busy","message":"Too many.","status":429})");
}

TEST(SplitPathSegments, DecodesEachPieceAfterSplitting)
{
    struct Case {
        std::string path;
        Segments expected;
    };
    std::vector<Case> cases = {
        { "/", std::vector<std::string> {} },
        { "/v1/jobs/", std::vector<std::string> { "v1", "jobs" } },
        { "/v1//jobs", std::vector<std::string> { "v1", "", "jobs" } },
        { "/v1//", std::vector<std::string> { "v1", "" } },
        { "//", std::vector<std::string> { "" } },
        { "v1/jobs", std::nullopt },
        { "", std::nullopt },
        { "/v1/files/a%2Fb", std::vector<std::string> { "v1", "files", "a/b" } },
        { "/a+b/%20", std::vector<std::string> { "a+b", " " } },
        { "/%E2%9C%93", std::vector<std::string> { "\xE2\x9C\x93" } },
        { "/%e2%9c%93", std::vector<std::string> { "\xE2\x9C\x93" } },
        { "/v1/x%ZZ", std::nullopt },
        { "/v1/%FF", std::nullopt },
        { "/v1/%", std::nullopt },
        { "/v1/%4", std::nullopt },
        { "/v1/%C0%AF", std::nullopt }, // overlong "/" must not sneak through as a separator
        { "/v1/%ED%A0%80", std::nullopt }, // an encoded surrogate is not UTF-8
        { "/v1/%E2%9C", std::nullopt },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.path);
        EXPECT_EQ(splitPathSegments(item.path), item.expected);
    }
}

TEST(ParseQuery, SplitsAtFirstEqualsAndKeepsPlus)
{
    using Items = std::optional<QueryItems>;
    struct Case {
        std::string text;
        Items expected;
    };
    std::vector<Case> cases = {
        { "", QueryItems {} },
        { "a=1&&b", QueryItems { { "a", "1" }, { "", "" }, { "b", "" } } },
        { "a==b", QueryItems { { "a", "=b" } } },
        { "q=a+b", QueryItems { { "q", "a+b" } } },
        { "q=%E2%9C%93", QueryItems { { "q", "\xE2\x9C\x93" } } },
        { "q=%G1", std::nullopt },
        { "%ZZ=1", std::nullopt },
        { "a=1&b=%FF", std::nullopt },
        { "x=1&x=2", QueryItems { { "x", "1" }, { "x", "2" } } },
        { "&", QueryItems { { "", "" }, { "", "" } } },
        { "k%3Dv=%26", QueryItems { { "k=v", "&" } } },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.text);
        EXPECT_EQ(parseQuery(item.text), item.expected);
    }
}

TEST(PercentDecoded, DecodesOneWholeTextWithoutSplittingIt)
{
    struct Case {
        std::string text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        { "", "" },
        { "a%20b+c", "a b+c" },
        { "a&b=c/d", "a&b=c/d" },
        { "%2f%2F", "//" },
        { "caf%C3%A9.txt", "caf\xC3\xA9.txt" },
        { "%", std::nullopt },
        { "a%2", std::nullopt },
        { "%G0", std::nullopt },
        { "%C3", std::nullopt },
        { "%C0%AF", std::nullopt },
        { "%00", std::string(1, '\0') },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.text);
        EXPECT_EQ(percentDecoded(test.text), test.expected);
    }
}

TEST(HTTPRequest, SplitsTargetIntoPathSegmentsAndQuery)
{
    struct Case {
        std::string target;
        std::string path;
        Segments segments;
        std::optional<QueryItems> query;
    };
    std::vector<Case> cases = {
        { "/v1/jobs", "/v1/jobs", std::vector<std::string> { "v1", "jobs" }, QueryItems {} },
        { "/v1/jobs?", "/v1/jobs", std::vector<std::string> { "v1", "jobs" }, QueryItems {} },
        { "/v1/jobs?a=1?b", "/v1/jobs", std::vector<std::string> { "v1", "jobs" },
            QueryItems { { "a", "1?b" } } },
        { "/v1/%FF?q=%G1", "/v1/%FF", std::nullopt, std::nullopt },
        { "?a==b", "", std::nullopt, QueryItems { { "a", "=b" } } },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.target);
        HTTPRequest request("GET", item.target, {}, {}, true);
        EXPECT_EQ(request.method(), "GET");
        EXPECT_EQ(request.path(), item.path);
        EXPECT_EQ(request.segments(), item.segments);
        EXPECT_EQ(request.query(), item.query);
        EXPECT_EQ(request.bodyFile(), std::nullopt);
    }
}

TEST(HTTPRequest, HeaderLookupIgnoresCaseButQueryLookupDoesNot)
{
    HTTPRequest request("get", "/x?conversationId=c1&conversationId=c2",
        { { "CONTENT-LENGTH", "3" }, { "X-A", "first" }, { "x-a", "second" } }, "abc", false);
    EXPECT_EQ(request.method(), "get");
    EXPECT_EQ(request.headers(),
        (HTTPHeaders { { "content-length", "3" }, { "x-a", "first" }, { "x-a", "second" } }));
    EXPECT_EQ(request.header("Content-Length"), "3");
    EXPECT_EQ(request.header("x-A"), "first");
    EXPECT_EQ(request.header("missing"), std::nullopt);
    EXPECT_EQ(request.queryValue("conversationId"), "c1");
    EXPECT_EQ(request.queryValue("ConversationId"), std::nullopt);
    EXPECT_EQ(HTTPRequest("GET", "/x?%G1", {}, {}, true).queryValue("x"), std::nullopt);
}

TEST(WebSocketHandshake, AcceptValueMatchesTheProtocolExample)
{
    EXPECT_EQ(WebSocketHandshake::acceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, AcceptValueAgreesWithPythonHashlib)
{
    std::vector<std::string> keys
        = { "", "x", "AQIDBAUGBwgJCgsMDQ4PEA==", std::string(300, 'k'), "\xE2\x9C\x93" };
    std::string input;
    for (const auto& key : keys)
        input += test::hexOf(key) + "\n";
    auto result = test::runPeer(
        { "python3", "-c",
            "import sys, hashlib, base64\n"
            "for line in sys.stdin.read().split('\\n')[:-1]:\n"
            "    key = bytes.fromhex(line)\n"
            "    digest = hashlib.sha1(key + b'258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest()\n"
            "    print(base64.b64encode(digest).decode())\n" },
        input);
    ASSERT_EQ(result.exitStatus, 0);
    std::string expected;
    for (const auto& key : keys)
        expected += WebSocketHandshake::acceptValue(key) + "\n";
    EXPECT_EQ(result.output, expected);
}

TEST(HTTPResponse, HeadAddsLengthCachingAndConnectionLines)
{
    HTTPResponse response(200, { { "X-A", "1" } }, "hello");
    EXPECT_EQ(response.head(true),
        "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 5\r\nCache-Control: no-store\r\nConnection: "
        "keep-alive\r\n\r\n");
    EXPECT_EQ(response.serialized(false),
        "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 5\r\nCache-Control: no-store\r\nConnection: "
        "close\r\n\r\nhello");
}

TEST(HTTPResponse, SwitchingProtocolsHeadHasOnlyItsOwnHeaders)
{
    bool opened = false;
    bool cancelled = false;
    auto response = HTTPResponse::webSocketAccept(
        "dGhlIHNhbXBsZSBub25jZQ==", [&](std::shared_ptr<WebSocketConnection>) { opened = true; },
        [&] { cancelled = true; });
    EXPECT_EQ(response.status(), 101);
    EXPECT_EQ(response.head(true),
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(response.serialized(false), response.head(false));
    EXPECT_TRUE(response.body().empty());
    EXPECT_EQ(response.file(), std::nullopt);
    ASSERT_TRUE(response.upgrade());
    response.upgrade()->open(nullptr);
    EXPECT_TRUE(opened);
    EXPECT_FALSE(cancelled);
    response.upgrade()->cancel();
    EXPECT_TRUE(cancelled);
}

TEST(HTTPResponse, UnauthorizedAlwaysCarriesTheBearerChallenge)
{
    HTTPResponse response(RelayHTTPError::unauthorized);
    auto head = response.head(false);
    EXPECT_NE(head.find("\r\nWWW-Authenticate: Bearer\r\nConnection: close\r\n\r\n"), std::string::npos)
        << head;
    EXPECT_EQ(HTTPResponse(200).head(true).find("WWW-Authenticate"), std::string::npos);
    EXPECT_EQ(HTTPResponse(403).head(true).find("WWW-Authenticate"), std::string::npos);
}

TEST(HTTPResponse, ErrorReplyIsJSONWithRetryAfterAfterContentType)
{
    HTTPResponse response(RelayHTTPError(429, "busy", "Too many terminals.", 5));
    EXPECT_EQ(response.status(), 429);
    EXPECT_EQ(response.headers(),
        (HTTPHeaders { { "Content-Type", "application/json; charset=utf-8" }, { "Retry-After", "5" } }));
    EXPECT_EQ(response.body(), R"({"error":"busy","message":"Too many terminals."})");
    EXPECT_EQ(HTTPResponse(RelayHTTPError::notFound).headers(),
        (HTTPHeaders { { "Content-Type", "application/json; charset=utf-8" } }));
}

TEST(HTTPResponse, JSONReplyPutsContentTypeBeforeExtraHeaders)
{
    auto response
        = HTTPResponse::json(201, JSON::object({ { "b", 1 }, { "a", "x" } }), { { "Location", "/v1/j" } });
    EXPECT_EQ(response.status(), 201);
    EXPECT_EQ(response.headers(),
        (HTTPHeaders { { "Content-Type", "application/json; charset=utf-8" }, { "Location", "/v1/j" } }));
    EXPECT_EQ(response.body(), R"({"a":"x","b":1})");
    EXPECT_EQ(response.header("content-TYPE"), "application/json; charset=utf-8");
    EXPECT_EQ(response.header("Retry-After"), std::nullopt);
}

TEST(HTTPResponse, DownloadAnnouncesFileSizeAndSendsHeadAlone)
{
    auto response = HTTPResponse::download("/tmp/report.pdf", 123456, "application/pdf", "report.pdf");
    EXPECT_EQ(response.status(), 200);
    ASSERT_TRUE(response.file());
    EXPECT_EQ(response.file()->location, "/tmp/report.pdf");
    EXPECT_EQ(response.file()->size, 123456);
    EXPECT_TRUE(response.body().empty());
    EXPECT_FALSE(response.upgrade());
    auto head = response.head(true);
    EXPECT_NE(head.find("\r\nContent-Length: 123456\r\n"), std::string::npos);
    EXPECT_EQ(response.serialized(true), head);
    EXPECT_EQ(response.headers(),
        (HTTPHeaders { { "Content-Type", "application/pdf" },
            { "Content-Disposition", "attachment; filename*=UTF-8''report.pdf" },
            { "X-Content-Type-Options", "nosniff" } }));
}

TEST(HTTPResponse, DownloadEncodesNameAndMarksTextTypes)
{
    struct Case {
        std::string mime;
        std::string name;
        std::string contentType;
        std::string disposition;
    };
    std::vector<Case> cases = {
        { "text/plain", "a b.txt", "text/plain; charset=utf-8", "attachment; filename*=UTF-8''a%20b.txt" },
        { "application/json", "", "application/json; charset=utf-8", "attachment; filename*=UTF-8''" },
        { "application/json5", "x", "application/json5", "attachment; filename*=UTF-8''x" },
        { "text/csv", "\xE2\x9C\x93-._~\"\r\n", "text/csv; charset=utf-8",
            "attachment; filename*=UTF-8''%E2%9C%93-._~%22%0D%0A" },
        { "image/png", "bad\xFF.png", "image/png", "attachment; filename*=UTF-8''file" },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        auto response = HTTPResponse::download("/f", 1, item.mime, item.name);
        EXPECT_EQ(response.header("Content-Type"), item.contentType);
        EXPECT_EQ(response.header("Content-Disposition"), item.disposition);
    }
}

TEST(HTTPResponse, ReasonPhrasesFallBackToStatus)
{
    EXPECT_EQ(HTTPResponse::reasonPhrase(413), "Content Too Large");
    EXPECT_EQ(HTTPResponse::reasonPhrase(431), "Request Header Fields Too Large");
    EXPECT_EQ(HTTPResponse::reasonPhrase(507), "Insufficient Storage");
    EXPECT_EQ(HTTPResponse(418).head(false).substr(0, 21), "HTTP/1.1 418 Status\r\n");
    EXPECT_EQ(HTTPResponse(600).head(false).substr(0, 21), "HTTP/1.1 600 Status\r\n");
}

// Python's own HTTP client reads each rendered reply: status, headers and body must come out as sent.
TEST(HTTPResponse, RenderedRepliesParseWithPythonHTTPClient)
{
    std::vector<HTTPResponse> responses = {
        HTTPResponse(RelayHTTPError(429, "busy", "Too many.", 5)),
        HTTPResponse(RelayHTTPError::unauthorized),
        HTTPResponse::json(200, JSON::object({ { "text", "\xE2\x9C\x93 done" } })),
        HTTPResponse(204),
    };
    std::string input;
    for (const auto& response : responses)
        input += test::hexOf(response.serialized(false)) + "\n";
    auto result = test::runPeer({ "python3", "-c",
                                    "import sys, io, http.client\n"
                                    "class Sock:\n"
                                    "    def __init__(self, data): self.data = data\n"
                                    "    def makefile(self, mode): return io.BytesIO(self.data)\n"
                                    "for line in sys.stdin.read().split('\\n')[:-1]:\n"
                                    "    r = http.client.HTTPResponse(Sock(bytes.fromhex(line)))\n"
                                    "    r.begin()\n"
                                    "    body = r.read()\n"
                                    "    print(r.status, r.reason, r.getheader('Retry-After'), "
                                    "r.getheader('WWW-Authenticate'), r.will_close, body.hex())\n" },
        input);
    ASSERT_EQ(result.exitStatus, 0);
    std::string expected = "429 Too Many Requests 5 None True " + test::hexOf(responses[0].body()) + "\n"
        + "401 Unauthorized None Bearer True " + test::hexOf(responses[1].body()) + "\n"
        + "200 OK None None True " + test::hexOf(responses[2].body()) + "\n" + "204 Status None None True \n";
    EXPECT_EQ(result.output, expected);
}

}
