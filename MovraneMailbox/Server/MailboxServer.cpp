#include "MovraneMailbox/Server/MailboxServer.h"

#include "MovraneMailbox/Server/MailboxServerTime.h"

#include <algorithm>

namespace movrane {

using MailboxServerTime::secondsSince;

MailboxServer::MailboxServer(Dependencies dependencies)
    : m_identity(std::move(dependencies.identity))
    , m_store(std::move(dependencies.store))
    , m_storage(std::move(dependencies.storage))
    , m_pairingsProvider(std::move(dependencies.pairingsProvider))
    , m_presenceProvider(std::move(dependencies.presenceProvider))
    , m_handler(std::move(dependencies.handler))
    , m_clock(std::move(dependencies.clock))
    , m_configuration(std::move(dependencies.configuration))
    , m_log(std::move(dependencies.log))
    // Half the workers for handlers within the limit, the rest for their replies and for refusals, so
    // a refusal is not held up behind a full set of handlers.
    , m_tasks(2 * static_cast<std::size_t>(std::max(m_configuration.maxConcurrentRequests, 1)))
{
}

MailboxServer::~MailboxServer()
{
    std::list<LoopTask> loops;
    {
        std::lock_guard lock(m_lock);
        m_closing = true;
        if (m_running)
            loops.push_back(std::move(*m_running));
        m_running.reset();
        loops.splice(loops.end(), m_stopping);
    }
    m_shutdown.request_stop();
    for (auto& loop : loops)
        loop.thread.request_stop();
    loops.clear();
    // No fetch starts once closing is set, and the running one sleeps no more.
    if (m_fetchThread.joinable())
        m_fetchThread.join();
    m_tasks.close();
    // Only now can no watch start any more; the shutdown has cancelled those that run.
    std::list<LoopTask> watchLoops;
    {
        std::lock_guard lock(m_lock);
        watchLoops.swap(m_watchLoops);
    }
}

void MailboxServer::start()
{
    std::list<LoopTask> finished;
    {
        std::lock_guard lock(m_lock);
        finished = takeFinished(m_stopping);
        if (m_running || m_closing)
            return;
        auto flag = std::make_shared<std::atomic<bool>>(false);
        m_running.emplace(LoopTask { std::jthread([this, flag](const std::stop_token& stop) {
                                        run(stop);
                                        *flag = true;
                                    }),
            flag });
    }
    // Joined outside the lock: each has set its flag and is leaving.
}

std::list<MailboxServer::LoopTask> MailboxServer::takeFinished(std::list<LoopTask>& loops)
{
    std::list<LoopTask> finished;
    for (auto loop = loops.begin(); loop != loops.end();) {
        auto next = std::next(loop);
        if (*loop->finished)
            finished.splice(finished.end(), loops, loop);
        loop = next;
    }
    return finished;
}

void MailboxServer::stop()
{
    std::lock_guard lock(m_lock);
    cancelWatches([](const std::string&) { return true; });
    if (!m_running)
        return;
    m_running->thread.request_stop();
    m_stopping.push_back(std::move(*m_running));
    m_running.reset();
}

void MailboxServer::awaitStopped()
{
    std::list<LoopTask> stopping;
    {
        std::lock_guard lock(m_lock);
        stopping.swap(m_stopping);
    }
    // Joined outside the lock, which a loop's pass takes.
    stopping.clear();
}

bool MailboxServer::isRunning() const
{
    std::lock_guard lock(m_lock);
    return m_running.has_value();
}

std::shared_future<void> MailboxServer::fetchNow()
{
    std::jthread previous;
    std::shared_future<void> fetch;
    {
        std::lock_guard lock(m_lock);
        if (m_fetching)
            return *m_fetching;
        std::promise<void> done;
        fetch = done.get_future().share();
        if (m_closing) {
            done.set_value();
            return fetch;
        }
        m_fetching = fetch;
        previous = std::move(m_fetchThread);
        m_fetchThread = std::jthread([this, done = std::move(done)]() mutable { runFetch(std::move(done)); });
    }
    // The previous fetch cleared `m_fetching` as its last step; joining it waits for its exit only.
    return fetch;
}

void MailboxServer::runFetch(std::promise<void> done)
{
    try {
        fetchAll(m_shutdown.get_token());
    } catch (...) {
        // A callback that threw ends this pass only.
    }
    {
        std::lock_guard lock(m_lock);
        m_fetching.reset();
    }
    done.set_value();
}

void MailboxServer::run(const std::stop_token& stop)
{
    while (!stop.stop_requested()) {
        if (!pausedFor(m_clock->now())) {
            fetchNow().wait();
            auto now = m_clock->now();
            bool presenceDue = false;
            bool cleanupDue = false;
            {
                // Marked before they run, so a failed one waits for its next interval.
                std::lock_guard lock(m_lock);
                presenceDue = secondsSince(now, m_lastPresence) >= m_configuration.presenceInterval;
                if (presenceDue)
                    m_lastPresence = now;
                cleanupDue = secondsSince(now, m_lastCleanup) >= m_configuration.cleanupInterval;
                if (cleanupDue)
                    m_lastCleanup = now;
            }
            try {
                if (presenceDue)
                    publishPresence(stop);
                if (cleanupDue)
                    cleanUp(stop);
            } catch (...) {
                // A callback that threw ends this pass only.
            }
        }
        try {
            m_clock->sleep(pollSleepSeconds(), stop);
        } catch (...) {
            return;
        }
    }
}

std::optional<double> MailboxServer::pausedFor(MailboxTime now)
{
    std::lock_guard lock(m_lock);
    if (!m_pausedUntil || now >= *m_pausedUntil)
        return std::nullopt;
    return -secondsSince(now, m_pausedUntil);
}

double MailboxServer::pollSleepSeconds()
{
    auto now = m_clock->now();
    double interval = 0;
    {
        std::lock_guard lock(m_lock);
        interval = secondsSince(now, m_lastRequest) < m_configuration.activeWindow
            ? m_configuration.activePollInterval
            : m_configuration.idlePollInterval;
    }
    // A pause that ends later than the interval is slept through whole.
    return std::max(interval, pausedFor(now).value_or(interval));
}

std::map<std::string, MailboxError> MailboxServer::zoneErrors() const
{
    std::lock_guard lock(m_lock);
    return m_zoneErrors;
}

std::optional<MailboxTime> MailboxServer::pausedUntil() const
{
    std::lock_guard lock(m_lock);
    return m_pausedUntil;
}

std::optional<MailboxTime> MailboxServer::lastRequest() const
{
    std::lock_guard lock(m_lock);
    return m_lastRequest;
}

int MailboxServer::inFlight() const
{
    std::lock_guard lock(m_lock);
    return m_inFlight;
}

int MailboxServer::activeWatchCount() const
{
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_watches.size());
}

void MailboxServer::log(const std::string& line) const
{
    if (m_log)
        m_log(line);
}

}
