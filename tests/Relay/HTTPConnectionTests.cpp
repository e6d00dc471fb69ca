#include "tests/Relay/RelayServer.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;
    using test::Gate;
    using test::RelayServer;
    using test::TLSTestClient;

    // Short enough to keep the tests quick, long enough that a TLS handshake on a busy machine fits.
    const RelayListenerLimits kShortLimits { .requestTimeout = 1s, .idleTimeout = 5s };

    const std::string kUpgradeRequest = "GET /terminal HTTP/1.1\r\nHost: relay\r\nConnection: Upgrade\r\n"
                                        "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

    HTTPResponse echoPath(const HTTPRequest& request) { return test::okResponse(request.path()); }

    std::unique_ptr<TLSTestClient> connected(std::uint16_t port)
    {
        auto client = std::make_unique<TLSTestClient>(port);
        EXPECT_TRUE(client->handshake());
        return client;
    }

    long statusKiB(const char* field)
    {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with(field))
                return std::stol(line.substr(std::string_view(field).size()));
        return -1;
    }

    // A mode of the independent TLS client, `input` on its standard input.
    test::PeerResult relayPeer(std::uint16_t port, const std::string& mode, const std::string& input = {})
    {
        return test::runPeer({ "python3", (test::sourceDir() / "tests/peers/relay_tls_client.py").string(),
                                 std::to_string(port), mode },
            input);
    }

    TEST(HTTPConnection, PipelinedRequestsGetResponsesInOrder)
    {
        RelayServer server(echoPath);
        auto result = relayPeer(server.port, "pipeline");
        ASSERT_EQ(result.exitStatus, 0);
        auto first = result.output.find("\r\n\r\n/first");
        auto second = result.output.find("\r\n\r\n/second");
        ASSERT_NE(first, std::string::npos) << result.output;
        ASSERT_NE(second, std::string::npos) << result.output;
        EXPECT_LT(first, second);
        EXPECT_NE(result.output.find("Connection: keep-alive"), std::string::npos);
        EXPECT_NE(result.output.find("Connection: close"), std::string::npos);
    }

    TEST(HTTPConnection, UnauthorizedResponseClosesDespiteKeepAlive)
    {
        RelayServer server([](const HTTPRequest&) { return HTTPResponse(RelayHTTPError::unauthorized); });
        auto client = connected(server.port);
        auto response = client->get("/v1/health");
        ASSERT_TRUE(response);
        EXPECT_EQ(test::statusOf(*response), 401);
        EXPECT_NE(response->find("Connection: close\r\n"), std::string::npos);
        EXPECT_TRUE(client->waitClosed());
    }

    TEST(HTTPConnection, RefusedUploadIsAnsweredThoughItsBodyIsStillArriving)
    {
        RelayServer server(echoPath, {},
            [](const RequestHead&) { return BodyPolicy::reject(RelayHTTPError::unauthorized); });
        auto client = connected(server.port);
        // The server reads only the head and what came with it; the rest lies unread when it closes.
        ASSERT_TRUE(client->send("POST /upload HTTP/1.1\r\nHost: relay\r\nContent-Length: 1048576\r\n\r\n"
            + std::string(256 * 1024, 'x')));
        EXPECT_EQ(test::statusOf(client->readResponse().value_or("")), 401);
    }

    TEST(HTTPConnection, PartialHeadIsClosedUnansweredAtTheRequestTimeOut)
    {
        RelayServer server(echoPath, kShortLimits);
        auto client = connected(server.port);
        ASSERT_TRUE(client->send("GET /ok HTTP/1.1\r\nHost: rel"));
        EXPECT_FALSE(client->readResponse());
        EXPECT_TRUE(client->waitClosed(0s));
    }

    TEST(HTTPConnection, IdleUntrustedClosesAtTheRequestTimeOutTrustedAtTheIdleTimeOut)
    {
        RelayServer server(echoPath, kShortLimits);
        auto trusted = connected(server.port);
        ASSERT_EQ(test::statusOf(trusted->get("/ok").value_or("")), 200);
        auto untrusted = connected(server.port);
        EXPECT_TRUE(untrusted->waitClosed());
        EXPECT_FALSE(trusted->waitClosed(0s));
        EXPECT_TRUE(trusted->waitClosed());
    }

    TEST(HTTPConnection, UploadTricklingFasterThanTheRequestTimeOutIsNotCut)
    {
        test::TemporaryFolder incoming;
        auto policy = [&](const RequestHead&) { return BodyPolicy::spool(1 << 20, incoming.path()); };
        RelayServer server(
            [](const HTTPRequest& request) {
                return test::okResponse(
                    std::to_string(std::filesystem::file_size(request.bodyFile().value())));
            },
            kShortLimits, policy);
        auto client = connected(server.port);
        constexpr int kBytes = 30;
        ASSERT_TRUE(client->send("POST /upload HTTP/1.1\r\nHost: relay\r\nContent-Length: 30\r\n\r\n"));
        // Three times the request time-out in all, a tenth of it between bytes.
        for (int sent = 0; sent < kBytes; ++sent) {
            std::this_thread::sleep_for(100ms);
            ASSERT_TRUE(client->send("x"));
        }
        auto response = client->readResponse();
        ASSERT_TRUE(response);
        EXPECT_TRUE(response->ends_with("\r\n\r\n30"));
        EXPECT_TRUE(std::filesystem::is_empty(incoming.path()));
    }

    TEST(HTTPConnection, LongPollsOnEveryConnectionDoNotStarveANewRequest)
    {
        Gate release;
        Gate allWaiting;
        std::atomic<int> waiting = 0;
        RelayListenerLimits limits { .maxUntrustedPerHost = 64 };
        RelayServer server(
            [&](const HTTPRequest& request) {
                if (request.path() == "/wait") {
                    if (++waiting == limits.maxConnections)
                        allWaiting.open();
                    // Longer than the test's own wait for the new request, so that no poll ends first.
                    release.waitOpen(120s);
                }
                return echoPath(request);
            },
            limits);
        std::vector<std::unique_ptr<TLSTestClient>> polls;
        for (int index = 0; index < limits.maxConnections; ++index) {
            polls.push_back(connected(server.port));
            ASSERT_TRUE(polls.back()->send("GET /wait HTTP/1.1\r\nHost: relay\r\n\r\n"));
        }
        ASSERT_TRUE(allWaiting.waitOpen());
        auto health = connected(server.port);
        EXPECT_EQ(test::statusOf(health->get("/health").value_or("")), 200);
        release.open();
        EXPECT_EQ(test::statusOf(polls.back()->readResponse().value_or("")), 200);
    }

    TEST(HTTPConnection, LargeDownloadStreamsWithFlatMemory)
    {
        test::TemporaryFolder folder;
        auto file = folder / "large.bin";
        constexpr std::int64_t kSize = 100LL << 20;
        {
            std::ofstream out(file, std::ios::binary);
            std::string block(1 << 20, '\0');
            for (std::int64_t offset = 0; offset < kSize; offset += std::ssize(block)) {
                for (std::size_t index = 0; index < block.size(); ++index)
                    block[index] = static_cast<char>(((offset + std::int64_t(index)) * 2654435761LL) >> 13);
                out.write(block.data(), std::ssize(block));
            }
        }
        auto expected = test::runPeer({ "sha256sum", file.string() }).output.substr(0, 64);
        RelayServer server([&](const HTTPRequest&) {
            return HTTPResponse::download(file, kSize, "application/octet-stream", "large.bin");
        });
        std::ofstream("/proc/self/clear_refs") << "5"; // restarts the peak below from the current size
        long residentBefore = statusKiB("VmRSS:");
        auto received = test::runPeer({ "sh", "-c",
            "curl -sSk --http1.1 https://127.0.0.1:" + std::to_string(server.port) + "/large | sha256sum" });
        EXPECT_EQ(received.output.substr(0, 64), expected);
        // A download held whole would add 100 MiB; streaming adds its chunk, the TLS buffers and the
        // sanitizer's bookkeeping (about 15 MiB under AddressSanitizer).
        EXPECT_LT(statusKiB("VmHWM:") - residentBefore, 48 * 1024);
    }

    TEST(HTTPConnection, ADownloadSwappedForALinkOrAFIFOAfterItsCheckIsNotFoundNeverFollowedOrWaitedOn)
    {
        test::TemporaryFolder folder;
        test::writeBytes(folder / "secret", "secret bytes");
        std::filesystem::create_symlink(folder / "secret", folder / "link");
        ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
        RelayServer server([&](const HTTPRequest& request) {
            return HTTPResponse::download(folder / request.path().substr(1), 12, "text/plain", "notes.txt");
        });
        for (const auto* name : { "link", "fifo" }) {
            SCOPED_TRACE(name);
            auto client = connected(server.port);
            auto response = client->get(std::string("/") + name).value_or("");
            EXPECT_EQ(test::statusOf(response), 404);
            EXPECT_EQ(response.find("secret bytes"), std::string::npos);
        }
    }

    TEST(HTTPConnection, RefusedRequestClosesTheConnectionBeforeTheBytesBehindItAreParsed)
    {
        std::atomic<int> secondRequests = 0;
        RelayServer server(
            [&](const HTTPRequest& request) {
                secondRequests += request.path() == "/second";
                return echoPath(request);
            },
            {},
            [](const RequestHead& head) {
                return head.target == "/upload" ? BodyPolicy::reject(RelayHTTPError::unauthorized)
                                                : BodyPolicy::memory(HTTPConnection::kMaxInMemoryBodyBytes);
            });
        const std::string second = "GET /second HTTP/1.1\r\nHost: relay\r\n\r\n";
        struct Row {
            const char* name;
            std::string refused;
            int status;
        };
        const Row rows[] = {
            { "header without a colon", "GET /a HTTP/1.1\r\nHost relay\r\n\r\n", 400 },
            { "chunked body smuggling a request",
                "POST /a HTTP/1.1\r\nHost: relay\r\nTransfer-Encoding: chunked\r\n\r\n", 411 },
            { "body over the memory limit",
                "POST /a HTTP/1.1\r\nHost: relay\r\nContent-Length: 65537\r\n\r\n", 413 },
            { "head over its limit", "GET /a HTTP/1.1\r\nX-Pad: " + std::string(16'400, 'x') + "\r\n\r\n",
                431 },
            { "HTTP/2.0", "GET /a HTTP/2.0\r\nHost: relay\r\n\r\n", 505 },
            { "upload the body policy refuses, a request as its body",
                "POST /upload HTTP/1.1\r\nHost: relay\r\nContent-Length: " + std::to_string(second.size())
                    + "\r\n\r\n",
                401 },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            auto result = relayPeer(server.port, "send", row.refused + second);
            ASSERT_EQ(result.exitStatus, 0);
            EXPECT_EQ(test::statusOf(result.output), row.status) << result.output;
            EXPECT_TRUE(result.output.ends_with("\nclosed\n")) << result.output;
            // One head: nothing was answered after the refusal.
            EXPECT_EQ(result.output.find("\r\n\r\n"), result.output.rfind("\r\n\r\n")) << result.output;
        }
        EXPECT_EQ(secondRequests, 0);
    }

    TEST(HTTPConnection, TCPConnectionThatNeverStartsItsHandshakeIsClosedAtTheRequestTimeOut)
    {
        RelayServer server(echoPath, kShortLimits);
        auto result = relayPeer(server.port, "silent");
        EXPECT_EQ(result.output, "closed\n");
    }

    // Each request is followed in the same write by one for /next, so a body the client does not expect
    // would be read as the start of the next response.
    TEST(HTTPConnection, HeadIsAnsweredWithoutContentAndTheNextRequestFollowsOnTheConnection)
    {
        test::TemporaryFolder folder;
        test::writeBytes(folder / "notes.txt", "twelve bytes");
        test::writeBytes(folder / "short.txt", "only eleven");
        RelayServer server([&](const HTTPRequest& request) {
            if (request.path() == "/file")
                return HTTPResponse::download(folder / "notes.txt", 12, "text/plain", "notes.txt");
            if (request.path() == "/short")
                return HTTPResponse::download(folder / "short.txt", 500, "text/plain", "short.txt");
            if (request.path() == "/refused")
                return HTTPResponse(RelayHTTPError::methodNotAllowed);
            return echoPath(request);
        });
        struct Row {
            const char* requestLine;
            int status;
            // The bytes between the first head and the next response, or the end of the connection.
            std::string content;
            bool nextAnswered;
        };
        const Row rows[] = {
            { "HEAD /refused", 405, "", true },
            { "HEAD /file", 200, "", true },
            { "GET /file", 200, "twelve bytes", true },
            // Cut in the middle of its body: nothing can follow it.
            { "GET /short", 200, "only eleven", false },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.requestLine);
            auto result = relayPeer(server.port, "send",
                std::string(row.requestLine) + " HTTP/1.1\r\nHost: relay\r\n\r\n"
                    + "GET /next HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(test::statusOf(result.output), row.status);
            auto headEnd = result.output.find("\r\n\r\n");
            ASSERT_NE(headEnd, std::string::npos) << result.output;
            auto rest = result.output.substr(headEnd + 4);
            if (row.nextAnswered) {
                EXPECT_TRUE(rest.starts_with(row.content + "HTTP/1.1 200 OK\r\n")) << rest;
                EXPECT_TRUE(rest.ends_with("\r\n\r\n/next\nclosed\n")) << rest;
            } else {
                EXPECT_EQ(rest, row.content + "\nclosed\n");
            }
        }
    }

    struct WebSocketSide {
        Gate opened;
        Gate cancelled;
        Gate secondInput;
        std::string firstInput;
        std::string laterInput;
    };

    HTTPResponse upgrade(const std::shared_ptr<WebSocketSide>& side)
    {
        return HTTPResponse::webSocketAccept(
            "dGhlIHNhbXBsZSBub25jZQ==", [side](std::shared_ptr<WebSocketConnection>) { side->opened.open(); },
            [side] { side->cancelled.open(); });
    }

    TEST(HTTPConnection, BytesBehindTheUpgradeRequestReachTheWebSocketFirst)
    {
        auto side = std::make_shared<WebSocketSide>();
        RelayListener::Hooks hooks { .webSocket = [side](std::shared_ptr<platform::NetQueue>,
                                                      std::shared_ptr<platform::NetConnection> connection,
                                                      std::string alreadyReceived, std::function<void()>) {
            side->firstInput = std::move(alreadyReceived);
            connection->receive(64, [side, connection](std::string_view content, bool, std::error_code) {
                side->laterInput = content;
                side->secondInput.open();
            });
            return WebSocketHandOff { nullptr, [connection] { connection->cancel(); } };
        } };
        RelayServer server([&](const HTTPRequest&) { return upgrade(side); }, {}, {}, hooks);
        auto client = connected(server.port);
        ASSERT_TRUE(client->send(kUpgradeRequest + "FIRST"));
        EXPECT_EQ(test::statusOf(client->readResponse().value_or("")), 101);
        ASSERT_TRUE(side->opened.waitOpen());
        EXPECT_EQ(side->firstInput, "FIRST");
        ASSERT_TRUE(client->send("SECOND"));
        ASSERT_TRUE(side->secondInput.waitOpen());
        EXPECT_EQ(side->laterInput, "SECOND");
        EXPECT_EQ(side->cancelled.timesOpened(), 0);
    }

    TEST(HTTPConnection, UpgradeAnsweredAfterItsConnectionClosedIsCancelled)
    {
        auto side = std::make_shared<WebSocketSide>();
        Gate handling;
        Gate release;
        RelayServer server([&](const HTTPRequest&) {
            handling.open();
            release.waitOpen();
            return upgrade(side);
        });
        auto client = connected(server.port);
        ASSERT_TRUE(client->send(kUpgradeRequest));
        ASSERT_TRUE(handling.waitOpen());
        server.listener->stop();
        EXPECT_TRUE(client->waitClosed());
        release.open();
        EXPECT_TRUE(side->cancelled.waitOpen());
        EXPECT_EQ(side->opened.timesOpened(), 0);
    }

}
}
