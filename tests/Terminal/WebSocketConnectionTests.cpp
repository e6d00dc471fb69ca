#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "VellumarMacCore/Terminal/RelayWebSocket.h"
#include "tests/Relay/RelayServer.h"
#include "tests/Terminal/RawWebSocketClient.h"
#include "tests/support/HTTPPeers.h"
#include "tests/support/TLSTestClient.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

using namespace vellumar;
using namespace std::chrono_literals;
using Event = WebSocketConnection::Event;
using test::RawWebSocketClient;

namespace {

// How long a client that does not read goes on trying to write once the server stopped taking its
// bytes, and so how long the server is seen holding its unsent bytes.
constexpr int kStallSeconds = 5;

// A relay listener that upgrades every request to a WebSocket echoing each message it receives.
class EchoRelay {
public:
    explicit EchoRelay(WebSocketConnection::Intervals intervals = {})
        : m_server([this](const HTTPRequest& request) { return upgrade(request); }, {}, {},
            { .webSocket = relayWebSocketFactory(intervals) })
    {
    }

    std::uint16_t port() const { return m_server.port; }
    std::string url() const { return "wss://127.0.0.1:" + std::to_string(port()) + "/v1/terminal"; }

    // The WebSocket of the first upgrade; null when none came within the test's patience.
    std::shared_ptr<WebSocketConnection> connection()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 30s, [this] { return m_connection != nullptr; });
        return m_connection;
    }
    bool waitUntilClosed(std::chrono::seconds limit = 30s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] {
            return !m_events.empty() && std::holds_alternative<WebSocketConnection::Closed>(m_events.back());
        });
    }
    std::vector<Event> events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    HTTPResponse upgrade(const HTTPRequest& request)
    {
        return HTTPResponse::webSocketAccept(WebSocketHandshake::validate(request),
            [this](std::shared_ptr<WebSocketConnection> opened) {
                opened->start([this, weak = std::weak_ptr(opened)](Event event) { heard(weak, event); });
                std::lock_guard lock(m_mutex);
                m_connection = std::move(opened);
                m_changed.notify_all();
            },
            {});
    }

    void heard(const std::weak_ptr<WebSocketConnection>& weak, const Event& event)
    {
        auto connection = weak.lock();
        if (auto* text = std::get_if<WebSocketMessageReader::Text>(&event); text && connection)
            connection->sendText(text->text);
        if (auto* binary = std::get_if<WebSocketMessageReader::Binary>(&event); binary && connection)
            connection->sendBinary(binary->bytes, {});
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::shared_ptr<WebSocketConnection> m_connection;
    // Last: the listener stops first, while what its WebSockets report to is still there.
    test::RelayServer m_server;
};

TEST(WebSocketConnection, AnswersPythonWebSocketsPingMessagesAndClose)
{
    EchoRelay relay;
    const test::PeerResult result = test::runPeer(
        { "/usr/bin/python3", (test::sourceDir() / "tests/peers/websocket_client.py").string(), relay.url(),
            test::testCertificateFile().string() });
    ASSERT_TRUE(relay.waitUntilClosed());

    std::string binary;
    for (int i = 0; i < 300 * 256; ++i)
        binary += static_cast<char>(i % 256);
    const std::string text = "h\xC3\xA9llo \xE2\x98\x83";
    EXPECT_EQ(result.output,
        "pong\ntext " + test::hexOf(text) + "\nbinary " + test::hexOf(binary) + "\nclose 4001\n");
    EXPECT_EQ(relay.events(),
        (std::vector<Event> { WebSocketMessageReader::Text { text },
            WebSocketMessageReader::Binary { binary }, WebSocketConnection::Closed {} }));
    EXPECT_EQ(relay.connection()->unsentBytes(), 0);
}

TEST(WebSocketConnection, AnswersNodeWsCloseWithoutCodeWithNormal)
{
    EchoRelay relay;
    EXPECT_EQ(test::runPeer({ "node", (test::sourceDir() / "tests/peers/websocket_client.mjs").string(),
                                relay.url(), test::testCertificateFile().string() })
                  .output,
        "close 1000\n");
    ASSERT_TRUE(relay.waitUntilClosed());
    EXPECT_EQ(relay.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, DropsSilentClientWithoutCloseFrame)
{
    EchoRelay relay({ .pingInterval = 20ms, .idleTimeout = 200ms, .closeTimeout = 60s });
    RawWebSocketClient client(relay.port());
    int pings = 0;
    while (auto frame = client.nextFrame()) {
        EXPECT_EQ(*frame, (WebSocketFrame { true, WebSocketOpcode::ping, "" }));
        ++pings;
    }
    EXPECT_GT(pings, 0);
    ASSERT_TRUE(relay.waitUntilClosed());
    EXPECT_EQ(relay.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, DropsSilentClientSoonAfterTheIdleTimeout)
{
    EchoRelay relay({ .pingInterval = 50ms, .idleTimeout = 300ms, .closeTimeout = 60s });
    const auto start = std::chrono::steady_clock::now();
    RawWebSocketClient client(relay.port());
    // Pings keep coming until the drop, so a drop that never comes fails at this deadline.
    std::optional<WebSocketFrame> frame;
    while (std::chrono::steady_clock::now() < start + 5s && (frame = client.nextFrame())) { }
    EXPECT_EQ(frame, std::nullopt) << "still open after 5 s";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(relay.waitUntilClosed());
}

TEST(WebSocketConnection, ClientThatStopsReadingIsDroppedOnceIdleSinceTheLastRead)
{
    EchoRelay relay({ .pingInterval = 100ms, .idleTimeout = 1s, .closeTimeout = 60s });
    RawWebSocketClient client(relay.port());
    // Pings it never reads the pongs of, until the server no longer takes them.
    std::string pings;
    for (int i = 0; i < 64; ++i)
        pings += WebSocketFrame { true, WebSocketOpcode::ping, std::string(125, 'p') }.encoded(
            WebSocketFrame::MaskingKey { 1, 2, 3, 4 });
    const timeval patience { 1, 0 };
    setsockopt(client.descriptor(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    ::signal(SIGPIPE, SIG_IGN);
    while (client.send(pings)) { }

    // A connection that went on reading would keep hearing the pings and never go idle.
    EXPECT_TRUE(relay.waitUntilClosed(10s));
    EXPECT_EQ(relay.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, HandlerThatCancelsOnItsFirstEventFinishesSafely)
{
    test::Gate handled;
    std::atomic<int> closedEvents = 0;
    std::size_t heard = 0;
    test::RelayServer server(
        [&](const HTTPRequest& request) {
            return HTTPResponse::webSocketAccept(WebSocketHandshake::validate(request),
                [&](std::shared_ptr<WebSocketConnection> opened) {
                    // A capture this large puts the handler on the heap, where the address checker sees
                    // it used after its end.
                    opened->start([&, opened, note = std::string(200, 'n')](Event event) {
                        if (std::holds_alternative<WebSocketConnection::Closed>(event)) {
                            ++closedEvents;
                            return;
                        }
                        opened->cancel();
                        heard = note.size();
                        handled.open();
                    });
                },
                {});
        },
        {}, {}, { .webSocket = relayWebSocketFactory() });
    RawWebSocketClient client(server.port);
    client.sendFrame(WebSocketOpcode::text, "first");
    ASSERT_TRUE(handled.waitOpen());
    EXPECT_EQ(heard, 200u);
    EXPECT_EQ(closedEvents, 1);
    EXPECT_TRUE(client.waitClosed());
}

TEST(WebSocketConnection, KeepsClientThatAnswersPings)
{
    // Sixty pings outlast the idle time-out many times over.
    EchoRelay relay({ .pingInterval = 50ms, .idleTimeout = 1500ms, .closeTimeout = 60s });
    RawWebSocketClient client(relay.port());
    for (int pings = 0; pings < 60; ++pings) {
        const auto frame = client.nextFrame();
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->opcode, WebSocketOpcode::ping);
        client.sendFrame(WebSocketOpcode::pong, "");
    }
    EXPECT_EQ(relay.events(), std::vector<Event> {});
    client.sendFrame(WebSocketOpcode::close, WebSocketFrame::close(1000, "").payload);
    std::optional<WebSocketFrame> frame;
    while ((frame = client.nextFrame()) && frame->opcode == WebSocketOpcode::ping) { }
    EXPECT_EQ(frame, WebSocketFrame::close(1000, ""));
    EXPECT_TRUE(relay.waitUntilClosed());
}

TEST(WebSocketConnection, ServerCloseEndsWhenTheTimerFiresIfThePeerNeverAnswers)
{
    EchoRelay relay({ .pingInterval = 60s, .idleTimeout = 60s, .closeTimeout = 100ms });
    RawWebSocketClient client(relay.port());
    auto connection = relay.connection();
    connection->close(WebSocketCloseCode::terminalDisabled, "Off.");
    EXPECT_EQ(client.nextFrame(), WebSocketFrame::close(4000, "Off."));

    std::promise<void> completed;
    connection->sendBinary("late", [&] { completed.set_value(); });
    EXPECT_EQ(completed.get_future().wait_for(20s), std::future_status::ready);
    client.sendFrame(WebSocketOpcode::text, "not delivered");
    client.sendFrame(WebSocketOpcode::ping, "not answered");

    EXPECT_EQ(client.read(1), std::nullopt);
    EXPECT_TRUE(client.waitClosed(0s));
    ASSERT_TRUE(relay.waitUntilClosed());
    EXPECT_EQ(relay.events(), std::vector<Event> { WebSocketConnection::Closed {} });
}

TEST(WebSocketConnection, ProtocolErrorClosesWith1002AndStopsReading)
{
    EchoRelay relay({ .pingInterval = 60s, .idleTimeout = 60s, .closeTimeout = 60s });
    RawWebSocketClient client(relay.port());
    client.send(std::string("\x81\x02hi", 4)); // unmasked
    EXPECT_EQ(client.nextFrame(), WebSocketFrame::close(1002, ""));

    // A server that went on reading would take all of it; one that stopped leaves the sender blocked
    // once the socket buffers are full.
    const timeval patience { 1, 0 };
    setsockopt(client.descriptor(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const std::string chunk
        = WebSocketFrame { true, WebSocketOpcode::binary, std::string(60'000, 'x') }.encoded(
            WebSocketFrame::MaskingKey { 1, 2, 3, 4 });
    constexpr std::size_t kFlood = 512 << 20;
    std::size_t sent = 0;
    while (sent < kFlood && client.send(chunk))
        sent += chunk.size();
    EXPECT_LT(sent, kFlood);
    EXPECT_EQ(relay.events(), std::vector<Event> {});
}

TEST(WebSocketConnection, EchoesStreamsOfMixedFramesWholeAndInOrder)
{
    // Each peer reads while it writes about 32 MiB in batches of frames: many frames reach the server in
    // one read, and their echoes and pongs leave back to back.
    const std::vector<std::vector<std::string>> peers {
        { "/usr/bin/python3", (test::sourceDir() / "tests/peers/websocket_stream.py").string(), "echo" },
        { "node", (test::sourceDir() / "tests/peers/websocket_stream.mjs").string() },
    };
    for (auto peer : peers) {
        SCOPED_TRACE(peer.front());
        EchoRelay relay;
        peer.insert(peer.end(), { relay.url(), test::testCertificateFile().string(), "32" });
        const auto result = test::runPeer(peer);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_TRUE(result.output.starts_with("ok ")) << result.output;
        ASSERT_TRUE(relay.waitUntilClosed());
        EXPECT_EQ(relay.connection()->unsentBytes(), 0);
    }
}

TEST(WebSocketConnection, ClientThatStopsReadingCannotGrowTheUnsentBytes)
{
    constexpr std::int64_t kPauseAbove = 4 << 20;
    const struct {
        const char* kind;
        // While the server takes nothing, at least one answer waits: a pong, or a whole echo.
        std::int64_t heldAtLeast;
        // Beyond the pause, one more read can add the pongs of 64 KiB of pings, or one echo.
        std::int64_t bound;
    } cases[] = {
        { "pings", 127, kPauseAbove + 65'536 },
        { "messages", (1 << 20) + 10, kPauseAbove + (1 << 20) + 65'536 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        EchoRelay relay;
        auto peer = std::async(std::launch::async, [&] {
            return test::runPeer({ "/usr/bin/python3",
                (test::sourceDir() / "tests/peers/websocket_stream.py").string(), "stall", relay.url(),
                test::testCertificateFile().string(), c.kind, std::to_string(kStallSeconds) });
        });
        auto connection = relay.connection();
        ASSERT_TRUE(connection);
        std::int64_t peak = 0;
        while (peer.wait_for(5ms) != std::future_status::ready)
            peak = std::max(peak, connection->unsentBytes());
        const auto result = peer.get();

        // The client wrote until the server stopped reading; then it read everything owed to it.
        EXPECT_TRUE(result.output.starts_with("stalled\nok ")) << result.output;
        EXPECT_GE(peak, c.heldAtLeast);
        EXPECT_LE(peak, c.bound);
        ASSERT_TRUE(relay.waitUntilClosed());
        EXPECT_EQ(connection->unsentBytes(), 0);
    }
}

TEST(WebSocketConnection, OutlivingItsListenerEndsQuietlyAndIsFreed)
{
    // Its transport holds the listener's queue, and work it queues holds the WebSocket: work that the
    // stopped queue kept would keep both alive for good, which the leak checker reports.
    auto relay = std::make_unique<EchoRelay>();
    RawWebSocketClient client(relay->port());
    auto connection = relay->connection();
    connection->sendText("queued while the listener stops");
    relay.reset();
    EXPECT_TRUE(client.waitClosed());
    connection->close(WebSocketCloseCode::goingAway, "");
    connection->sendText("queued after");
}

}
