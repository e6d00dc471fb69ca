#include "VellumarMacCore/Foundations/HTTPRequestParser.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace vellumar;

namespace {

namespace fs = std::filesystem;
using Parser = HTTPRequestParser;

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
std::vector<std::string> parseInChunks(Parser& parser, std::string_view bytes, std::vector<std::size_t> cuts)
{
    std::vector<std::string> seen;
    std::size_t start = 0;
    cuts.push_back(bytes.size());
    for (auto end : cuts) {
        parser.append(bytes.substr(start, end - start));
        start = end;
        for (auto outcome = parser.feed(); !std::holds_alternative<Parser::NeedMore>(outcome);
             outcome = parser.feed()) {
            seen.push_back(describe(outcome));
            if (auto* request = std::get_if<HTTPRequest>(&outcome); request && request->bodyFile())
                fs::remove(*request->bodyFile());
            if (std::holds_alternative<RelayHTTPError>(outcome))
                return seen;
        }
    }
    return seen;
}

std::string parseWhole(std::string_view bytes, Parser parser = Parser())
{
    std::string joined;
    for (const auto& outcome : parseInChunks(parser, bytes, {}))
        joined += (joined.empty() ? "" : " | ") + outcome;
    return joined;
}

// Cuts every `step` bytes.
std::vector<std::size_t> everyNBytes(std::size_t size, std::size_t step)
{
    std::vector<std::size_t> cuts;
    for (std::size_t cut = step; cut < size; cut += step)
        cuts.push_back(cut);
    return cuts;
}

std::size_t entriesIn(const fs::path& folder) { return test::namesIn(folder).size(); }

// Like the router's: uploads go to disk, everything else stays in memory.
Parser spoolingParser(const fs::path& folder, std::int64_t limit = 1 << 20)
{
    return Parser(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes,
        [folder, limit](const RequestHead& head) {
            return head.method == "POST" ? BodyPolicy::spool(limit, folder) : BodyPolicy::memory(65'536);
        });
}

const std::string kBadRequest = "failure 400 bad_request ";
const std::string kRequestLineNotValid = kBadRequest + "The request line is not valid.";
const std::string kVersionNotSupported = "failure 505 bad_request Only HTTP/1.1 is supported.";
const std::string kHeaderNotValid = kBadRequest + "A request header is not valid.";
const std::string kLengthRequired = "failure 411 length_required Send the body with Content-Length.";
const std::string kContentLengthNotValid = kBadRequest + "Content-Length is not valid.";
const std::string kHeadersTooLarge = "failure 431 too_large The request headers are too large.";
const std::string kTooLarge = "failure 413 too_large The request is too large.";

TEST(HTTPRequestParser, ParsesOrRefusesEachRequest)
{
    const std::string post = "POST / HTTP/1.1\r\n";
    const std::pair<std::string, std::string> cases[] = {
        { "\r\n\r\nGET /a HTTP/1.1\r\n\r\n\r\n\r\nGET /b HTTP/1.1\r\n\r\n",
            "request GET /a keep body= | request GET /b keep body=" },
        { "\r\n\r\n\r\nGET / HTTP/1.1\r\n\r\n", kBadRequest + "Too many blank lines." },
        // Request lines.
        { "GET  / HTTP/1.1", kRequestLineNotValid },
        { "GET /", kRequestLineNotValid },
        { "GET / HTTP/1.1 ", kRequestLineNotValid },
        { "get / HTTP/1.1", kRequestLineNotValid },
        { "GET http://mac.local/v1/jobs HTTP/1.1", kRequestLineNotValid },
        { "GET / http/1.1", kVersionNotSupported },
        { "GET /\xC0\xAF HTTP/1.1", kBadRequest + "The request headers are not valid." },
        { "GET /a\nb HTTP/1.1", kRequestLineNotValid },
        { "GET /a\x7F HTTP/1.1", kRequestLineNotValid },
        { "GET /caf\xC3\xA9 HTTP/1.1", kRequestLineNotValid },
        // Header lines.
        { "GET / HTTP/1.1\r\nHost : x", kHeaderNotValid },
        { "GET / HTTP/1.1\r\n: x", kHeaderNotValid },
        { "GET / HTTP/1.1\r\n\tfolded: x", kHeaderNotValid },
        { "GET / HTTP/1.1\r\nNo-colon-here", kHeaderNotValid },
        { "GET / HTTP/1.1\r\nX-A:   b \t\r\nX-B:\r\nX-A::b: c\r\nAUTHORIZATION: Bearer Abc",
            "request GET / keep [x-a=b] [x-b=] [x-a=:b: c] [authorization=Bearer Abc] body=" },
        { "GET / HTTP/1.1\r\nX-A: a\nInjected: b", kHeaderNotValid },
        { "GET / HTTP/1.1\r\nX-A: a\x7F", kHeaderNotValid },
        // Tabs and bytes beyond ASCII stay allowed, even when they spell a control character of Unicode's
        // own.
        { "GET / HTTP/1.1\r\nX-A: a\tb\r\nX-B: \xC2\x85",
            "request GET / keep [x-a=a\tb] [x-b=\xC2\x85] body=" },
        // Bodies and their length.
        { post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n", kLengthRequired },
        { "POST / HTTP/1.1", kLengthRequired },
        { "PUT / HTTP/1.1", kLengthRequired },
        { "PATCH / HTTP/1.1", kLengthRequired },
        { "DELETE /j HTTP/1.1\r\n\r\nHEAD / HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1",
            "request DELETE /j keep body= | request HEAD / keep body= | request OPTIONS / keep body=" },
        { "PATCH / HTTP/1.0\r\nContent-Length: 2\r\n\r\nok",
            "request PATCH / close [content-length=2] body=ok" },
        { post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\nok",
            "request POST / keep [content-length=2] [content-length=2] body=ok" },
        { post + "Content-Length: 5\r\nContent-Length: 05", kContentLengthNotValid },
        { post + "Content-Length: -1", kContentLengthNotValid },
        { post + "Content-Length: 0000000000005", kContentLengthNotValid },
        { post + "Content-Length: 000000000000", "request POST / keep [content-length=000000000000] body=" },
        { post + "Content-Length: 65537", kTooLarge },
        // Keeping the connection: the version's default, then the first Connection header's tokens.
        { "GET / HTTP/1.1\r\nConnection: Keep-Alive, CLOSE",
            "request GET / close [connection=Keep-Alive, CLOSE] body=" },
        { "GET / HTTP/1.1\r\nConnection: closed", "request GET / keep [connection=closed] body=" },
        { "GET / HTTP/1.1\r\nConnection: ,\t Close ,", "request GET / close [connection=,\t Close ,] body=" },
        { "GET / HTTP/1.1\r\nConnection: keep-alive\r\nConnection: close",
            "request GET / keep [connection=keep-alive] [connection=close] body=" },
        { "GET / HTTP/1.0\r\nConnection: Upgrade, KEEP-ALIVE",
            "request GET / keep [connection=Upgrade, KEEP-ALIVE] body=" },
    };
    for (const auto& [head, expected] : cases) {
        SCOPED_TRACE(head);
        EXPECT_EQ(parseWhole(head + "\r\n\r\n"), expected);
    }
}

TEST(HTTPRequestParser, HeaderBlockLimitHoldsHoweverTheBytesAreSplit)
{
    for (std::size_t step : { std::size_t(1), std::size_t(16'384) }) {
        SCOPED_TRACE(step);
        Parser parser;
        std::string bytes(16'384, 'x');
        EXPECT_TRUE(parseInChunks(parser, bytes, everyNBytes(bytes.size(), step)).empty());
        parser.append("x");
        EXPECT_EQ(describe(parser.feed()), kHeadersTooLarge);
    }
    std::string requestLine = "GET / HTTP/1.1\r\nX-Pad: ";
    std::string block = requestLine + std::string(16'384 - requestLine.size(), 'p');
    for (std::size_t cut = block.size() - 1; cut <= block.size() + 4; ++cut) {
        SCOPED_TRACE(cut);
        Parser parser;
        auto seen = parseInChunks(parser, block + "\r\n\r\n", { cut });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].starts_with("request GET / keep")) << seen[0];
    }
    EXPECT_EQ(parseWhole(block + "q\r\n\r\n"), kHeadersTooLarge);
    EXPECT_EQ(parseWhole("GET / HTTP/1.1\nHost: x\n\n"), "") << "a bare line feed ends no line";
}

TEST(HTTPRequestParser, KeepsBodiesInMemoryUpToTheLimitAndPipelinedRequestsApart)
{
    std::string body(65'536, 'b');
    EXPECT_EQ(parseWhole("PUT / HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + body),
        "request PUT / keep [content-length=65536] body=" + body);
    EXPECT_EQ(parseWhole("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", Parser(16'384, 10)), kTooLarge);
    Parser parser;
    parser.append("GET /a HTTP/1.1\r\n\r\nPOST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
    EXPECT_EQ(describe(parser.feed()), "request GET /a keep body=");
    EXPECT_EQ(describe(parser.feed()), "request POST /b keep [content-length=2] body=hi");
    EXPECT_EQ(describe(parser.feed()), "needMore");
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
    EXPECT_EQ(parseInChunks(parser, bytes, everyNBytes(bytes.size(), 1)).size(), 1u);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(
        asked[0].headers, (HTTPHeaders { { "authorization", "Bearer t0k" }, { "content-length", "40" } }));
}

TEST(HTTPRequestParser, RejectPolicyFailsBeforeAnyBodyByteAndAFailureIsFinal)
{
    Parser rejecting(Parser::kDefaultMaxHeaderBytes, Parser::kDefaultMaxBodyBytes,
        [](const RequestHead&) { return BodyPolicy::reject(RelayHTTPError::unauthorized); });
    rejecting.append("POST /v1/files HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n");
    EXPECT_EQ(std::get<RelayHTTPError>(rejecting.feed()), RelayHTTPError::unauthorized);
    Parser parser;
    parser.append("GET / HTTP/9\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(describe(parser.feed()), kVersionNotSupported);
    parser.append("GET / HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(parser.hasPendingInput());
    EXPECT_EQ(describe(parser.feed()), kVersionNotSupported);
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

TEST(HTTPRequestParser, SpoolsBodyChunkByChunkIntoAPrivateUniquelyNamedFile)
{
    test::TemporaryFolder folder;
    auto incoming = folder / "incoming";
    Parser parser = spoolingParser(incoming);
    std::string body(200'000, '\0');
    for (std::size_t index = 0; index < body.size(); ++index)
        body[index] = static_cast<char>(index * 7 + 3);
    parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 200000\r\n\r\n" + body.substr(0, 1000));
    EXPECT_EQ(describe(parser.feed()), "needMore");
    ASSERT_EQ(entriesIn(incoming), 1u);
    auto file = fs::directory_iterator(incoming)->path();
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(\.incoming-[0-9a-f]{16})"))) << file;
    EXPECT_EQ(test::modeOf(file), 0600u);
    EXPECT_EQ(test::modeOf(incoming), 0700u);
    EXPECT_EQ(test::readFile(file), body.substr(0, 1000)) << "each chunk goes to disk at once";
}

TEST(HTTPRequestParser, SpoolsWithinItsLimitAndIntoARealPrivateFolderOnly)
{
    test::TemporaryFolder folder;
    fs::create_directory(folder / "elsewhere");
    fs::create_directory_symlink(folder / "elsewhere", folder / "link");
    test::writeBytes(folder / "file", "a file");
    const std::string cannotStore = "failure 507 insufficient_storage The Mac could not store the file.";
    const std::string_view cases[][3] = {
        { "incoming", "POST /f HTTP/1.0\r\nContent-Length: 0\r\n\r\n",
            "request POST /f close [content-length=0] body= file=" },
        { "incoming", "POST /f HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789",
            "request POST /f keep [content-length=10] body= file=0123456789" },
        { "incoming", "POST /f HTTP/1.1\r\nContent-Length: 11\r\n\r\n",
            "failure 413 too_large The file is too large." },
        { "link", "POST /f HTTP/1.1\r\nContent-Length: 4\r\n\r\nevil", cannotStore },
        { "file", "POST /f HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", cannotStore },
    };
    for (const auto& [place, request, expected] : cases) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(parseWhole(request, spoolingParser(folder / std::string(place), 10)), expected);
    }
    EXPECT_EQ(entriesIn(folder / "incoming") + entriesIn(folder / "elsewhere"), 0u);
    EXPECT_EQ(test::readFile(folder / "file"), "a file");
}

TEST(HTTPRequestParser, DiscardingOrDestroyingMidBodyRemovesThePartialFile)
{
    test::TemporaryFolder folder;
    for (bool discard : { true, false }) {
        SCOPED_TRACE(discard);
        {
            Parser parser = spoolingParser(folder.path());
            parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 10\r\n\r\nhalf");
            EXPECT_EQ(describe(parser.feed()), "needMore");
            if (discard)
                parser.discardSpool();
            EXPECT_EQ(entriesIn(folder.path()), discard ? 0u : 1u);
        }
        EXPECT_EQ(entriesIn(folder.path()), 0u);
    }
}

// A file size limit makes the disk refuse the write part-way, as a full disk would.
TEST(HTTPRequestParser, WriteFailureGives507AndLeavesNoFileInAForkedChild)
{
    test::TemporaryFolder folder;
    int status = test::exitStatusWithin(std::chrono::seconds(60), [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit { 4096, 4096 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Parser parser = spoolingParser(folder.path());
        parser.append("POST /v1/files HTTP/1.1\r\nContent-Length: 10000\r\n\r\n" + std::string(10'000, 'd'));
        const std::string cannotStore = "failure 507 insufficient_storage The Mac could not store the file.";
        int bits = describe(parser.feed()) != cannotStore;
        bits |= ((entriesIn(folder.path()) != 0) << 1) | (parser.isSpooling() << 2);
        parser.discardSpool();
        return bits | (describe(parser.feed()) != cannotStore) << 3;
    });
    EXPECT_EQ(status, 0) << "bits: 1 wrong outcome, 2 file left, 4 still spooling, 8 not final";
}

// Requests as curl and Python's http.client send them, one at a time and pipelined, with the POST bodies
// spooled to disk.
TEST(HTTPRequestParser, ParsesRequestsCapturedFromCurlAndPythonWhateverTheChunking)
{
    test::TemporaryFolder folder;
    std::string upload;
    for (int index = 0; index < 3000; ++index)
        upload.push_back(static_cast<char>(index % 251));
    test::writeBytes(folder / "photo.heic", upload);
    std::string json = R"({"conversationId":"c-1","text":"Hello \u2713"})";
    std::string length = "[content-length=" + std::to_string(json.size()) + "]";
    const std::string curl = "[host=127.0.0.1:PORT] [user-agent=curl/VERSION] [accept=*/*] ";
    const std::pair<std::string, std::string> captured[] = {
        { test::captureCurlRequest({ "-sS", "--http1.1", "-H", "Authorization: Bearer abc123",
              "http://127.0.0.1:{port}/v1/jobs/j-0123?wait=25&since=%E2%9C%93" }),
            "request GET /v1/jobs/j-0123 keep " + curl + "[authorization=Bearer abc123] body=" },
        { test::captureCurlRequest({ "-sS", "--http1.1", "-H", "Authorization: Bearer d3v1ce", "-H",
              "Content-Type: image/heic", "--data-binary", "@" + (folder / "photo.heic").string(),
              "http://127.0.0.1:{port}/v1/files?conversationId=c-1&name=photo.heic" }),
            "request POST /v1/files keep " + curl
                + "[authorization=Bearer d3v1ce] [content-type=image/heic] [content-length=3000] body= file="
                + upload },
        { test::capturePythonHTTPClientRequest("conn.request('POST', '/v1/messages?x=1', body=r'" + json
              + "'.encode(), headers={'Content-Type': 'application/json', 'Authorization': 'Bearer t'})"),
            "request POST /v1/messages keep [host=127.0.0.1:8443] [accept-encoding=identity] " + length
                + " [content-type=application/json] [authorization=Bearer t] body= file=" + json },
    };
    // curl's port and version vary between runs and machines.
    const std::regex curlParts(R"(127\.0\.0\.1:\d+\] \[user-agent=curl/[^\]]+)");
    auto incoming = folder / "incoming";
    std::string bytes;
    for (const auto& [request, expected] : captured) {
        SCOPED_TRACE(expected.substr(0, 40));
        ASSERT_FALSE(request.empty()) << "the peer did not run";
        EXPECT_EQ(std::regex_replace(parseWhole(request, spoolingParser(incoming)), curlParts,
                      "127.0.0.1:PORT] [user-agent=curl/VERSION"),
            expected);
        bytes += request;
    }
    Parser whole = spoolingParser(incoming);
    auto expected = parseInChunks(whole, bytes, {});
    ASSERT_EQ(expected.size(), std::size(captured));
    for (std::size_t step = 1; step <= bytes.size(); step += (step < 64 ? 1 : 97)) {
        SCOPED_TRACE("every " + std::to_string(step) + " bytes");
        Parser parser = spoolingParser(incoming);
        EXPECT_EQ(parseInChunks(parser, bytes, everyNBytes(bytes.size(), step)), expected);
    }
    EXPECT_EQ(entriesIn(incoming), 0u);
}

}
