#include "Platform/Net.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vellumar::platform {

struct NetQueue::Loop {
    // Lets shutDown destroy the work that never ran: work may hold what holds the queue.
    struct Context : asio::io_context {
        using asio::io_context::io_context;
        using asio::io_context::shutdown;
    };
    Context context { 1 };
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(context);
    std::thread thread;
    std::mutex lock;
    bool stopped = false;
};

NetQueue::NetQueue(std::string_view label)
    : m_loop(std::make_unique<Loop>())
{
    m_loop->thread = std::thread([loop = m_loop.get()] { loop->context.run(); });
    // Named from here, so that the name is there once the constructor returns.
    pthread_setname_np(m_loop->thread.native_handle(), std::string(label.substr(0, 15)).c_str());
}

NetQueue::~NetQueue() { shutDown(); }

void NetQueue::async(std::function<void()> work)
{
    {
        std::lock_guard guard(m_loop->lock);
        if (!m_loop->stopped)
            return asio::post(m_loop->context, std::move(work));
    }
    // Destroyed outside the lock: it may hold a WebSocket whose end queues more work.
    work = nullptr;
}

void NetQueue::sync(const std::function<void()>& work)
{
    std::promise<void> done;
    asio::post(m_loop->context, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

bool NetQueue::isCurrent() const { return m_loop->context.get_executor().running_in_this_thread(); }

void NetQueue::shutDown()
{
    if (!m_loop->thread.joinable())
        return;
    {
        std::lock_guard guard(m_loop->lock);
        m_loop->stopped = true;
    }
    m_loop->keepRunning.reset();
    m_loop->context.stop();
    m_loop->thread.join();
    // Work that never ran may hold a WebSocket that holds this queue; kept until the queue ends, it
    // would keep both alive for good.
    m_loop->context.shutdown();
}

std::size_t usableCPUCount()
{
    cpu_set_t usable;
    CPU_ZERO(&usable);
    if (sched_getaffinity(0, sizeof usable, &usable) != 0)
        return 1;
    return static_cast<std::size_t>(std::max(CPU_COUNT(&usable), 1));
}

// A connection schedules its time-out anew on every request and cancels it on the next, mostly for a
// later moment than the one pending. Asking the event loop each time cost an allocation, a queue
// update and a cancelled completion per call; instead the pending wait is left as it is and, when it
// ends before the time-out now asked for, is set again for that one.
struct NetTimer::State {
    explicit State(asio::io_context& context)
        : timer(context)
    {
    }
    asio::steady_timer timer;
    // Absent when cancelled or fired.
    std::optional<asio::steady_timer::time_point> deadline;
    std::function<void()> fired;
    // Whether a wait is pending, and which: a wait ended by setting another is stale.
    bool isWaiting = false;
    std::uint64_t wait = 0;
};

namespace {

    void waitFor(const std::shared_ptr<NetTimer::State>& state, asio::steady_timer::time_point deadline)
    {
        state->timer.expires_at(deadline);
        state->isWaiting = true;
        state->timer.async_wait([weak = std::weak_ptr(state), wait = ++state->wait](const std::error_code&) {
            auto current = weak.lock();
            if (!current || current->wait != wait)
                return;
            current->isWaiting = false;
            if (!current->deadline)
                return;
            if (asio::steady_timer::clock_type::now() < *current->deadline)
                return waitFor(current, *current->deadline);
            current->deadline.reset();
            // Moved out first: the time-out may schedule the next one.
            auto fired = std::exchange(current->fired, nullptr);
            fired();
        });
    }

}

NetTimer::NetTimer(NetQueue& queue)
    : m_state(std::make_shared<State>(queue.loop().context))
{
}

NetTimer::~NetTimer() { cancel(); }

void NetTimer::schedule(std::chrono::duration<double> after, std::function<void()> fired)
{
    auto deadline = asio::steady_timer::clock_type::now()
        + std::chrono::duration_cast<asio::steady_timer::duration>(after);
    m_state->deadline = deadline;
    m_state->fired = std::move(fired);
    if (!m_state->isWaiting || m_state->timer.expiry() > deadline)
        waitFor(m_state, deadline);
}

void NetTimer::cancel()
{
    m_state->deadline.reset();
    m_state->fired = nullptr;
}

struct NetConnection::Socket {
    // Takes `ssl`, which must not be null.
    Socket(asio::ip::tcp::socket tcp, SSL* ssl)
        : stream(std::move(tcp), ssl)
        , lingering(stream.get_executor())
    {
        // The stream asks OpenSSL to free its record buffers whenever they run empty, which costs two
        // allocations of some 17 KB and their release on every request of a kept-alive connection. The
        // listener's connection limit bounds what keeping them costs.
        SSL_clear_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
    }
    asio::ssl::stream<asio::ip::tcp::socket> stream;
    std::array<char, 65'536> received;
    asio::steady_timer lingering;
    struct PendingSend {
        std::shared_ptr<const std::string> bytes;
        SendCompletion completion;
    };
    // The front is being written; the rest wait for it. A TLS stream takes one write at a time: a
    // second one started before the first completes interleaves their records.
    std::deque<PendingSend> sends;
};

NetConnection::NetConnection(NetQueue& queue, std::unique_ptr<Socket> socket)
    : m_queue(&queue)
    , m_socket(std::move(socket))
{
    // A peer already gone leaves the unspecified address, which no source check allows.
    std::error_code gone;
    auto endpoint = m_socket->stream.lowest_layer().remote_endpoint(gone);
    std::memcpy(&m_remote, endpoint.data(), std::min<std::size_t>(endpoint.size(), sizeof m_remote));
}

NetConnection::~NetConnection() = default;

std::optional<std::string> NetConnection::remoteHost() const
{
    asio::ip::tcp::endpoint endpoint;
    std::error_code error;
    endpoint = m_socket->stream.lowest_layer().remote_endpoint(error);
    if (error)
        return std::nullopt;
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

void NetConnection::start(std::function<void(State)> changed)
{
    m_socket->stream.async_handshake(asio::ssl::stream_base::server,
        [self = shared_from_this(), changed = std::move(changed)](const std::error_code& error) {
            if (error == asio::error::operation_aborted || self->m_cancelled)
                return;
            changed(error ? State::failed : State::ready);
        });
}

void NetConnection::receive(std::size_t maximumBytes, ReceiveCompletion completion)
{
    auto buffer = asio::buffer(m_socket->received.data(), std::min(maximumBytes, m_socket->received.size()));
    m_socket->stream.async_read_some(buffer,
        [self = shared_from_this(), completion = std::move(completion)](
            const std::error_code& error, std::size_t count) {
            std::string_view content(self->m_socket->received.data(), count);
            // A peer that closes without TLS's close_notify has still ended its stream.
            if (error == asio::error::eof || error == asio::ssl::error::stream_truncated)
                return completion(content, true, {});
            completion(content, false, error);
        });
}

void NetConnection::send(std::shared_ptr<const std::string> bytes, SendCompletion completion)
{
    // Behind a write in flight it waits, and fails with it should the stream end first.
    if (!m_socket->sends.empty())
        return m_socket->sends.push_back({ std::move(bytes), std::move(completion) });
    if (m_cancelled || m_sendFailure) {
        std::error_code error = m_sendFailure;
        if (!error)
            error = asio::error::operation_aborted;
        // Posted, as a write's completion would be: callers may hold state the completion changes.
        asio::post(m_socket->stream.get_executor(),
            [self = shared_from_this(), error, completion = std::move(completion)] { completion(error); });
        return;
    }
    m_socket->sends.push_back({ std::move(bytes), std::move(completion) });
    writeFront();
}

void NetConnection::writeFront()
{
    asio::async_write(m_socket->stream, asio::buffer(*m_socket->sends.front().bytes),
        [self = shared_from_this()](const std::error_code& error, std::size_t) { self->didWrite(error); });
}

void NetConnection::didWrite(std::error_code error)
{
    auto written = std::move(m_socket->sends.front());
    m_socket->sends.pop_front();
    // After a cancel the socket is closed: what waits is failed, not written.
    std::error_code failure = error;
    if (!failure && m_cancelled)
        failure = asio::error::operation_aborted;
    std::deque<Socket::PendingSend> failed;
    if (failure) {
        m_sendFailure = failure;
        failed.swap(m_socket->sends);
    } else if (!m_socket->sends.empty()) {
        writeFront();
    } else if (m_finishing) {
        closeSending();
    }
    // Completions may send again: by now the queue is in a state to take it.
    written.completion(error);
    for (auto& pending : failed)
        pending.completion(failure);
}

void NetConnection::finish(std::chrono::duration<double> linger)
{
    if (m_cancelled || m_finishing)
        return;
    m_finishing = true;
    m_socket->lingering.expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(linger));
    m_socket->lingering.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error)
            self->close();
    });
    if (m_socket->sends.empty())
        closeSending();
}

void NetConnection::closeSending()
{
    std::error_code ignored;
    m_socket->stream.lowest_layer().shutdown(asio::socket_base::shutdown_send, ignored);
    drain();
}

void NetConnection::drain()
{
    // Raw TCP bytes: what the peer still sends is dropped undecrypted.
    m_socket->stream.next_layer().async_read_some(asio::buffer(m_socket->received),
        [self = shared_from_this()](const std::error_code& error, std::size_t) {
            if (self->m_cancelled)
                return;
            if (error)
                return self->close();
            self->drain();
        });
}

void NetConnection::cancel()
{
    // A finishing connection ends on its own, within its linger time.
    if (!m_finishing)
        close();
}

void NetConnection::close()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    std::error_code ignored;
    m_socket->lingering.cancel();
    m_socket->stream.lowest_layer().shutdown(asio::socket_base::shutdown_both, ignored);
    m_socket->stream.lowest_layer().close(ignored);
}

struct NetListener::Shared {
    Shared(NetQueue& owner, AcceptHandler onAccepted, FailureHandler onFailed)
        : queue(owner)
        , accepted(std::move(onAccepted))
        , failed(std::move(onFailed))
    {
    }
    // The listener's queue.
    NetQueue& queue;
    AcceptHandler accepted;
    FailureHandler failed;
    // Set on the listener's queue, once; the accepting queues drop what they accept from then on.
    std::atomic<bool> stopped = false;
    // Filled before accepting starts. The first, on the listener's queue, holds the socket's first
    // descriptor.
    std::vector<std::weak_ptr<Acceptor>> acceptors;
};

// One queue's descriptor of the listening socket; its pending accept or retry holds it.
struct NetListener::Acceptor {
    Acceptor(NetQueue& home, std::shared_ptr<Shared> common, TLSServerContext tls)
        : queue(home)
        , shared(std::move(common))
        , identity(std::move(tls))
        , socket(home.loop().context)
        , retry(home.loop().context)
    {
    }
    NetQueue& queue;
    std::shared_ptr<Shared> shared;
    // Each queue's own: a context shared by all would move its counters' cache lines between their
    // CPUs on every handshake.
    TLSServerContext identity;
    asio::ip::tcp::acceptor socket;
    // Waits out a shortage of descriptors or memory instead of spinning on it.
    asio::steady_timer retry;
};

namespace {

    bool isTransient(const std::error_code& error)
    {
        return error == asio::error::connection_aborted || error == asio::error::no_descriptors
            || error == asio::error::no_buffer_space || error == asio::error::no_memory
            || error == std::errc::too_many_files_open_in_system || error == std::errc::protocol_error;
    }

    void setAcceptedOptions(asio::ip::tcp::socket& socket)
    {
        std::error_code ignored;
        socket.set_option(asio::socket_base::keep_alive(true), ignored);
        int idleSeconds = 60;
        setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
        // The session tickets sent after a TLS 1.3 handshake are still unacknowledged when the first
        // response goes out; Nagle's algorithm would hold it until the client's delayed ACK, some 40 ms.
        // Every write here is a whole message the peer waits for.
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    }

    void closeDescriptor(NetListener::Acceptor& acceptor)
    {
        std::error_code ignored;
        acceptor.retry.cancel();
        acceptor.socket.close(ignored);
    }

    // On the listener's queue: tells whether this call stopped it. The socket stops listening here and
    // now, which frees its port even while other queues still hold a descriptor of it.
    bool stopAccepting(NetListener::Shared& shared)
    {
        if (shared.stopped.exchange(true))
            return false;
        for (const auto& weak : shared.acceptors) {
            auto acceptor = weak.lock();
            if (!acceptor)
                continue;
            if (&acceptor->queue != &shared.queue) {
                acceptor->queue.async([acceptor] { closeDescriptor(*acceptor); });
                continue;
            }
            if (acceptor->socket.is_open())
                ::shutdown(acceptor->socket.native_handle(), SHUT_RDWR);
            closeDescriptor(*acceptor);
        }
        return true;
    }

    void acceptNext(const std::shared_ptr<NetListener::Acceptor>& acceptor);

    // A second descriptor of `listening`, registered with `queue`'s event loop.
    std::shared_ptr<NetListener::Acceptor> duplicate(asio::ip::tcp::acceptor& listening, NetQueue& queue,
        const std::shared_ptr<NetListener::Shared>& shared, TLSServerContext identity)
    {
        int descriptor = fcntl(listening.native_handle(), F_DUPFD_CLOEXEC, 0);
        if (descriptor < 0)
            throw std::system_error(errno, std::system_category(), "dup");
        auto acceptor = std::make_shared<NetListener::Acceptor>(queue, shared, std::move(identity));
        std::error_code error;
        acceptor->socket.assign(listening.local_endpoint().protocol(), descriptor, error);
        if (error) {
            ::close(descriptor);
            throw std::system_error(error);
        }
        return acceptor;
    }

}

NetListener::NetListener(NetQueue& queue, TLSServerContext identity, std::uint16_t port,
    AcceptHandler accepted, FailureHandler failed, const std::vector<NetQueue*>& otherQueues)
    : m_shared(std::make_shared<Shared>(queue, std::move(accepted), std::move(failed)))
{
    std::vector<std::shared_ptr<Acceptor>> acceptors { std::make_shared<Acceptor>(
        queue, m_shared, identity) };
    auto& socket = acceptors.front()->socket;
    std::error_code error;
    socket.open(asio::ip::tcp::v6(), error);
    if (!error) {
        socket.set_option(asio::ip::v6_only(false));
        socket.set_option(asio::socket_base::reuse_address(true));
        socket.bind({ asio::ip::address_v6::any(), port });
    } else {
        // A machine without IPv6 still serves IPv4.
        socket.open(asio::ip::tcp::v4());
        socket.set_option(asio::socket_base::reuse_address(true));
        socket.bind({ asio::ip::address_v4::any(), port });
    }
    socket.listen();
    m_port = socket.local_endpoint().port();
    for (std::size_t index = 0; index < otherQueues.size(); ++index)
        acceptors.push_back(
            duplicate(socket, *otherQueues[index], m_shared, identity.twin(index).value_or(identity)));
    for (const auto& acceptor : acceptors) {
        m_shared->acceptors.push_back(acceptor);
        acceptor->queue.async([acceptor] { acceptNext(acceptor); });
    }
}

// The pending accepts hold the acceptors: a listener dropped without closing them would go on admitting.
NetListener::~NetListener() { cancel(); }

void NetListener::cancel() { stopAccepting(*m_shared); }

namespace {

    void acceptNext(const std::shared_ptr<NetListener::Acceptor>& acceptor)
    {
        if (acceptor->shared->stopped)
            return;
        acceptor->socket.async_accept([acceptor](const std::error_code& error, asio::ip::tcp::socket tcp) {
            auto& shared = *acceptor->shared;
            if (shared.stopped)
                return;
            if (isTransient(error)) {
                acceptor->retry.expires_after(std::chrono::milliseconds(50));
                acceptor->retry.async_wait([acceptor](const std::error_code& waited) {
                    if (!waited)
                        acceptNext(acceptor);
                });
                return;
            }
            if (error) {
                // Every queue's accept fails alike; the listener's queue stops them all, and the first
                // failure to reach it is the one heard.
                shared.queue.async([shared = acceptor->shared, error] {
                    if (stopAccepting(*shared))
                        shared->failed(error);
                });
                return;
            }
            setAcceptedOptions(tcp);
            std::error_code peerError;
            tcp.remote_endpoint(peerError);
            // A peer gone before we looked at it needs no answer; without memory for its TLS state it
            // gets none either.
            SSL* ssl = peerError ? nullptr : SSL_new(acceptor->identity.handle());
            if (ssl)
                shared.accepted(std::make_shared<NetConnection>(
                    acceptor->queue, std::make_unique<NetConnection::Socket>(std::move(tcp), ssl)));
            acceptNext(acceptor);
        });
    }

}

}
