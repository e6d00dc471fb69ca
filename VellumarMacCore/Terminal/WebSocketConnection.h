// One server-side WebSocket (RFC 6455) over an upgraded connection: it answers pings and close frames,
// keeps the connection alive with pings of its own, drops a silent peer, and hands received messages
// to one handler. It stops reading while more than 4 MiB wait to be sent and reads again below 2 MiB,
// so that a peer that does not read cannot make it hold more; the time since the last byte read still
// counts towards the idle drop.
#pragma once

#include "VellumarMacCore/Terminal/WebSocketFrame.h"
#include "VellumarMacCore/Terminal/WebSocketFrameParser.h"
#include "VellumarMacCore/Terminal/WebSocketMessageReader.h"
#include "VellumarMacCore/Terminal/WebSocketTransport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

namespace vellumar {

class WebSocketConnection : public std::enable_shared_from_this<WebSocketConnection> {
public:
    struct Closed {
        friend bool operator==(const Closed&, const Closed&) = default;
    };
    // Zero or more messages, then exactly one Closed, then nothing.
    using Event = std::variant<WebSocketMessageReader::Text, WebSocketMessageReader::Binary, Closed>;
    using Handler = std::function<void(Event)>;

    struct Intervals {
        std::chrono::milliseconds pingInterval { 20'000 };
        std::chrono::milliseconds idleTimeout { 60'000 }; // silence after which the peer is dropped
        std::chrono::milliseconds closeTimeout { 3'000 }; // wait for the peer's answer to our close
    };

    // `buffered` holds the bytes that came after the opening request's headers. `onFinish` runs once,
    // on the queue, after the Closed event. The transport's completions hold the connection weakly:
    // its creator keeps it alive.
    static std::shared_ptr<WebSocketConnection> make(std::shared_ptr<WebSocketTransport> transport,
        std::string buffered, std::function<void()> onFinish, Intervals intervals);

    // start, sendText, sendBinary and close may be called from any thread; their work runs on the
    // transport's queue in call order, and so do the handler, completions and onFinish.

    // Installs the handler and starts reading; a second call does nothing. After the end the handler
    // hears Closed at once.
    void start(Handler handler);
    // One unfragmented frame each. Once closing or finished nothing is sent and `completion` runs at
    // once; otherwise it runs when the transport has written or failed the bytes.
    void sendText(std::string text);
    void sendBinary(std::string bytes, std::function<void()> completion);
    // Starts the closing handshake; the connection ends when the peer answers or closeTimeout passes.
    void close(std::uint16_t code, std::string reason);
    // Ends the connection at once, without a close frame. Call it on the queue.
    void cancel();

    // Bytes of frames handed to the transport and not yet written. Any thread.
    std::int64_t unsentBytes() const;

private:
    WebSocketConnection(std::shared_ptr<WebSocketTransport> transport, std::string buffered,
        std::function<void()> onFinish, Intervals intervals);

    enum class Counted { no, yes };

    void startOnQueue(Handler handler);
    // Reads on unless the connection ended, stopped reading or has too much left to send.
    void readMore();
    void resumeReadingIfDrained();
    void receive();
    void processFrames();
    void deliver(Event event);
    void closeOnQueue(std::uint16_t code, std::string_view reason);
    void sendFrame(const WebSocketFrame& frame, Counted counted, std::function<void()> completion);
    void sendMessage(WebSocketOpcode opcode, std::string payload, std::function<void()> completion);
    void scheduleKeepAlive();
    void keepAlive();

    std::shared_ptr<WebSocketTransport> m_transport;
    Intervals m_intervals;
    WebSocketFrameParser m_parser;
    WebSocketMessageReader m_reader;
    Handler m_handler;
    std::string m_buffered;
    bool m_started = false;
    bool m_finished = false;
    bool m_closing = false;
    // Set by a protocol violation: what the peer sends after it is never read, so it cannot fill
    // memory while the close handshake runs out.
    bool m_readingStopped = false;
    // No read is pending until the unsent bytes fall: the peer's pings and messages wait in the network.
    bool m_readingPaused = false;
    std::chrono::steady_clock::time_point m_lastHeard;
    std::function<void()> m_onFinish;

    mutable std::mutex m_lock;
    std::int64_t m_unsent = 0;
};

}
