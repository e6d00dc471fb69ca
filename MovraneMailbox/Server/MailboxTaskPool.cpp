#include "MovraneMailbox/Server/MailboxTaskPool.h"

#include <algorithm>

namespace movrane {

MailboxTaskPool::MailboxTaskPool(std::size_t maxThreads)
    : m_maxThreads(std::max<std::size_t>(maxThreads, 1))
{
}

MailboxTaskPool::~MailboxTaskPool() { close(); }

void MailboxTaskPool::post(Work work)
{
    std::lock_guard lock(m_lock);
    if (m_closed)
        return;
    m_queue.push_back(std::move(work));
    // Each idle worker takes one item; a new thread is needed only for the items beyond them.
    if (m_queue.size() > m_idle && m_threads.size() < m_maxThreads)
        m_threads.emplace_back([this](std::stop_token stop) { workerLoop(stop); });
    else
        m_ready.notify_one();
}

void MailboxTaskPool::close()
{
    std::vector<std::jthread> threads;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        m_queue.clear();
        threads.swap(m_threads);
    }
    for (auto& thread : threads)
        thread.request_stop();
    // The jthreads join as they go.
}

void MailboxTaskPool::workerLoop(std::stop_token stop)
{
    std::unique_lock lock(m_lock);
    for (;;) {
        ++m_idle;
        bool woken = m_ready.wait(lock, stop, [this] { return !m_queue.empty(); });
        --m_idle;
        if (!woken)
            return;
        auto work = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        try {
            work(stop);
        } catch (...) {
            // A failed item fails alone; the items report their own failures.
        }
        lock.lock();
    }
}

}
