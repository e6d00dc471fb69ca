#include "VellumarMacCore/Relay/RequestWorkers.h"

#include <pthread.h>

#include <string>
#include <system_error>

namespace vellumar {

RequestWorkers::RequestWorkers(std::size_t maxThreads)
    : m_maxThreads(maxThreads)
{
}

RequestWorkers::~RequestWorkers()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        dropped.swap(m_pending);
    }
    m_changed.notify_all();
    // No thread is started once `m_stopping` is set, so the list no longer changes.
    for (auto& thread : m_threads)
        thread.join();
}

void RequestWorkers::submit(std::function<void()> work)
{
    {
        std::lock_guard lock(m_lock);
        if (m_stopping)
            return;
        m_pending.push_back(std::move(work));
        // An idle thread takes one pending item each: more pending than idle means this one would wait.
        if (m_pending.size() > m_idle && m_threads.size() < m_maxThreads) {
            try {
                m_threads.emplace_back([this] { run(); });
                pthread_setname_np(m_threads.back().native_handle(), std::string(kThreadName).c_str());
                return;
            } catch (const std::system_error&) {
                // Out of threads: the work waits for one of those running.
            }
        }
    }
    m_changed.notify_one();
}

void RequestWorkers::run()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        ++m_idle;
        m_changed.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        --m_idle;
        if (m_stopping)
            return;
        auto work = std::move(m_pending.front());
        m_pending.pop_front();
        lock.unlock();
        work();
        // Destroyed before the lock is taken again: it may hold what queues more work.
        work = nullptr;
        lock.lock();
    }
}

}
