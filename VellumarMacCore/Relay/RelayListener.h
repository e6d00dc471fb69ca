// The relay's TLS server socket: admits connections from allowed sources within its limits, keeps
// the table of open HTTPConnections and closes them all when it stops. One queue per usable CPU, the
// listener's own among them, accepts connections, admits them and serves each one to its end, with no
// hand-over between the accept and the first response.
#pragma once

#include "VellumarMacCore/Foundations/HTTPRequestParser.h"
#include "VellumarMacCore/Relay/HTTPConnection.h"
#include "VellumarMacCore/Relay/RelayListenerLimits.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>

struct sockaddr;

namespace vellumar {

class RequestWorkers;

class RelayListener {
public:
    using Limits = RelayListenerLimits;
    using SourceCheck = std::function<bool(const sockaddr&)>;

    static constexpr std::string_view kQueueLabel = "vellumar.relay.listener";

    struct Hooks {
        // Absent: every WebSocket upgrade is cancelled.
        WebSocketFactory webSocket;
        // Asked before the TLS handshake, on the queue that accepted the connection, on several queues
        // at once; a refused peer gets no byte back. Absent: the source-address filter.
        SourceCheck allowsSource;
        // Hears, on the listener's queue, the error that stopped a running listener, once it has
        // stopped and closed every connection; it must not call the listener's waiting functions.
        // Absent: the listener stops without a word.
        std::function<void(std::error_code)> failed;
        // Asked on the connection's queue for each request, on several queues at once: a response is
        // sent from there, for a request answered without waiting on anything or writing to disk,
        // which a worker's hand-over would cost more than. Absent: every request goes to a worker.
        AtOnceAnswer answerAtOnce;
    };

    // Starts the listener's queues; its request workers start as requests need them. Nothing listens yet.
    RelayListener(TLSIdentity identity, Limits limits, HTTPRequestParser::Policy policy,
        RequestHandler handler, Hooks hooks = {});
    // Closes every connection, each on its queue, and waits for the handlers still running.
    ~RelayListener();
    RelayListener(const RelayListener&) = delete;
    RelayListener& operator=(const RelayListener&) = delete;

    // Listens on `port` (0: any free port) and returns the port bound. Throws std::system_error when
    // the socket cannot be bound; the same object may be started again then. A start that binds
    // closes the socket of an earlier one; connections already admitted stay. Not from the queue.
    std::uint16_t start(std::uint16_t port);
    // Returns at once; the listener stops accepting and closes every connection, each on its queue.
    void stop();
    // The open connections that count towards the limits (not those whose last response is on its
    // way). Not from the listener's queues.
    std::size_t connectionCount();

    struct State;

private:
    // The listener's own queue, the first of the connections' queues.
    std::shared_ptr<platform::NetQueue> m_queue;
    std::unique_ptr<RequestWorkers> m_workers;
    std::shared_ptr<State> m_state;
};

}
