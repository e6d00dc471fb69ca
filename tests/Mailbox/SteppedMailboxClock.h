// A mailbox clock a test moves one sleep at a time: a sleep of the stepped length waits until the test
// lets it end, then the clock has moved on by that length. Sleeps of any other length (the server's
// polling) last until they are stopped. A stop request ends a sleep at once by throwing.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vellumar::test {

class SteppedMailboxClock final : public movrane::MailboxClock {
public:
    explicit SteppedMailboxClock(double steppedSeconds)
        : m_steppedSeconds(steppedSeconds)
    {
    }

    movrane::MailboxTime now() const override
    {
        std::lock_guard lock(m_lock);
        return m_now;
    }

    void sleep(double seconds, std::stop_token stop) const override
    {
        std::unique_lock lock(m_lock);
        if (seconds != m_steppedSeconds) {
            ++m_otherSleepsBegun;
            m_changed.notify_all();
            m_changed.wait(lock, stop, [] { return false; });
            throw movrane::MailboxCancelledError();
        }
        ++m_sleepsBegun;
        m_changed.notify_all();
        if (!m_changed.wait(lock, stop, [&] { return m_released > m_sleepsEnded; }))
            throw movrane::MailboxCancelledError();
        ++m_sleepsEnded;
        m_now += std::chrono::duration_cast<movrane::MailboxTime::duration>(
            std::chrono::duration<double>(seconds));
        m_changed.notify_all();
    }

    // Ends the sleep under way, then waits until the sleeper has done its work and sleeps again.
    void step()
    {
        std::unique_lock lock(m_lock);
        ASSERT_TRUE(waitFor(lock, [&] { return m_sleepsBegun > m_released; })) << "nothing sleeps";
        ++m_released;
        m_changed.notify_all();
        ASSERT_TRUE(waitFor(lock, [&] { return m_sleepsBegun > m_released; }))
            << "the sleeper did not come back";
    }

    void steps(int count)
    {
        for (int i = 0; i < count; ++i)
            step();
    }

    // Waits until `count` stepped sleeps have begun.
    bool waitForSleeps(int count)
    {
        std::unique_lock lock(m_lock);
        return waitFor(lock, [&] { return m_sleepsBegun >= count; });
    }

    // Waits until a sleep of another length has begun: its sleeper has finished what it did before.
    bool waitForOtherSleep()
    {
        std::unique_lock lock(m_lock);
        return waitFor(lock, [&] { return m_otherSleepsBegun > 0; });
    }

    int sleepsBegun() const
    {
        std::lock_guard lock(m_lock);
        return m_sleepsBegun;
    }

private:
    template <typename Condition> bool waitFor(std::unique_lock<std::mutex>& lock, Condition condition)
    {
        return m_changed.wait_for(lock, std::chrono::seconds(20), condition);
    }

    const double m_steppedSeconds;
    mutable std::mutex m_lock;
    mutable std::condition_variable_any m_changed;
    mutable movrane::MailboxTime m_now { std::chrono::sys_days { std::chrono::year { 2026 } / 3 / 1 } };
    mutable int m_sleepsBegun = 0;
    mutable int m_sleepsEnded = 0;
    mutable int m_otherSleepsBegun = 0;
    int m_released = 0;
};

}
