#include "VellumarMacCore/Permissions/ProbePool.h"

#include <chrono>
#include <deque>
#include <system_error>
#include <thread>

#include <pthread.h>

namespace vellumar {

struct ProbePool::State {
    explicit State(std::size_t limit)
        : workerLimit(limit)
    {
    }

    const std::size_t workerLimit;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue; // never longer than `idle`
    std::size_t workers = 0;
    std::size_t idle = 0;
    bool stopping = false;
};

namespace {

    // An idle worker ends after this long, so a burst of probes leaves no crowd of threads behind.
    constexpr auto kIdleLifetime = std::chrono::seconds(30);

    void runWork(const std::function<void()>& work) noexcept
    {
        try {
            work();
        } catch (...) {
            // The caller learns nothing from a worker; a probe body reports through its box.
        }
    }

    // Runs `first`, then whatever is queued, until idle too long or the pool goes away. The worker
    // is detached and co-owns the state, so a pool can be destroyed while a worker hangs.
    template <typename State> void workerLoop(std::shared_ptr<State> state, std::function<void()> first)
    {
        pthread_setname_np(pthread_self(), "vellumar.probe");
        std::function<void()> work = std::move(first);
        while (work) {
            runWork(work);
            work = nullptr;
            std::unique_lock lock(state->mutex);
            ++state->idle;
            state->wake.wait_for(
                lock, kIdleLifetime, [&] { return !state->queue.empty() || state->stopping; });
            --state->idle;
            if (!state->queue.empty()) {
                work = std::move(state->queue.front());
                state->queue.pop_front();
            } else {
                --state->workers;
            }
        }
    }

}

std::shared_ptr<ProbePool> ProbePool::shared()
{
    static const std::shared_ptr<ProbePool> pool = std::make_shared<ProbePool>();
    return pool;
}

ProbePool::ProbePool(std::size_t workerLimit)
    : m_state(std::make_shared<State>(workerLimit))
{
}

ProbePool::~ProbePool()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake.notify_all();
}

bool ProbePool::submit(std::function<void()> work)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping)
            return false;
        if (m_state->queue.size() < m_state->idle) {
            m_state->queue.push_back(std::move(work));
            m_state->wake.notify_one();
            return true;
        }
        if (m_state->workers >= m_state->workerLimit)
            return false;
        ++m_state->workers;
    }
    try {
        std::thread(workerLoop<State>, m_state, std::move(work)).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(m_state->mutex);
        --m_state->workers;
        return false;
    }
}

}
