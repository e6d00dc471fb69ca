#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include "tests/Terminal/WebSocketTestServer.h"
#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

using namespace vellumar;
using namespace std::chrono_literals;
using test::RawWebSocketClient;
using test::WebSocketTestServer;
using Event = WebSocketConnection::Event;

namespace {

std::string clientFrame(WebSocketOpcode opcode, std::string payload)
{
    return WebSocketFrame { true, opcode, std::move(payload) }.encoded(
        WebSocketFrame::MaskingKey { 1, 2, 3, 4 });
}

std::string closePayload(std::uint16_t code, const std::string& reason = "")
{
    return WebSocketFrame::close(code, reason).payload;
}

std::string url(const WebSocketTestServer& server)
{
    return "ws://127.0.0.1:" + std::to_string(server.port()) + "/v1/terminal";
}

TEST(WebSocketConnection, AnswersPythonWebSocketsPingMessagesAndClose)
{
    WebSocketTestServer server({}, WebSocketTestServer::Opening::handshake);
    auto peer = std::async(std::launch::async, [&] {
        return test::runPeer({ "/usr/bin/python3",
            (test::sourceDir() / "tests/peers/websocket_client.py").string(), url(server) });
    });
    auto connection = server.accept();
    const test::PeerResult result = peer.get();
    ASSERT_TRUE(server.waitUntilFinished());

    std::string binary;
    for (int i = 0; i < 300 * 256; ++i)
        binary += static_cast<char>(i % 256);
    const std::string text = "h\xC3\xA9llo \xE2\x98\x83";
    EXPECT_EQ(result.output,
        "pong\ntext " + test::hexOf(text) + "\nbinary " + test::hexOf(binary) + "\nclose 4001\n");
    EXPECT_EQ(server.events(),
        (std::vector<Event> { WebSocketMessageReader::Text { text },
            WebSocketMessageReader::Binary { binary }, WebSocketConnection::Closed {} }));
    EXPECT_EQ(server.finishCount(), 1);
    EXPECT_EQ(connection->unsentBytes(), 0);
}

TEST(WebSocketConnection, AnswersNodeWsCloseWithoutCodeWithNormal)
{
    WebSocketTestServer server({}, WebSocketTestServer::Opening::handshake);
    auto peer = std::async(std::launch::async, [&] {
        return test::runPeer(
            { "node", (test::sourceDir() / "tests/peers/websocket_client.mjs").string(), url(server) });
    });
    auto connection = server.accept();
    EXPECT_EQ(peer.get().output, "close 1000\n");
    ASSERT_TRUE(server.waitUntilFinished());
    EXPECT_EQ(server.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, DropsSilentClientWithoutCloseFrame)
{
    WebSocketTestServer server({ .pingInterval = 20ms, .idleTimeout = 200ms, .closeTimeout = 60s },
        WebSocketTestServer::Opening::none);
    RawWebSocketClient client(server.port());
    auto connection = server.accept();
    int pings = 0;
    while (auto frame = client.nextFrame()) {
        EXPECT_EQ(*frame, (WebSocketFrame { true, WebSocketOpcode::ping, "" }));
        ++pings;
    }
    EXPECT_GT(pings, 0);
    ASSERT_TRUE(server.waitUntilFinished());
    EXPECT_EQ(server.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, KeepsClientThatAnswersPings)
{
    // Sixty pings outlast the idle time-out many times over.
    WebSocketTestServer server({ .pingInterval = 50ms, .idleTimeout = 1500ms, .closeTimeout = 60s },
        WebSocketTestServer::Opening::none);
    RawWebSocketClient client(server.port());
    auto connection = server.accept();
    for (int pings = 0; pings < 60; ++pings) {
        const auto frame = client.nextFrame();
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->opcode, WebSocketOpcode::ping);
        client.send(clientFrame(WebSocketOpcode::pong, ""));
    }
    EXPECT_EQ(server.finishCount(), 0);
    client.send(clientFrame(WebSocketOpcode::close, closePayload(1000)));
    std::optional<WebSocketFrame> frame;
    while ((frame = client.nextFrame()) && frame->opcode == WebSocketOpcode::ping) { }
    EXPECT_EQ(frame, WebSocketFrame::close(1000, ""));
    EXPECT_TRUE(server.waitUntilFinished());
}

TEST(WebSocketConnection, ServerCloseEndsWhenTheTimerFiresIfThePeerNeverAnswers)
{
    WebSocketTestServer server({ .pingInterval = 60s, .idleTimeout = 60s, .closeTimeout = 100ms },
        WebSocketTestServer::Opening::none);
    RawWebSocketClient client(server.port());
    auto connection = server.accept();
    connection->close(WebSocketCloseCode::terminalDisabled, "Off.");
    EXPECT_EQ(client.nextFrame(), WebSocketFrame::close(4000, "Off."));

    std::promise<void> completed;
    connection->sendBinary("late", [&] { completed.set_value(); });
    EXPECT_EQ(completed.get_future().wait_for(20s), std::future_status::ready);
    client.send(clientFrame(WebSocketOpcode::text, "not delivered"));
    client.send(clientFrame(WebSocketOpcode::ping, "not answered"));

    EXPECT_TRUE(client.endsWithoutMoreBytes());
    ASSERT_TRUE(server.waitUntilFinished());
    EXPECT_EQ(server.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, ProtocolErrorClosesWith1002AndStopsReading)
{
    WebSocketTestServer server(
        { .pingInterval = 60s, .idleTimeout = 60s, .closeTimeout = 60s }, WebSocketTestServer::Opening::none);
    RawWebSocketClient client(server.port());
    auto connection = server.accept();
    client.send(std::string("\x81\x02hi", 4)); // unmasked
    EXPECT_EQ(client.nextFrame(), WebSocketFrame::close(1002, ""));

    // A server that went on reading would take all of it; one that stopped leaves the sender blocked
    // once the socket buffers are full.
    const timeval patience { 1, 0 };
    setsockopt(client.descriptor(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const std::string chunk = clientFrame(WebSocketOpcode::binary, std::string(60'000, 'x'));
    constexpr std::size_t kFlood = 512 << 20;
    std::size_t sent = 0;
    while (sent < kFlood) {
        const ssize_t count = send(client.descriptor(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (count <= 0)
            break;
        sent += static_cast<std::size_t>(count);
    }
    EXPECT_LT(sent, kFlood);
    EXPECT_EQ(server.events(), std::vector<Event> {});
}

}
