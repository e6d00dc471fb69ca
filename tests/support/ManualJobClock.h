// A job clock that stands still until the test moves it; moving it wakes every timed wait, which then
// sees whether its deadline has passed. Tests drive long polls and question lifetimes with it instead of
// sleeping.
#pragma once

#include "VellumarMacCore/Jobs/JobClock.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

namespace vellumar::test {

class ManualJobClock final : public JobClock {
public:
    static constexpr auto kStart = std::chrono::sys_days { std::chrono::year { 2025 } / 3 / 1 };

    TimePoint now() const override
    {
        std::lock_guard guard(m_timeLock);
        return m_now;
    }

    void advance(std::chrono::system_clock::duration span)
    {
        {
            std::lock_guard guard(m_timeLock);
            m_now += span;
        }
        // A parked sleeper holds its caller's mutex from its registration until it waits, so holding that
        // mutex while notifying reaches it in its wait. The caller's mutex is only tried: sleepers take
        // the list's lock while holding theirs, and blocking on it here could deadlock with them.
        for (bool missedOne = true; missedOne;) {
            missedOne = false;
            {
                std::lock_guard guard(m_sleepersLock);
                for (const auto& sleeper : m_sleepers) {
                    std::unique_lock wake(*sleeper.mutex, std::try_to_lock);
                    if (wake)
                        sleeper.condition->notify_all();
                    else
                        missedOne = true;
                }
            }
            if (missedOne)
                std::this_thread::yield();
        }
    }

    void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
        TimePoint deadline) const override
    {
        std::list<Sleeper>::iterator self;
        {
            std::lock_guard guard(m_sleepersLock);
            self = m_sleepers.insert(m_sleepers.end(), { &condition, lock.mutex() });
            m_sleepersChanged.notify_all();
        }
        if (now() < deadline)
            condition.wait(lock);
        std::lock_guard guard(m_sleepersLock);
        m_sleepers.erase(self);
        m_sleepersChanged.notify_all();
    }

    // Blocks until `count` timed waits are parked, so that a test moves the clock only once they have
    // taken their deadlines from it. False when that does not happen within a generous real-time limit.
    bool awaitSleepers(std::size_t count) const
    {
        std::unique_lock lock(m_sleepersLock);
        return m_sleepersChanged.wait_for(
            lock, std::chrono::seconds(60), [&] { return m_sleepers.size() >= count; });
    }

private:
    struct Sleeper {
        std::condition_variable* condition;
        std::mutex* mutex;
    };

    mutable std::mutex m_timeLock;
    TimePoint m_now { kStart };
    mutable std::mutex m_sleepersLock;
    mutable std::condition_variable m_sleepersChanged;
    mutable std::list<Sleeper> m_sleepers;
};

}
