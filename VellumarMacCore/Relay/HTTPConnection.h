// One admitted TLS connection of the relay: HTTP/1.1 requests in, each answered on the connection's
// queue when that needs no waiting, else handed to the request handler on a worker thread, responses (in
// memory, streamed from a file, or a switch to WebSocket) written back in order, every phase guarded by a
// request or idle time-out.
#pragma once

#include "Platform/Net.h"
#include "VellumarMacCore/Foundations/HTTPRequestParser.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Relay/RelayListenerLimits.h"
#include "VellumarMacCore/Relay/RequestWorkers.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace vellumar {

// Serves one complete request on a worker thread; must not throw (errors become responses).
using RequestHandler = std::function<HTTPResponse(HTTPRequest)>;
// The response to a request when it can be had on the connection's queue without waiting on anything
// or writing to disk; absent when the request needs a worker. Must not throw.
using AtOnceAnswer = std::function<std::optional<HTTPResponse>(const HTTPRequest&)>;

// What a 101 switch hands the connection to: the WebSocket built on the same network connection, and
// how to end it when the HTTP side closes first.
struct WebSocketHandOff {
    std::shared_ptr<WebSocketConnection> webSocket;
    std::function<void()> cancel;
};
// Called on the connection's queue with that queue, the network connection, the bytes the client sent
// right behind its upgrade request, and the action the WebSocket calls once when it ends.
using WebSocketFactory = std::function<WebSocketHandOff(std::shared_ptr<platform::NetQueue>,
    std::shared_ptr<platform::NetConnection>, std::string alreadyReceived, std::function<void()> onFinish)>;

// Lives on the queue of its network connection: every member function runs there, but for `isTrusted`,
// `isEnding`, `openedAt` and `host`, which the listener reads from its own queue. The listener's table
// is its only lasting strong owner; callbacks, timers and request tasks hold it weakly.
class HTTPConnection : public std::enable_shared_from_this<HTTPConnection> {
public:
    // What all connections of one listener share.
    struct Services {
        RelayListenerLimits limits;
        RequestHandler handler;
        // Absent: every upgrade is cancelled and its connection closed.
        WebSocketFactory webSocket;
        // Outlived by the queues' threads: the listener joins them before it ends the workers.
        RequestWorkers* workers = nullptr;
        // Asked on the connection's queue; a response is sent from there, with no worker. Absent:
        // every request goes to a worker.
        AtOnceAnswer answerAtOnce;
    };
    using OnClose = std::function<void(HTTPConnection&)>;

    static constexpr std::int64_t kMaxHeadBytes = 16'384;
    static constexpr std::int64_t kMaxInMemoryBodyBytes = 65'536;
    static constexpr std::size_t kMaxReadBytes = 65'536;
    static constexpr std::int64_t kMaxChunkBytes = 262'144;
    // How long a connection closed after its last response still drains what the peer sends.
    static constexpr std::chrono::seconds kLinger { 2 };

    // `queue` is the one `connection` belongs to. `onClose` runs on it.
    HTTPConnection(std::shared_ptr<platform::NetConnection> connection,
        std::shared_ptr<platform::NetQueue> queue, std::shared_ptr<const Services> services, OnClose onClose,
        HTTPRequestParser::Policy policy, std::optional<std::string> host);
    ~HTTPConnection();

    // Arms the request timer (a handshake that never finishes is cut by it) and starts the handshake.
    void open();
    // Once; cancels the network connection and any WebSocket, deletes a partly spooled body, and
    // tells the listener.
    void close();

    // Any thread.
    bool isTrusted() const noexcept { return m_trusted; }
    bool isClosed() const noexcept { return m_closed; }
    // Its last response is wholly handed to the network and it closes once that is out. Its peer may
    // be back on a new connection before the queue gets to the close.
    bool isEnding() const noexcept { return m_ending; }
    platform::NetQueue& queue() const noexcept { return *m_queue; }
    std::chrono::steady_clock::time_point openedAt() const noexcept { return m_openedAt; }
    const std::optional<std::string>& host() const noexcept { return m_host; }

private:
    struct Download;
    // Whether a response's content follows its head.
    enum class Body { send, omit };
    struct Answer {
        HTTPResponse response;
        bool keepAlive;
        Body body;
    };

    // The response `respond` makes of the request, and how to send it; on a worker or on the queue.
    static Answer answer(const RequestHandler& respond, HTTPRequest request);
    void receive();
    void didReceive(std::string_view content, bool isComplete, std::error_code error);
    void handle(HTTPRequest request);
    void respond(HTTPResponse response, bool keepAlive, Body body);
    void finishResponse(std::error_code error, bool keep);
    void sendNextChunk(std::shared_ptr<Download> download);
    // Sends the next piece of the download once the last send completed; closes on a failed send.
    platform::NetConnection::SendCompletion afterSending(std::shared_ptr<Download> download);
    void upgradeToWebSocket(const HTTPResponse& response);
    void armTimer(std::chrono::duration<double> after);

    std::shared_ptr<platform::NetConnection> m_connection;
    std::shared_ptr<platform::NetQueue> m_queue;
    std::shared_ptr<const Services> m_services;
    OnClose m_onClose;
    HTTPRequestParser m_parser;
    bool m_busy = false;
    bool m_receiving = false;
    bool m_closed = false;
    platform::NetTimer m_timer;
    std::optional<WebSocketHandOff> m_webSocket;
    bool m_requestTimerArmed = false;
    std::atomic<bool> m_trusted = false;
    std::atomic<bool> m_ending = false;
    std::chrono::steady_clock::time_point m_openedAt = std::chrono::steady_clock::now();
    std::optional<std::string> m_host;
};

}
