// The relay's network layer: serial queues (each one named thread running an event loop), time-outs
// on them, a dual-stack TLS listening socket and the TLS connections it accepts, each living on the
// queue that accepted it. Every callback runs on the queue of the object it belongs to; objects of
// this file other than NetQueue are used only on their queue.
#pragma once

#include "Platform/TLS.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <sys/socket.h>

namespace vellumar::platform {

class NetQueue {
public:
    // Starts the thread; it carries `label` as its name, cut to the 15 bytes Linux keeps.
    explicit NetQueue(std::string_view label);
    // Stops the thread (see `shutDown`) and drops work that never ran.
    ~NetQueue();
    NetQueue(const NetQueue&) = delete;
    NetQueue& operator=(const NetQueue&) = delete;

    // Any thread. Work queued after `shutDown` is destroyed at once without running.
    void async(std::function<void()> work);
    // Runs `work` on the queue and waits for it; never call it from the queue itself.
    void sync(const std::function<void()>& work);
    // Whether the calling thread is the queue's own.
    bool isCurrent() const;
    // Lets the running work item finish, joins the thread and destroys the work that never ran. Any
    // thread but the queue's own.
    void shutDown();

    struct Loop;
    Loop& loop() noexcept { return *m_loop; }

private:
    std::unique_ptr<Loop> m_loop;
};

// The CPUs this process may run on (its affinity mask); at least 1.
std::size_t usableCPUCount();

// One pending time-out. Scheduling again replaces the pending one; a cancelled or replaced time-out
// never fires, even when it was already due.
class NetTimer {
public:
    explicit NetTimer(NetQueue& queue);
    ~NetTimer();
    NetTimer(const NetTimer&) = delete;
    NetTimer& operator=(const NetTimer&) = delete;

    void schedule(std::chrono::duration<double> after, std::function<void()> fired);
    void cancel();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// An accepted TCP connection that speaks TLS once `start` is called. Its pending operations keep it
// alive; `cancel` ends them, and their completions then report operation_aborted.
class NetConnection : public std::enable_shared_from_this<NetConnection> {
public:
    enum class State { ready, failed };
    // `content` is valid only during the call; `isComplete` means the peer ended the stream.
    using ReceiveCompletion = std::function<void(std::string_view content, bool isComplete, std::error_code)>;
    using SendCompletion = std::function<void(std::error_code)>;

    struct Socket;
    NetConnection(NetQueue& queue, std::unique_ptr<Socket> socket);
    ~NetConnection();

    // The queue its socket, TLS stream and completions belong to.
    NetQueue& queue() const noexcept { return *m_queue; }

    const sockaddr_storage& remoteAddress() const noexcept { return m_remote; }
    // The peer's address as text; an IPv4 peer of the dual-stack socket is printed as IPv4.
    std::optional<std::string> remoteHost() const;

    // The TLS handshake; `changed` hears `ready` or `failed` once, unless cancelled first.
    void start(std::function<void(State)> changed);
    // Reads between 1 and `maximumBytes` bytes (at most 65,536).
    void receive(std::size_t maximumBytes, ReceiveCompletion completion);
    // Writes `bytes` whole after the bytes of earlier calls; `bytes` stays alive and unchanged until
    // `completion` runs. Each completion runs exactly once, in call order: after a failed write, the
    // sends behind it and any later ones complete with that failure, and after `cancel` with
    // operation_aborted.
    void send(std::shared_ptr<const std::string> bytes, SendCompletion completion);
    // Ends the stream once everything sent is out: closes the sending side, then reads and drops what
    // the peer still sends until it closes. Request bytes never read would otherwise turn the close
    // into a reset, which can destroy the response on its way. `linger`, counted from this call,
    // bounds the whole ending, sends still queued included.
    void finish(std::chrono::duration<double> linger);
    // Closes the socket at once, unless `finish` already runs; idempotent.
    void cancel();

private:
    void writeFront();
    void didWrite(std::error_code error);
    void closeSending();
    void drain();
    void close();

    NetQueue* m_queue;
    std::unique_ptr<Socket> m_socket;
    sockaddr_storage m_remote {};
    bool m_cancelled = false;
    bool m_finishing = false;
    // Set once a write failed: the stream may hold part of a record, so nothing more is written.
    std::error_code m_sendFailure;
};

// A listening socket on every address of both families, with SO_REUSEADDR, accepted from on several
// queues: each has its own descriptor of the one socket, so a connection's handshake and first request
// run on the thread that accepted it, never handed to another.
class NetListener {
public:
    // Runs on the queue that accepted the connection, which the connection belongs to; several
    // queues call it at once.
    using AcceptHandler = std::function<void(std::shared_ptr<NetConnection>)>;
    // Hears, on the listener's queue and once, a failure of the running socket; it has stopped
    // accepting by then.
    using FailureHandler = std::function<void(std::error_code)>;

    // Binds and listens at once (port 0: any free port); throws std::system_error. Accepting starts
    // on `queue` and on each of `otherQueues`, which must outlive the listener's accepting; connections
    // come with TCP keep-alive after 60 idle seconds, without Nagle's delay (TCP_NODELAY) and with no
    // handshake yet.
    NetListener(NetQueue& queue, TLSServerContext identity, std::uint16_t port, AcceptHandler accepted,
        FailureHandler failed, const std::vector<NetQueue*>& otherQueues = {});
    // Stops accepting, as `cancel` does: on the queue, or once the queue has stopped.
    ~NetListener();
    NetListener(const NetListener&) = delete;
    NetListener& operator=(const NetListener&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    // On the queue: the socket stops listening at once, so its port is free again, and each queue
    // closes its descriptor of it; connections already accepted stay. Idempotent.
    void cancel();

    struct Acceptor;
    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    std::uint16_t m_port = 0;
};

}
