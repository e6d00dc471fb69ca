#pragma once

#include "VellumarMacCore/Jobs/JobClock.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

namespace vellumar::test {

// A job clock that stands still until the test moves it; moving it wakes every timed wait, which then
// sees whether its deadline has passed. Tests drive long polls and question lifetimes with it instead of
// sleeping.
class ManualJobClock final : public JobClock {
public:
    TimePoint now() const override
    {
        std::lock_guard guard(m_lock);
        return m_now;
    }

    void advance(std::chrono::system_clock::duration span)
    {
        std::unique_lock guard(m_lock);
        m_now += span;
        // A parked sleeper holds its caller's mutex from its registration until it waits, so holding that
        // mutex while notifying reaches it in its wait. That mutex is only tried: sleepers take this
        // clock's lock while holding theirs.
        for (bool missedOne = true; missedOne;) {
            missedOne = false;
            for (const auto& [condition, mutex] : m_sleepers) {
                std::unique_lock wake(*mutex, std::try_to_lock);
                missedOne |= !wake;
                if (wake)
                    condition->notify_all();
            }
            guard.unlock();
            std::this_thread::yield();
            guard.lock();
        }
    }

    void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
        TimePoint deadline) const override
    {
        std::unique_lock guard(m_lock);
        auto self = m_sleepers.insert(m_sleepers.end(), { &condition, lock.mutex() });
        m_changed.notify_all();
        if (m_now < deadline) {
            guard.unlock();
            condition.wait(lock);
            guard.lock();
        }
        m_sleepers.erase(self);
        bool held = std::exchange(m_holdNext, false);
        m_holding |= held;
        m_changed.notify_all();
        if (held) {
            lock.unlock();
            m_changed.wait(guard, [this] { return !m_holding; });
            guard.unlock();
            lock.lock();
        }
    }

    // Blocks until `count` timed waits are parked, so that a test moves the clock only once they have
    // taken their deadlines from it.
    bool awaitSleepers(std::size_t count) const
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(
            guard, std::chrono::seconds(60), [&] { return m_sleepers.size() >= count; });
    }

    // The next timed wait to end lets go of its caller's lock and stays away until `letGo`, as a thread
    // the scheduler is slow to run again would; `awaitHeld` returns once it is away.
    void holdNextWaker()
    {
        std::lock_guard guard(m_lock);
        m_holdNext = true;
    }
    bool awaitHeld() const
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(60), [this] { return m_holding; });
    }
    void letGo()
    {
        std::lock_guard guard(m_lock);
        m_holdNext = m_holding = false;
        m_changed.notify_all();
    }

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    TimePoint m_now { std::chrono::sys_days { std::chrono::year { 2025 } / 3 / 1 } };
    mutable std::list<std::pair<std::condition_variable*, std::mutex*>> m_sleepers;
    mutable bool m_holdNext { false };
    mutable bool m_holding { false };
};

}
