// A loopback TCP server for WebSocketConnection tests: its transport is a plain socket driven by an
// event loop on a thread of its own, standing in for the relay's TLS connection.
#pragma once

#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vellumar::test {

class WebSocketTestServer {
public:
    enum class Opening {
        handshake, // a client that sends the HTTP opening request first and waits for 101
        none, // a raw socket that speaks frames at once
    };
    // The server's connection echoes every message it receives.
    WebSocketTestServer(WebSocketConnection::Intervals intervals, Opening opening);
    ~WebSocketTestServer();

    std::uint16_t port() const { return m_port; }
    // Accepts one client, answers its opening request if any, and starts a connection on it. Fails the
    // test (returning null) when no client comes within the test's patience.
    std::shared_ptr<WebSocketConnection> accept();

    // Waits until the connection ended; false when it did not within the test's patience.
    bool waitUntilFinished();
    // What the handler heard so far, and how often onFinish ran.
    std::vector<WebSocketConnection::Event> events();
    int finishCount();

    struct Loop;

private:
    std::unique_ptr<Loop> m_loop;
    std::uint16_t m_port = 0;
    WebSocketConnection::Intervals m_intervals;
    Opening m_opening;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<WebSocketConnection::Event> m_events;
    int m_finishes = 0;
};

// A client socket connected to 127.0.0.1:`port` that speaks raw frames, for the tests that need a peer
// misbehaving or holding still.
class RawWebSocketClient {
public:
    explicit RawWebSocketClient(std::uint16_t port);
    ~RawWebSocketClient();

    void send(const std::string& bytes);
    // The next whole server frame (unmasked, payload under 126 bytes), or absent at the end of the
    // stream or when none came within the test's patience.
    std::optional<WebSocketFrame> nextFrame();
    // True when the server ended the stream (with nothing more to read) within the test's patience.
    bool endsWithoutMoreBytes();
    int descriptor() const { return m_fd; }

private:
    bool readExactly(char* into, std::size_t count);
    int m_fd = -1;
};

}
