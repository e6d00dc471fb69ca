#include "VellumarMacCore/Relay/RequestWorkers.h"

namespace vellumar {

RequestWorkers::RequestWorkers(std::size_t threadCount)
{
    m_threads.reserve(threadCount);
    for (std::size_t index = 0; index < threadCount; ++index)
        m_threads.emplace_back([this] { run(); });
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
    }
    m_changed.notify_one();
}

void RequestWorkers::run()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(m_lock);
            m_changed.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
            if (m_stopping)
                return;
            work = std::move(m_pending.front());
            m_pending.pop_front();
        }
        work();
    }
}

}
