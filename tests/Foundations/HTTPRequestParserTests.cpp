#include "VellumarMacCore/Foundations/HTTPRequestParser.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace vellumar;

namespace {

namespace fs = std::filesystem;
using Parser = HTTPRequestParser;

const RelayHTTPError kTooManyBlankLines { 400, "bad_request", "Too many blank lines." };
const RelayHTTPError kHeadersTooLarge { 431, "too_large", "The request headers are too large." };
const RelayHTTPError kHeadersNotValid { 400, "bad_request", "The request headers are not valid." };
const RelayHTTPError kRequestLineNotValid { 400, "bad_request", "The request line is not valid." };
const RelayHTTPError kVersionNotSupported { 505, "bad_request", "Only HTTP/1.1 is supported." };
const RelayHTTPError kHeaderNotValid { 400, "bad_request", "A request header is not valid." };
const RelayHTTPError kLengthRequired { 411, "length_required", "Send the body with Content-Length." };
const RelayHTTPError kContentLengthNotValid { 400, "bad_request", "Content-Length is not valid." };
const RelayHTTPError kRequestTooLarge { 413, "too_large", "The request is too large." };
const RelayHTTPError kFileTooLarge { 413, "too_large", "The file is too large." };
const RelayHTTPError kCannotStore { 507, "insufficient_storage", "The Mac could not store the file." };

// One line per outcome, so whole sequences compare in one assertion and print readably.
std::string describe(const Parser::Outcome& outcome)
{
    if (std::holds_alternative<Parser::NeedMore>(outcome))
        return "needMore";
    if (auto* error = std::get_if<RelayHTTPError>(&outcome))
        return "failure " + std::to_string(error->status()) + " " + error->code() + " " + error->message();
    const auto& request = std::get<HTTPRequest>(outcome);
    std::string line
        = "request " + request.method() + " " + request.path() + (request.keepAlive() ? " keep" : " close");
    for (const auto& [name, value] : request.headers())
        line += " [" + name + "=" + value + "]";
    line += " body=" + request.body();
    if (request.bodyFile())
        line += " file=" + test::readFile(*request.bodyFile());
    return line;
}

// Feeds `bytes` cut at `cuts` the way a connection does: append a chunk, then feed until the parser
// needs more. Returns every request and failure in order; spool files are read, then removed.
std::vector<std::string> parseInChunks(
    Parser& parser, std::string_view bytes, const std::vector<std::size_t>& cuts)
{
    std::vector<std::string> seen;
    std::size_t start = 0;
    auto points = cuts;
    points.push_back(bytes.size());
    for (auto end : points) {
        parser.append(bytes.substr(start, end - start));
        start = end;
        while (true) {
            auto outcome = parser.feed();
            if (std::holds_alternative<Parser::NeedMore>(outcome))
                break;
            seen.push_back(describe(outcome));
            if (auto* request = std::get_if<HTTPRequest>(&outcome); request && request->bodyFile())
                fs::remove(*request->bodyFile());
            if (std::holds_alternative<RelayHTTPError>(outcome))
                return seen;
        }
    }
    return seen;
}

std::vector<std::string> parseWhole(std::string_view bytes, Parser::Policy policy = {})
{
    Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, std::move(policy));
    return parseInChunks(parser, bytes, {});
}

std::vector<std::size_t> everyNBytes(std::size_t size, std::size_t step)
{
    std::vector<std::size_t> cuts;
    for (std::size_t cut = step; cut < size; cut += step)
        cuts.push_back(cut);
    return cuts;
}

Parser::Outcome feedOnce(std::string_view bytes, Parser::Policy policy = {})
{
    Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, std::move(policy));
    parser.append(bytes);
    return parser.feed();
}

std::optional<RelayHTTPError> failureOf(const Parser::Outcome& outcome)
{
    if (auto* error = std::get_if<RelayHTTPError>(&outcome))
        return *error;
    return std::nullopt;
}

std::vector<fs::path> filesIn(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        files.push_back(entry.path());
    return files;
}

// ".incoming-" and 16 lowercase hexadecimal digits.
bool isSpoolFileName(std::string_view name)
{
    constexpr std::string_view prefix = ".incoming-";
    return name.size() == prefix.size() + 16 && name.starts_with(prefix)
        && std::all_of(name.begin() + prefix.size(), name.end(),
            [](char digit) { return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'); });
}

// Like the router's: uploads go to disk, everything else stays in memory.
Parser::Policy spoolInto(const fs::path& folder, std::int64_t limit = 1 << 20)
{
    return [folder, limit](const RequestHead& head) {
        return head.method == "POST" ? BodyPolicy::spool(limit, folder) : BodyPolicy::memory(65'536);
    };
}

TEST(HTTPRequestParser, SkipsTwoLeadingBlankLinesButNotAThird)
{
    EXPECT_EQ(parseWhole("\r\n\r\nGET / HTTP/1.1\r\n\r\n"),
        std::vector<std::string> { "request GET / keep body=" });
    EXPECT_EQ(failureOf(feedOnce("\r\n\r\n\r\nGET / HTTP/1.1\r\n\r\n")), kTooManyBlankLines);
    Parser parser;
    EXPECT_EQ(parseInChunks(parser, "\r\n\r\n\r\n", everyNBytes(6, 1)),
        std::vector<std::string> { "failure 400 bad_request Too many blank lines." });
}

TEST(HTTPRequestParser, BlankLinesCountAfresForEachRequest)
{
    EXPECT_EQ(parseWhole("\r\n\r\nGET /a HTTP/1.1\r\n\r\n\r\n\r\nGET /b HTTP/1.1\r\n\r\n"),
        (std::vector<std::string> { "request GET /a keep body=", "request GET /b keep body=" }));
}

TEST(HTTPRequestParser, WaitsForHeaderBlockUpToLimitThenRefuses)
{
    for (std::size_t step : { std::size_t(1), std::size_t(1000), std::size_t(16'384) }) {
        SCOPED_TRACE(step);
        Parser parser;
        std::string bytes(16'384, 'x');
        EXPECT_TRUE(parseInChunks(parser, bytes, everyNBytes(bytes.size(), step)).empty());
        EXPECT_TRUE(parser.hasPendingInput());
        parser.append("x");
        EXPECT_EQ(failureOf(parser.feed()), kHeadersTooLarge);
    }
}

TEST(HTTPRequestParser, HeaderBlockAtTheLimitParsesHoweverTheTerminatorIsSplit)
{
    std::string requestLine = "GET / HTTP/1.1\r\nX-Pad: ";
    std::string block = requestLine + std::string(16'384 - requestLine.size(), 'p');
    std::string bytes = block + "\r\n\r\n";
    for (std::size_t cut = block.size() - 1; cut <= bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        Parser parser;
        auto seen = parseInChunks(parser, bytes, { cut });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].starts_with("request GET / keep")) << seen[0];
    }
    EXPECT_EQ(failureOf(feedOnce(block + "q\r\n\r\n")), kHeadersTooLarge);
}

TEST(HTTPRequestParser, LineFeedOnlyRequestNeverCompletes)
{
    Parser parser;
    std::string request = "GET / HTTP/1.1\nHost: x\n\n";
    std::size_t appended = 0;
    while (appended <= 16'384) {
        parser.append(request);
        appended += request.size();
        auto outcome = parser.feed();
        if (appended <= 16'384)
            ASSERT_TRUE(std::holds_alternative<Parser::NeedMore>(outcome)) << appended;
        else
            EXPECT_EQ(failureOf(outcome), kHeadersTooLarge);
    }
}

TEST(HTTPRequestParser, RefusesMalformedRequestLines)
{
    struct Case {
        std::string requestLine;
        RelayHTTPError expected;
    };
    std::vector<Case> cases = {
        { "GET  / HTTP/1.1", kRequestLineNotValid },
        { "GET / HTTP/1.1 x", kRequestLineNotValid },
        { "GET /", kRequestLineNotValid },
        { "get / HTTP/1.1", kRequestLineNotValid },
        { "TRACE / HTTP/1.1", kRequestLineNotValid },
        { "CONNECT 127.0.0.1:1 HTTP/1.1", kRequestLineNotValid },
        { "OPTIONS * HTTP/1.1", kRequestLineNotValid },
        { "GET http://mac.local/v1/jobs HTTP/1.1", kRequestLineNotValid },
        { " GET / HTTP/1.1", kRequestLineNotValid },
        { "GET / HTTP/2", kVersionNotSupported },
        { "GET / http/1.1", kVersionNotSupported },
        { "GET / HTTP/1.2", kVersionNotSupported },
        { "GET / HTTP/1.1\t", kVersionNotSupported },
        { "GET /\xFF HTTP/1.1", kHeadersNotValid },
        { "GET /\xC0\xAF HTTP/1.1", kHeadersNotValid },
        { "GET /a\tb HTTP/1.1", kRequestLineNotValid },
        { "GET /a\nb HTTP/1.1", kRequestLineNotValid },
        { "GET /a\rb HTTP/1.1", kRequestLineNotValid },
        { std::string("GET /a\0b HTTP/1.1", 17), kRequestLineNotValid },
        { "GET /a\x7F HTTP/1.1", kRequestLineNotValid },
        { "GET /caf\xC3\xA9 HTTP/1.1", kRequestLineNotValid },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.requestLine);
        EXPECT_EQ(failureOf(feedOnce(item.requestLine + "\r\nHost: x\r\n\r\n")), item.expected);
    }
}

TEST(HTTPRequestParser, AcceptsEverySupportedMethodAndBothVersions)
{
    for (std::string method : { "GET", "HEAD", "DELETE", "OPTIONS" }) {
        for (std::string version : { "HTTP/1.1", "HTTP/1.0" }) {
            SCOPED_TRACE(method + " " + version);
            auto outcome = feedOnce(method + " /v1/x?y=1 " + version + "\r\n\r\n");
            ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
            EXPECT_EQ(std::get<HTTPRequest>(outcome).method(), method);
            EXPECT_EQ(std::get<HTTPRequest>(outcome).queryValue("y"), "1");
        }
    }
    for (std::string method : { "POST", "PUT", "PATCH" }) {
        SCOPED_TRACE(method);
        auto outcome = feedOnce(method + " / HTTP/1.1\r\nContent-Length: 2\r\n\r\nok");
        ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
        EXPECT_EQ(std::get<HTTPRequest>(outcome).body(), "ok");
    }
}

TEST(HTTPRequestParser, ChecksHeaderLines)
{
    struct Case {
        std::string line;
        std::optional<std::pair<std::string, std::string>> header; // absent: refused
    };
    std::vector<Case> cases = {
        { "Host : x", std::nullopt },
        { ": x", std::nullopt },
        { " folded", std::nullopt },
        { "\tfolded: x", std::nullopt },
        { "No colon here", std::nullopt },
        { "X-\xC3\xA9t\xC3\xA9: x", std::nullopt },
        { "X\x01: x", std::nullopt },
        { "X-A:   b \t", std::pair<std::string, std::string> { "x-a", "b" } },
        { "X-A:", std::pair<std::string, std::string> { "x-a", "" } },
        { "X-A::b: c", std::pair<std::string, std::string> { "x-a", ":b: c" } },
        { "AUTHORIZATION: Bearer Abc",
            std::pair<std::string, std::string> { "authorization", "Bearer Abc" } },
        { "X-Caf\xC3\xA9-Value: caf\xC3\xA9", std::nullopt },
        { "X-Value: caf\xC3\xA9", std::pair<std::string, std::string> { "x-value", "caf\xC3\xA9" } },
        { "X-A: a\rb", std::nullopt },
        { "X-A: a\nInjected: b", std::nullopt },
        { std::string("X-A: a\0b", 8), std::nullopt },
        { "X-A: \x1B[31mred", std::nullopt },
        { "X-A: a\x7F", std::nullopt },
        { "X-A: a\tb", std::pair<std::string, std::string> { "x-a", "a\tb" } },
        // Bytes beyond ASCII stay allowed even when they spell a control character of Unicode's own.
        { "X-A: \xC2\x85", std::pair<std::string, std::string> { "x-a", "\xC2\x85" } },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.line);
        auto outcome = feedOnce("GET / HTTP/1.1\r\n" + item.line + "\r\n\r\n");
        if (!item.header) {
            EXPECT_EQ(failureOf(outcome), kHeaderNotValid);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
        EXPECT_EQ(std::get<HTTPRequest>(outcome).headers(), HTTPHeaders { *item.header });
    }
}

TEST(HTTPRequestParser, KeepsRepeatedHeadersInArrivalOrder)
{
    auto outcome = feedOnce("GET / HTTP/1.1\r\nX-B: 1\r\nX-A: 2\r\nx-b: 3\r\n\r\n");
    ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome));
    EXPECT_EQ(std::get<HTTPRequest>(outcome).headers(),
        (HTTPHeaders { { "x-b", "1" }, { "x-a", "2" }, { "x-b", "3" } }));
}

TEST(HTTPRequestParser, RefusesTransferEncodingEvenOnGet)
{
    EXPECT_EQ(failureOf(feedOnce("GET / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n")), kLengthRequired);
    EXPECT_EQ(failureOf(feedOnce("POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "0\r\n\r\n")),
        kLengthRequired);
}

TEST(HTTPRequestParser, AcceptsOnlyOneWellFormedContentLength)
{
    struct Case {
        std::string name;
        std::string headers;
        std::string body;
        std::optional<RelayHTTPError> failure;
    };
    std::vector<Case> cases = {
        { "same value twice", "Content-Length: 5\r\nContent-Length: 5\r\n", "hello", std::nullopt },
        { "5 and 05", "Content-Length: 5\r\nContent-Length: 05\r\n", "", kContentLengthNotValid },
        { "plus sign", "Content-Length: +5\r\n", "", kContentLengthNotValid },
        { "negative", "Content-Length: -1\r\n", "", kContentLengthNotValid },
        { "blank", "Content-Length:  \r\n", "", kContentLengthNotValid },
        { "inner space", "Content-Length: 1 2\r\n", "", kContentLengthNotValid },
        { "hex", "Content-Length: 0x5\r\n", "", kContentLengthNotValid },
        { "13 digits", "Content-Length: 0000000000005\r\n", "", kContentLengthNotValid },
        { "12 zeros", "Content-Length: 000000000000\r\n", "", std::nullopt },
        { "12 digits over the limit", "Content-Length: 999999999999\r\n", "", kRequestTooLarge },
        { "list form", "Content-Length: 5, 5\r\n", "", kContentLengthNotValid },
        { "padded", "Content-Length:   5\t\r\n", "hello", std::nullopt },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        auto outcome = feedOnce("POST /v1/jobs HTTP/1.1\r\n" + item.headers + "\r\n" + item.body);
        if (item.failure) {
            EXPECT_EQ(failureOf(outcome), item.failure);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
        EXPECT_EQ(std::get<HTTPRequest>(outcome).body(), item.body);
    }
}

TEST(HTTPRequestParser, BodyLengthDefaultsByMethod)
{
    EXPECT_EQ(failureOf(feedOnce("POST /v1/jobs HTTP/1.1\r\n\r\n")), kLengthRequired);
    EXPECT_EQ(failureOf(feedOnce("PUT /v1/jobs HTTP/1.1\r\n\r\n")), kLengthRequired);
    EXPECT_EQ(failureOf(feedOnce("PATCH /v1/jobs HTTP/1.1\r\n\r\n")), kLengthRequired);
    EXPECT_EQ(parseWhole("DELETE /v1/jobs/j HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n"),
        (std::vector<std::string> { "request DELETE /v1/jobs/j keep body=", "request GET / keep body=" }));

    Parser parser;
    parser.append("GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nab");
    EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
    EXPECT_TRUE(parser.hasPendingInput());
    parser.append("cGET");
    EXPECT_EQ(describe(parser.feed()), "request GET / keep [content-length=3] body=abc");
    EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
    EXPECT_EQ(parser.takeBuffer(), "GET");
}

TEST(HTTPRequestParser, DecidesKeepAliveFromVersionAndFirstConnectionHeader)
{
    struct Case {
        std::string version;
        std::string headers;
        bool keepAlive;
    };
    std::vector<Case> cases = {
        { "HTTP/1.1", "", true },
        { "HTTP/1.1", "Connection: Keep-Alive, CLOSE\r\n", false },
        { "HTTP/1.1", "Connection: ,\t close ,\r\n", false },
        { "HTTP/1.1", "Connection: closed\r\n", true },
        { "HTTP/1.1", "Connection: keep-alive\r\nConnection: close\r\n", true },
        { "HTTP/1.0", "Connection: keep-alive\r\n", true },
        { "HTTP/1.0", "", false },
        { "HTTP/1.0", "Connection: close\r\nConnection: keep-alive\r\n", false },
        { "HTTP/1.0", "Connection: Upgrade, KEEP-ALIVE\r\n", true },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.version + " " + item.headers);
        auto outcome = feedOnce("GET / " + item.version + "\r\n" + item.headers + "\r\n");
        ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
        EXPECT_EQ(std::get<HTTPRequest>(outcome).keepAlive(), item.keepAlive);
    }
}

TEST(HTTPRequestParser, RefusesBodyOverMemoryLimitBeforeItArrives)
{
    std::string head = "POST /v1/jobs HTTP/1.1\r\nContent-Length: ";
    auto atLimit = parseWhole(head + "65536\r\n\r\n" + std::string(65'536, 'b'));
    ASSERT_EQ(atLimit.size(), 1u);
    EXPECT_TRUE(atLimit[0].starts_with("request POST /v1/jobs keep"));
    EXPECT_EQ(failureOf(feedOnce(head + "65537\r\n\r\n")), kRequestTooLarge);

    Parser small(16'384, 10);
    small.append("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    EXPECT_EQ(failureOf(small.feed()), kRequestTooLarge);
}

TEST(HTTPRequestParser, ReturnsPipelinedRequestsOneAtATime)
{
    Parser parser;
    parser.append("GET /a HTTP/1.1\r\n\r\nPOST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
    EXPECT_EQ(describe(parser.feed()), "request GET /a keep body=");
    EXPECT_TRUE(parser.hasPendingInput());
    EXPECT_EQ(describe(parser.feed()), "request POST /b keep [content-length=2] body=hi");
    EXPECT_FALSE(parser.hasPendingInput());
    EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
}

TEST(HTTPRequestParser, AsksThePolicyOncePerHeadAndShowsItTheCleanedHead)
{
    std::vector<RequestHead> asked;
    Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, [&](const RequestHead& head) {
        asked.push_back(head);
        return BodyPolicy::memory(100);
    });
    std::string bytes
        = "POST /v1/jobs?x=%20 HTTP/1.1\r\nAuthorization:  Bearer t0k \r\nContent-Length: 40\r\n\r\n"
        + std::string(40, 'z');
    auto seen = parseInChunks(parser, bytes, everyNBytes(bytes.size(), 1));
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].method, "POST");
    EXPECT_EQ(asked[0].target, "/v1/jobs?x=%20");
    EXPECT_EQ(asked[0].path(), "/v1/jobs");
    EXPECT_EQ(asked[0].header("AUTHORIZATION"), "Bearer t0k");
    EXPECT_EQ(
        asked[0].headers, (HTTPHeaders { { "authorization", "Bearer t0k" }, { "content-length", "40" } }));
}

TEST(HTTPRequestParser, RejectPolicyFailsBeforeAnyBodyByte)
{
    auto outcome = feedOnce("POST /v1/files HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n",
        [](const RequestHead&) { return BodyPolicy::reject(RelayHTTPError::unauthorized); });
    EXPECT_EQ(failureOf(outcome), RelayHTTPError::unauthorized);
}

TEST(HTTPRequestParser, FailureIsFinalAndDropsFurtherBytes)
{
    Parser parser;
    parser.append("GET / HTTP/9\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(failureOf(parser.feed()), kVersionNotSupported);
    parser.append("GET / HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(parser.hasPendingInput());
    EXPECT_EQ(failureOf(parser.feed()), kVersionNotSupported);
}

TEST(HTTPRequestParser, TakeBufferHandsOverBytesAfterTheUpgradeRequest)
{
    Parser parser;
    std::string frame = "\x81\x85\x01\x02\x03\x04hello";
    parser.append("GET /v1/terminal HTTP/1.1\r\nUpgrade: websocket\r\n\r\n" + frame);
    EXPECT_TRUE(std::holds_alternative<HTTPRequest>(parser.feed()));
    EXPECT_EQ(parser.takeBuffer(), frame);
    EXPECT_FALSE(parser.hasPendingInput());
}

// --- Spooling ---

TEST(HTTPRequestParser, SpoolsBodyIntoAPrivateUniquelyNamedFile)
{
    test::TemporaryFolder folder;
    auto incoming = folder / "incoming";
    Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, spoolInto(incoming));
    std::string body(200'000, '\0');
    for (std::size_t index = 0; index < body.size(); ++index)
        body[index] = static_cast<char>(index * 7 + 3);
    parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 200000\r\n\r\n" + body.substr(0, 1000));
    EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
    EXPECT_TRUE(parser.isSpooling());
    EXPECT_TRUE(parser.hasPendingInput());

    auto files = filesIn(incoming);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(isSpoolFileName(files[0].filename().string())) << files[0];
    struct stat info { };
    ASSERT_EQ(::lstat(files[0].c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(incoming.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(test::readFile(files[0]), body.substr(0, 1000)) << "each chunk goes to disk at once";

    parser.append(body.substr(1000) + "GET /next HTTP/1.1\r\n\r\n");
    auto outcome = parser.feed();
    ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
    const auto& request = std::get<HTTPRequest>(outcome);
    EXPECT_TRUE(request.body().empty());
    EXPECT_EQ(request.bodyFile(), files[0]);
    EXPECT_EQ(request.segments(), (std::vector<std::string> { "v1", "files" }));
    EXPECT_EQ(test::readFile(files[0]), body);
    EXPECT_FALSE(parser.isSpooling());
    EXPECT_EQ(describe(parser.feed()), "request GET /next keep body=");
}

TEST(HTTPRequestParser, SpoolsAnEmptyBodyAtOnce)
{
    test::TemporaryFolder folder;
    auto outcome = feedOnce("POST /v1/files HTTP/1.0\r\nContent-Length: 0\r\n\r\n", spoolInto(folder.path()));
    ASSERT_TRUE(std::holds_alternative<HTTPRequest>(outcome)) << describe(outcome);
    const auto& request = std::get<HTTPRequest>(outcome);
    ASSERT_TRUE(request.bodyFile());
    EXPECT_TRUE(fs::is_regular_file(*request.bodyFile()));
    EXPECT_EQ(fs::file_size(*request.bodyFile()), 0u);
    EXPECT_FALSE(request.keepAlive());
}

TEST(HTTPRequestParser, RefusesSpooledBodyOverItsLimitWithoutAFile)
{
    test::TemporaryFolder folder;
    auto outcome
        = feedOnce("POST /v1/files HTTP/1.1\r\nContent-Length: 11\r\n\r\n", spoolInto(folder.path(), 10));
    EXPECT_EQ(failureOf(outcome), kFileTooLarge);
    EXPECT_TRUE(filesIn(folder.path()).empty());
}

TEST(HTTPRequestParser, RefusesToSpoolThroughASymlinkedFolder)
{
    test::TemporaryFolder folder;
    fs::create_directory(folder / "elsewhere");
    fs::create_directory_symlink(folder / "elsewhere", folder / "incoming");
    auto outcome = feedOnce(
        "POST /v1/files HTTP/1.1\r\nContent-Length: 4\r\n\r\nevil", spoolInto(folder / "incoming"));
    EXPECT_EQ(failureOf(outcome), kCannotStore);
    EXPECT_TRUE(filesIn(folder / "elsewhere").empty());
}

TEST(HTTPRequestParser, FailsWhenTheSpoolFolderCannotBeMade)
{
    test::TemporaryFolder folder;
    {
        std::ofstream(folder / "incoming") << "a file";
    }
    auto outcome
        = feedOnce("POST /v1/files HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", spoolInto(folder / "incoming"));
    EXPECT_EQ(failureOf(outcome), kCannotStore);
    EXPECT_EQ(test::readFile(folder / "incoming"), "a file");
}

TEST(HTTPRequestParser, DiscardSpoolRemovesThePartialFile)
{
    test::TemporaryFolder folder;
    Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, spoolInto(folder.path()));
    parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 10\r\n\r\nhalf");
    EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
    ASSERT_EQ(filesIn(folder.path()).size(), 1u);
    parser.discardSpool();
    EXPECT_FALSE(parser.isSpooling());
    EXPECT_TRUE(filesIn(folder.path()).empty());
    parser.discardSpool();
}

TEST(HTTPRequestParser, DestroyingMidBodyRemovesThePartialFile)
{
    test::TemporaryFolder folder;
    {
        Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, spoolInto(folder.path()));
        parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 10\r\n\r\nhalf");
        EXPECT_TRUE(std::holds_alternative<Parser::NeedMore>(parser.feed()));
        ASSERT_EQ(filesIn(folder.path()).size(), 1u);
    }
    EXPECT_TRUE(filesIn(folder.path()).empty());
}

// A file size limit makes the disk refuse the write part-way, as a full disk would.
TEST(HTTPRequestParser, WriteFailureGives507AndLeavesNoFileInAForkedChild)
{
    test::TemporaryFolder folder;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit { 4096, 4096 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, spoolInto(folder.path()));
        parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 10000\r\n\r\n" + std::string(10'000, 'd'));
        auto outcome = parser.feed();
        int status = 0;
        if (failureOf(outcome) != kCannotStore)
            status |= 1;
        if (!filesIn(folder.path()).empty())
            status |= 2;
        if (parser.isSpooling())
            status |= 4;
        parser.discardSpool();
        if (failureOf(parser.feed()) != kCannotStore)
            status |= 8;
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 wrong outcome, 2 file left, 4 still spooling, 8 not final";
}

// --- Real clients ---

struct CapturedRequest {
    std::string name;
    std::string bytes;
    std::string expected;
};

std::vector<CapturedRequest> capturedRequests()
{
    std::string json = R"({"conversationId":"c-1","text":"Hello \u2713"})";
    return {
        { "curl GET with a bearer token",
            test::captureCurlRequest({ "-sS", "--http1.1", "-H", "Authorization: Bearer abc123",
                "http://127.0.0.1:{port}/v1/jobs/j-0123?wait=25&since=%E2%9C%93" }),
            "request GET /v1/jobs/j-0123 keep [host=127.0.0.1:PORT] [user-agent=curl/VERSION] "
            "[accept=*/*] "
            "[authorization=Bearer abc123] body=" },
        { "curl POST of JSON",
            test::captureCurlRequest({ "-sS", "--http1.1", "-H", "Content-Type: application/json",
                "--data-binary", json, "http://127.0.0.1:{port}/v1/messages" }),
            "request POST /v1/messages keep [host=127.0.0.1:PORT] [user-agent=curl/VERSION] [accept=*/*] "
            "[content-type=application/json] [content-length="
                + std::to_string(json.size()) + "] body=" + json },
        { "http.client POST of JSON",
            test::capturePythonHTTPClientRequest("conn.request('POST', '/v1/messages?x=1', body=r'" + json
                + "'.encode(), headers={'Content-Type': 'application/json', 'Authorization': 'Bearer "
                  "t'})"),
            "request POST /v1/messages keep [host=127.0.0.1:8443] [accept-encoding=identity] "
            "[content-length="
                + std::to_string(json.size())
                + "] "
                  "[content-type=application/json] [authorization=Bearer t] body="
                + json },
        { "http.client GET",
            test::capturePythonHTTPClientRequest(
                "conn.request('GET', '/v1/status', headers={'Connection': 'close'})"),
            "request GET /v1/status close [host=127.0.0.1:8443] [accept-encoding=identity] "
            "[connection=close] body=" },
    };
}

// curl's port and version vary between runs and machines: "host=127.0.0.1:<port>] [user-agent=curl/<v>]".
std::string withoutVolatileParts(std::string line)
{
    auto replaceBetween = [&](std::string_view before, char end, std::string_view replacement) {
        auto start = line.find(before);
        if (start == std::string::npos)
            return;
        start += before.size();
        line.replace(start, line.find(end, start) - start, replacement);
    };
    if (line.find("user-agent=curl/") != std::string::npos) {
        replaceBetween("host=127.0.0.1:", ']', "PORT");
        replaceBetween("user-agent=curl/", ']', "VERSION");
    }
    return line;
}

TEST(HTTPRequestParser, ParsesRequestsCapturedFromCurlAndPython)
{
    for (const auto& captured : capturedRequests()) {
        SCOPED_TRACE(captured.name);
        ASSERT_FALSE(captured.bytes.empty()) << "the peer did not run";
        auto seen = parseWhole(captured.bytes);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(withoutVolatileParts(seen[0]), captured.expected);
    }
}

TEST(HTTPRequestParser, PipelinedCapturedRequestsComeOutInOrderWhateverTheChunking)
{
    auto captured = capturedRequests();
    std::string bytes;
    for (const auto& request : captured)
        bytes += request.bytes;
    auto expected = parseWhole(bytes);
    ASSERT_EQ(expected.size(), captured.size());

    for (std::size_t step = 1; step <= bytes.size(); step += (step < 64 ? 1 : 97)) {
        SCOPED_TRACE("every " + std::to_string(step) + " bytes");
        Parser parser;
        EXPECT_EQ(parseInChunks(parser, bytes, everyNBytes(bytes.size(), step)), expected);
    }
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Parser parser;
        EXPECT_EQ(parseInChunks(parser, bytes, { cut }), expected);
    }
}

TEST(HTTPRequestParser, SpooledUploadFromCurlSurvivesEveryChunking)
{
    test::TemporaryFolder folder;
    std::string upload;
    for (int index = 0; index < 3000; ++index)
        upload.push_back(static_cast<char>(index % 251));
    {
        std::ofstream(folder / "photo.heic", std::ios::binary) << upload;
    }
    auto bytes = test::captureCurlRequest({ "-sS", "--http1.1", "-H", "Authorization: Bearer d3v1ce", "-H",
                     "Content-Type: image/heic", "--data-binary", "@" + (folder / "photo.heic").string(),
                     "http://127.0.0.1:{port}/v1/files?conversationId=c-1&name=photo.heic" })
        + "GET /v1/files HTTP/1.1\r\n\r\n";
    auto incoming = folder / "incoming";
    auto policy = spoolInto(incoming);
    auto expected = parseWhole(bytes, policy);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_TRUE(expected[0].ends_with("body= file=" + upload));
    EXPECT_EQ(expected[1], "request GET /v1/files keep body=");

    for (std::size_t step :
        { std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(100), std::size_t(1500) }) {
        SCOPED_TRACE(step);
        Parser parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes, policy);
        EXPECT_EQ(parseInChunks(parser, bytes, everyNBytes(bytes.size(), step)), expected);
        EXPECT_TRUE(filesIn(incoming).empty());
    }
}

}
