#include "VellumarMacCore/Relay/RelayListener.h"

#include "VellumarMacCore/Relay/RequestWorkers.h"
#include "VellumarMacCore/Relay/SourceAddressFilter.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vellumar {

struct RelayListener::State : std::enable_shared_from_this<RelayListener::State> {
    State(std::vector<std::shared_ptr<platform::NetQueue>> queues,
        std::shared_ptr<const HTTPConnection::Services> shared, platform::TLSServerContext tls,
        HTTPRequestParser::Policy bodyPolicy, SourceCheck sourceCheck,
        std::function<void(std::error_code)> onFailure)
        : connectionQueues(std::move(queues))
        , services(std::move(shared))
        , identity(std::move(tls))
        , policy(std::move(bodyPolicy))
        , allowsSource(std::move(sourceCheck))
        , failed(std::move(onFailure))
    {
    }

    using Table = std::unordered_map<HTTPConnection*, std::shared_ptr<HTTPConnection>>;

    // On the queue that accepted the connection, which it then lives on.
    void accept(const std::shared_ptr<platform::NetConnection>& connection);
    // Under `lock`: the connections that hold a place. One whose last response is on its way holds
    // none: its peer, answered, may already be back on a new connection, which must not cost another
    // client its place while that queue has yet to close the old one.
    std::ptrdiff_t placesTaken() const;
    // Under `lock`: makes room for a connection from `host` as the limits ask, moving the connections
    // it evicts to `evicted`, and tells whether there is room.
    bool makeRoom(
        const std::optional<std::string>& host, std::vector<std::shared_ptr<HTTPConnection>>& evicted);
    // Under `lock`: among the untrusted connections that `matches` picks, the first opened, taken out
    // of the table; on equal times the first met goes.
    template <typename Matches> std::shared_ptr<HTTPConnection> takeOldestUntrusted(Matches matches);
    // On the listener's queue: stops accepting and closes every connection; `afterClosing`, when
    // given, runs on the listener's queue once they all are closed.
    void stop(std::function<void()> afterClosing = {});

    // Its first is the listener's own queue.
    const std::vector<std::shared_ptr<platform::NetQueue>> connectionQueues;
    std::shared_ptr<const HTTPConnection::Services> services;
    platform::TLSServerContext identity;
    HTTPRequestParser::Policy policy;
    SourceCheck allowsSource;
    std::function<void(std::error_code)> failed;
    // Replacing it closes the socket it held.
    std::unique_ptr<platform::NetListener> listener;
    // Guards `connections`: admission reads it on the listener's queue while connections leave it
    // from their own. Nothing is called out while it is held.
    std::mutex lock;
    // The only lasting strong owner of the connections.
    Table connections;
    // Under `lock`: false from a stop until the next start, so that a queue that accepted a connection
    // just before the stop reached it does not admit it into the emptied table.
    bool admitting = false;
};

namespace {

    // One worker per connection the table can hold, and as many again for the handlers of connections
    // already evicted or closed, which run on to their end (a long poll waits up to 25 seconds): so
    // long polls on every connection never starve a health check on a new one.
    std::size_t workerCount(const RelayListenerLimits& limits)
    {
        return 2 * static_cast<std::size_t>(std::max(limits.maxConnections, 1));
    }

    // The listener's queue serves connections too: with one CPU it is the only queue.
    std::vector<std::shared_ptr<platform::NetQueue>> connectionQueues(
        const std::shared_ptr<platform::NetQueue>& listenerQueue)
    {
        std::vector<std::shared_ptr<platform::NetQueue>> queues { listenerQueue };
        for (auto count = platform::usableCPUCount(); queues.size() < count;)
            queues.push_back(std::make_shared<platform::NetQueue>(RelayListener::kQueueLabel));
        return queues;
    }

    // Closes `connection` on its queue and drops it there, where its timers and socket live. `done` is
    // let go once it closed (or its queue stopped first). On that queue already it closes at once: work
    // a queue queues for itself joins its line only once the running item ends, behind a `sync` that
    // may have come meanwhile, such as the listener's end, which would then stop the queue before it.
    void closeOnItsQueue(std::shared_ptr<HTTPConnection> connection, std::shared_ptr<void> done = {})
    {
        auto& queue = connection->queue();
        if (queue.isCurrent())
            return connection->close();
        queue.async([connection = std::move(connection), done = std::move(done)] { connection->close(); });
    }

}

template <typename Matches>
std::shared_ptr<HTTPConnection> RelayListener::State::takeOldestUntrusted(Matches matches)
{
    auto oldest = connections.end();
    for (auto entry = connections.begin(); entry != connections.end(); ++entry) {
        const auto& connection = *entry->second;
        if (connection.isTrusted() || connection.isEnding() || !matches(connection))
            continue;
        if (oldest == connections.end() || connection.openedAt() < oldest->second->openedAt())
            oldest = entry;
    }
    if (oldest == connections.end())
        return nullptr;
    auto taken = std::move(oldest->second);
    connections.erase(oldest);
    return taken;
}

std::ptrdiff_t RelayListener::State::placesTaken() const
{
    return std::count_if(
        connections.begin(), connections.end(), [](const auto& entry) { return !entry.second->isEnding(); });
}

bool RelayListener::State::makeRoom(
    const std::optional<std::string>& host, std::vector<std::shared_ptr<HTTPConnection>>& evicted)
{
    const auto& limits = services->limits;
    if (host) {
        int untrusted = 0;
        for (const auto& [key, open] : connections)
            untrusted += !open->isTrusted() && !open->isEnding() && open->host() == host;
        if (untrusted > 0 && untrusted >= limits.maxUntrustedPerHost) {
            if (auto oldest
                = takeOldestUntrusted([&](const HTTPConnection& open) { return open.host() == host; }))
                evicted.push_back(std::move(oldest));
        }
    }
    if (placesTaken() >= limits.maxConnections) {
        if (auto oldest = takeOldestUntrusted([](const HTTPConnection&) { return true; }))
            evicted.push_back(std::move(oldest));
    }
    return placesTaken() < limits.maxConnections;
}

void RelayListener::State::accept(const std::shared_ptr<platform::NetConnection>& connection)
{
    if (!allowsSource(reinterpret_cast<const sockaddr&>(connection->remoteAddress()))) {
        connection->cancel();
        return;
    }
    auto host = connection->remoteHost();
    auto queue = std::find_if(connectionQueues.begin(), connectionQueues.end(),
        [&](const auto& candidate) { return candidate.get() == &connection->queue(); });
    std::vector<std::shared_ptr<HTTPConnection>> evicted;
    std::shared_ptr<HTTPConnection> http;
    {
        std::lock_guard guard(lock);
        if (admitting && makeRoom(host, evicted)) {
            // The closing connection holds itself meanwhile: erasing it destroys nothing under the lock.
            auto onClose = [weak = weak_from_this()](HTTPConnection& closed) {
                if (auto state = weak.lock()) {
                    std::lock_guard forgetting(state->lock);
                    state->connections.erase(&closed);
                }
            };
            http = std::make_shared<HTTPConnection>(
                connection, *queue, services, std::move(onClose), policy, std::move(host));
            connections.emplace(http.get(), http);
        }
    }
    for (auto& gone : evicted)
        closeOnItsQueue(std::move(gone));
    if (!http) {
        connection->cancel();
        return;
    }
    // Its handshake starts in this same turn of the queue that accepted it.
    http->open();
}

void RelayListener::State::stop(std::function<void()> afterClosing)
{
    if (listener)
        listener->cancel();
    listener.reset();
    Table open;
    {
        std::lock_guard guard(lock);
        admitting = false;
        open.swap(connections);
    }
    // Let go by the last close to run, on whichever queue that is.
    std::shared_ptr<void> allClosed(nullptr,
        [queue = std::weak_ptr(connectionQueues.front()), afterClosing = std::move(afterClosing)](
            void*) mutable {
            if (auto running = queue.lock(); running && afterClosing)
                running->async(std::move(afterClosing));
        });
    for (auto& [key, connection] : open)
        closeOnItsQueue(std::move(connection), allClosed);
}

RelayListener::RelayListener(TLSIdentity identity, Limits limits, HTTPRequestParser::Policy policy,
    RequestHandler handler, Hooks hooks)
    : m_queue(std::make_shared<platform::NetQueue>(kQueueLabel))
    , m_workers(std::make_unique<RequestWorkers>(workerCount(limits)))
{
    auto services = std::make_shared<HTTPConnection::Services>(HTTPConnection::Services {
        .limits = limits,
        .handler = std::move(handler),
        .webSocket = std::move(hooks.webSocket),
        .workers = m_workers.get(),
        .answerAtOnce = std::move(hooks.answerAtOnce),
    });
    SourceCheck allowsSource = hooks.allowsSource ? std::move(hooks.allowsSource) : [](const sockaddr& peer) {
        return SourceAddressFilter::allows(peer);
    };
    m_state = std::make_shared<State>(connectionQueues(m_queue), std::move(services),
        std::move(identity.identity), std::move(policy), std::move(allowsSource), std::move(hooks.failed));
}

RelayListener::~RelayListener()
{
    m_queue->sync([state = m_state] { state->stop(); });
    // The closes `stop` queued run before anything queued behind them: once each queue has come this
    // far, every connection has closed.
    for (const auto& queue : m_state->connectionQueues)
        queue->sync([] {});
    for (const auto& queue : m_state->connectionQueues)
        queue->shutDown();
    m_workers.reset();
}

std::uint16_t RelayListener::start(std::uint16_t port)
{
    std::uint16_t bound = 0;
    std::exception_ptr failure;
    m_queue->sync([&] {
        try {
            auto weak = std::weak_ptr(m_state);
            auto accepted = [weak](std::shared_ptr<platform::NetConnection> connection) {
                if (auto state = weak.lock())
                    state->accept(connection);
                else
                    connection->cancel();
            };
            auto failed = [weak](std::error_code error) {
                if (auto state = weak.lock())
                    state->stop([weak, error] {
                        if (auto stopped = weak.lock(); stopped && stopped->failed)
                            stopped->failed(error);
                    });
            };
            std::vector<platform::NetQueue*> otherQueues;
            for (auto other = std::next(m_state->connectionQueues.begin());
                 other != m_state->connectionQueues.end(); ++other)
                otherQueues.push_back(other->get());
            m_state->listener = std::make_unique<platform::NetListener>(
                *m_queue, m_state->identity, port, std::move(accepted), std::move(failed), otherQueues);
            bound = m_state->listener->port();
            std::lock_guard guard(m_state->lock);
            m_state->admitting = true;
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure)
        std::rethrow_exception(failure);
    return bound;
}

void RelayListener::stop()
{
    m_queue->async([weak = std::weak_ptr(m_state)] {
        if (auto state = weak.lock())
            state->stop();
    });
}

std::size_t RelayListener::connectionCount()
{
    std::size_t count = 0;
    // Behind any `stop` already asked for.
    m_queue->sync([&] {
        std::lock_guard guard(m_state->lock);
        count = static_cast<std::size_t>(m_state->placesTaken());
    });
    return count;
}

}
