#include "VellumarMacCore/Relay/RelayListener.h"

#include "VellumarMacCore/Relay/RequestWorkers.h"
#include "VellumarMacCore/Relay/SourceAddressFilter.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vellumar {

struct RelayListener::State : std::enable_shared_from_this<RelayListener::State> {
    State(std::shared_ptr<const HTTPConnection::Services> shared, platform::TLSServerContext tls,
        HTTPRequestParser::Policy bodyPolicy, SourceCheck sourceCheck,
        std::function<void(std::error_code)> onFailure)
        : services(std::move(shared))
        , identity(std::move(tls))
        , policy(std::move(bodyPolicy))
        , allowsSource(std::move(sourceCheck))
        , failed(std::move(onFailure))
    {
    }

    void accept(const std::shared_ptr<platform::NetConnection>& connection);
    // Among the untrusted connections that `matches` picks, the first opened; on equal times the
    // first met stays.
    template <typename Matches> HTTPConnection* oldestUntrusted(Matches matches) const;
    void closeAll();
    void stop();

    std::shared_ptr<const HTTPConnection::Services> services;
    platform::TLSServerContext identity;
    HTTPRequestParser::Policy policy;
    SourceCheck allowsSource;
    std::function<void(std::error_code)> failed;
    // Replacing it closes the socket it held.
    std::unique_ptr<platform::NetListener> listener;
    // The only strong owner of the connections.
    std::unordered_map<HTTPConnection*, std::shared_ptr<HTTPConnection>> connections;
};

namespace {

    // One worker per connection the table can hold, and as many again for the handlers of connections
    // already evicted or closed, which run on to their end (a long poll waits up to 25 seconds): so
    // long polls on every connection never starve a health check on a new one.
    std::size_t workerCount(const RelayListenerLimits& limits)
    {
        return 2 * static_cast<std::size_t>(std::max(limits.maxConnections, 1));
    }

}

template <typename Matches> HTTPConnection* RelayListener::State::oldestUntrusted(Matches matches) const
{
    HTTPConnection* oldest = nullptr;
    for (const auto& [key, connection] : connections) {
        if (connection->isTrusted() || !matches(*connection))
            continue;
        if (!oldest || connection->openedAt() < oldest->openedAt())
            oldest = key;
    }
    return oldest;
}

void RelayListener::State::accept(const std::shared_ptr<platform::NetConnection>& connection)
{
    if (!allowsSource(reinterpret_cast<const sockaddr&>(connection->remoteAddress()))) {
        connection->cancel();
        return;
    }
    auto host = connection->remoteHost();
    const auto& limits = services->limits;
    if (host) {
        int untrusted = 0;
        for (const auto& [key, open] : connections)
            untrusted += !open->isTrusted() && open->host() == host;
        if (untrusted > 0 && untrusted >= limits.maxUntrustedPerHost)
            oldestUntrusted([&](const HTTPConnection& open) { return open.host() == host; })->close();
    }
    if (std::ssize(connections) >= limits.maxConnections) {
        if (auto* oldest = oldestUntrusted([](const HTTPConnection&) { return true; }))
            oldest->close();
    }
    if (std::ssize(connections) >= limits.maxConnections) {
        connection->cancel();
        return;
    }
    auto onClose = [weak = weak_from_this()](HTTPConnection& closed) {
        if (auto state = weak.lock())
            state->connections.erase(&closed);
    };
    auto http = std::make_shared<HTTPConnection>(connection, services, std::move(onClose), policy, host);
    connections.emplace(http.get(), http);
    http->open();
}

void RelayListener::State::closeAll()
{
    std::vector<std::shared_ptr<HTTPConnection>> snapshot;
    snapshot.reserve(connections.size());
    for (const auto& [key, connection] : connections)
        snapshot.push_back(connection);
    for (const auto& connection : snapshot)
        connection->close();
    connections.clear();
}

void RelayListener::State::stop()
{
    if (listener)
        listener->cancel();
    listener.reset();
    closeAll();
}

RelayListener::RelayListener(TLSIdentity identity, Limits limits, HTTPRequestParser::Policy policy,
    RequestHandler handler, Hooks hooks)
    : m_queue(std::make_shared<platform::NetQueue>(kQueueLabel))
    , m_workers(std::make_unique<RequestWorkers>(workerCount(limits)))
{
    auto services = std::make_shared<HTTPConnection::Services>(HTTPConnection::Services {
        .queue = m_queue,
        .limits = limits,
        .handler = std::move(handler),
        .webSocket = std::move(hooks.webSocket),
        .workers = m_workers.get(),
        .answersAtOnce = std::move(hooks.answersAtOnce),
    });
    SourceCheck allowsSource = hooks.allowsSource ? std::move(hooks.allowsSource) : [](const sockaddr& peer) {
        return SourceAddressFilter::allows(peer);
    };
    m_state = std::make_shared<State>(std::move(services), std::move(identity.identity), std::move(policy),
        std::move(allowsSource), std::move(hooks.failed));
}

RelayListener::~RelayListener()
{
    m_queue->sync([state = m_state] { state->stop(); });
    m_queue->shutDown();
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
                auto state = weak.lock();
                if (!state)
                    return;
                state->stop();
                if (state->failed)
                    state->failed(error);
            };
            m_state->listener = std::make_unique<platform::NetListener>(
                *m_queue, m_state->identity, port, std::move(accepted), std::move(failed));
            bound = m_state->listener->port();
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
    m_queue->sync([&] { count = m_state->connections.size(); });
    return count;
}

}
