#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

using namespace vellumar;

namespace {

using Segments = std::optional<std::vector<std::string>>;

TEST(RelayHTTPError, StoredFormLeavesTheRetryHintOut)
{
    RelayHTTPError busy(429, "busy", "Try later.", 5);
    // The canned errors' wire texts, pinned once.
    EXPECT_EQ(JSON::array({ busy.json(), RelayHTTPError::badRequest("Say more.").json(),
                              RelayHTTPError::unauthorized.json(), RelayHTTPError::lanOnly.json(),
                              RelayHTTPError::notFound.json(), RelayHTTPError::methodNotAllowed.json() })
                  .encoded(),
        R"([{"code":"busy","message":"Try later.","status":429},)"
        R"({"code":"bad_request","message":"Say more.","status":400},)"
        R"({"code":"unauthorized","message":"The token is not valid.","status":401},)"
        R"({"code":"lan_only","message":"This works only on the same Wi-Fi as the Mac.","status":403},)"
        R"({"code":"not_found","message":"Not found.","status":404},)"
        R"({"code":"method_not_allowed","message":"This method is not allowed here.","status":405}])");
}

TEST(SplitPathSegments, SplitsThenDecodesEachPiece)
{
    using Strings = std::vector<std::string>;
    const std::pair<std::string, Segments> cases[] = {
        { "/", Strings {} }, { "/v1/jobs/", Strings { "v1", "jobs" } },
        { "/v1//jobs", Strings { "v1", "", "jobs" } }, { "//", Strings { "" } }, { "v1/jobs", std::nullopt },
        { "", std::nullopt }, { "/v1/files/a%2Fb", Strings { "v1", "files", "a/b" } },
        { "/a+b/%20/%e2%9c%93", Strings { "a+b", " ", "\xE2\x9C\x93" } }, { "/v1/%4", std::nullopt },
        { "/v1/%FF", std::nullopt },
        { "/v1/%C0%AF", std::nullopt }, // overlong "/" must not sneak through as a separator
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(splitPathSegments(path), expected);
    }
    EXPECT_EQ(percentDecoded("a&b=c/d+%00"), std::string("a&b=c/d+\0", 9));
}

TEST(ParseQuery, SplitsAtAmpersandsAndFirstEqualsThenDecodes)
{
    const std::pair<std::string, std::optional<QueryItems>> cases[] = {
        { "", QueryItems {} },
        { "a=1&&b", QueryItems { { "a", "1" }, { "", "" }, { "b", "" } } },
        { "a==b&a=c+d", QueryItems { { "a", "=b" }, { "a", "c+d" } } },
        { "k%3Dv=%26", QueryItems { { "k=v", "&" } } },
        { "q=%G1", std::nullopt },
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseQuery(text), expected);
    }
}

TEST(HTTPRequest, SplitsTargetAtTheFirstQuestionMarkAndLooksUpHeadersInAnyCase)
{
    HTTPRequest request("GET", "/v1/jobs?a=1?b&a=2", { { "X-A", "first" }, { "x-a", "second" } }, {}, true);
    EXPECT_EQ(std::tuple(request.path(), request.segments(), request.query()),
        std::tuple(std::string("/v1/jobs"), Segments({ "v1", "jobs" }),
            std::optional(QueryItems { { "a", "1?b" }, { "a", "2" } })));
    EXPECT_EQ(request.headers(), (HTTPHeaders { { "x-a", "first" }, { "x-a", "second" } }));
    EXPECT_EQ(request.header("X-a"), "first");
    EXPECT_EQ(request.queryValue("a"), "1?b");
    EXPECT_EQ(request.queryValue("A"), std::nullopt);
    HTTPRequest broken("GET", "/v1/%FF?q=%G1", {}, {}, true);
    EXPECT_EQ(std::tuple(broken.path(), broken.segments(), broken.query()),
        std::tuple(std::string("/v1/%FF"), Segments(), std::optional<QueryItems>()));
}

// The protocol's own example, then keys of none and of several SHA-1 blocks as Python's hashlib answers them.
TEST(WebSocketHandshake, AcceptValueMatchesTheProtocolExampleAndPythonHashlib)
{
    EXPECT_EQ(WebSocketHandshake::acceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(WebSocketHandshake::acceptValue(""), "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w=");
    EXPECT_EQ(WebSocketHandshake::acceptValue(std::string(300, 'k')), "0epks0nN8rNytIigCrEHZPQGWfI=");
}

TEST(WebSocketHandshake, ValidateReturnsTheKeyOrRefusesAtTheFirstFailedCheck)
{
    const std::string sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
    const HTTPHeaders good = { { "upgrade", "websocket" }, { "connection", "Upgrade" },
        { "sec-websocket-version", "13" }, { "sec-websocket-key", sampleKey } };
    auto with = [&](const std::string& name, std::optional<std::string> value) {
        HTTPHeaders headers;
        std::copy_if(good.begin(), good.end(), std::back_inserter(headers),
            [&](const auto& header) { return header.first != name; });
        if (value)
            headers.emplace_back(name, *value);
        return headers;
    };
    const std::string notWebSocket = "426 upgrade_required Open this as a WebSocket.";
    const std::string notVersion13 = "426 upgrade_required Only WebSocket version 13 is supported.";
    const std::string badKey = "400 bad_request Sec-WebSocket-Key is not valid.";
    const struct {
        const char* name;
        std::string method;
        HTTPHeaders headers;
        std::string expected; // the key, or the status, code and message of the refusal
    } cases[] = {
        { "sample key", "GET", good, sampleKey },
        { "upgrade is case-insensitive", "GET", with("upgrade", "WebSocket"), sampleKey },
        { "connection with other tokens", "GET", with("connection", "keep-alive, \tUpgrade ,"), sampleKey },
        { "POST with every header right", "POST", good,
            "405 method_not_allowed This method is not allowed here." },
        { "no upgrade", "GET", with("upgrade", std::nullopt), notWebSocket },
        { "upgrade list", "GET", with("upgrade", "websocket, h2c"), notWebSocket },
        { "upgraded is not upgrade", "GET", with("connection", "upgraded"), notWebSocket },
        { "no connection", "GET", with("connection", std::nullopt), notWebSocket },
        { "version 8", "GET", with("sec-websocket-version", "8"), notVersion13 },
        { "17 bytes", "GET", with("sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAAA="), badKey },
        { "16 bytes unpadded", "GET", with("sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAA"), badKey },
        { "url alphabet", "GET", with("sec-websocket-key", "AAAAAAAAAA-AAAAAAAAAAA=="), badKey },
        { "no key", "GET", with("sec-websocket-key", std::nullopt), badKey },
    };
    for (const auto& [name, method, headers, expected] : cases) {
        SCOPED_TRACE(name);
        try {
            EXPECT_EQ(WebSocketHandshake::validate(HTTPRequest(method, "/v1/terminal", headers, {}, true)),
                expected);
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(std::to_string(error.status()) + " " + error.code() + " " + error.message(), expected);
            EXPECT_EQ(error.retryAfter(), std::nullopt);
        }
    }
}

TEST(HTTPResponse, HeadAddsLengthCachingAndConnectionLines)
{
    HTTPResponse response(200, { { "X-A", "1" } }, "hello");
    EXPECT_EQ(response.head(true),
        "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 5\r\nCache-Control: no-store\r\nConnection: "
        "keep-alive\r\n\r\n");
    EXPECT_EQ(HTTPResponse(418).head(false).substr(0, 21), "HTTP/1.1 418 Status\r\n");
}

TEST(HTTPResponse, SwitchingProtocolsHeadHasOnlyItsOwnHeadersAndCarriesTheHandOver)
{
    bool opened = false;
    auto response = HTTPResponse::webSocketAccept(
        "dGhlIHNhbXBsZSBub25jZQ==", [&](std::shared_ptr<WebSocketConnection>) { opened = true; }, [] {});
    EXPECT_EQ(response.serialized(true),
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    ASSERT_TRUE(response.upgrade());
    response.upgrade()->open(nullptr);
    EXPECT_TRUE(opened);
}

TEST(HTTPResponse, ErrorAndJSONRepliesPutTheContentTypeFirst)
{
    HTTPResponse response(RelayHTTPError(429, "busy", "Too many terminals.", 5));
    EXPECT_EQ(response.headers(),
        (HTTPHeaders { { "Content-Type", "application/json; charset=utf-8" }, { "Retry-After", "5" } }));
    EXPECT_EQ(response.body(), R"({"error":"busy","message":"Too many terminals."})");
    auto created
        = HTTPResponse::json(201, JSON::object({ { "b", 1 }, { "a", "x" } }), { { "Location", "/v1/j" } });
    EXPECT_EQ(created.header("content-TYPE"), "application/json; charset=utf-8");
    EXPECT_EQ(created.body(), R"({"a":"x","b":1})");
}

TEST(HTTPResponse, DownloadAnnouncesTheFileAndSendsTheHeadAlone)
{
    auto response = HTTPResponse::download("/tmp/report.pdf", 123456, "application/pdf", "report.pdf");
    ASSERT_TRUE(response.file());
    EXPECT_EQ(response.serialized(true),
        "HTTP/1.1 200 OK\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; "
        "filename*=UTF-8''report.pdf\r\nX-Content-Type-Options: nosniff\r\nContent-Length: 123456\r\n"
        "Cache-Control: no-store\r\nConnection: keep-alive\r\n\r\n");
    // Media type and name given; Content-Type and Content-Disposition sent.
    const std::string cases[][4] = {
        { "text/plain", "a b.txt", "text/plain; charset=utf-8", "attachment; filename*=UTF-8''a%20b.txt" },
        { "text/csv", "\xE2\x9C\x93-._~\"\r\n", "text/csv; charset=utf-8",
            "attachment; filename*=UTF-8''%E2%9C%93-._~%22%0D%0A" },
        { "image/png", "bad\xFF.png", "image/png", "attachment; filename*=UTF-8''file" },
    };
    for (const auto& [mime, name, contentType, disposition] : cases) {
        SCOPED_TRACE(name);
        auto download = HTTPResponse::download("/f", 1, mime, name);
        EXPECT_EQ(download.header("Content-Type"), contentType);
        EXPECT_EQ(download.header("Content-Disposition"), disposition);
    }
}

// Python's own HTTP client reads each rendered reply: status, headers and body must come out as sent.
TEST(HTTPResponse, RenderedRepliesParseWithPythonHTTPClient)
{
    std::vector<HTTPResponse> responses = {
        HTTPResponse(RelayHTTPError(429, "busy", "Too many.", 5)),
        HTTPResponse(RelayHTTPError::unauthorized),
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
        + "401 Unauthorized None Bearer True " + test::hexOf(responses[1].body()) + "\n";
    EXPECT_EQ(result.output, expected);
}

}
