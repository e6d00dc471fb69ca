// A mailbox clock that stands still until the test moves it: a sleep lasts until the clock has been
// moved past its end, or until its stop is requested, when it throws. A test may make every sleep
// throw at once instead.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxError.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vellumar::test {

class ManualSleepMailboxClock final : public movrane::MailboxClock {
public:
    movrane::MailboxTime now() const override
    {
        std::lock_guard lock(m_lock);
        return m_now;
    }

    void sleep(double seconds, std::stop_token stop) const override
    {
        std::unique_lock lock(m_lock);
        if (m_sleepsThrow)
            throw movrane::MailboxCancelledError();
        if (seconds <= 0)
            return;
        auto end = m_now + toDuration(seconds);
        m_sleeping.push_back(seconds);
        m_changed.notify_all();
        bool reached = m_changed.wait(lock, stop, [&] { return m_now >= end; });
        m_sleeping.erase(std::find(m_sleeping.begin(), m_sleeping.end(), seconds));
        m_changed.notify_all();
        if (!reached)
            throw movrane::MailboxCancelledError();
    }

    void advance(double seconds)
    {
        std::lock_guard lock(m_lock);
        m_now += toDuration(seconds);
        m_changed.notify_all();
    }

    void makeSleepsThrow()
    {
        std::lock_guard lock(m_lock);
        m_sleepsThrow = true;
    }

    // Waits, for at most 20 seconds of real time, until a sleep of that length is under way.
    bool waitForSleep(double seconds)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
            [&] { return std::find(m_sleeping.begin(), m_sleeping.end(), seconds) != m_sleeping.end(); });
    }

    bool isSleeping(double seconds) const
    {
        std::lock_guard lock(m_lock);
        return std::find(m_sleeping.begin(), m_sleeping.end(), seconds) != m_sleeping.end();
    }

private:
    static movrane::MailboxTime::duration toDuration(double seconds)
    {
        return std::chrono::duration_cast<movrane::MailboxTime::duration>(
            std::chrono::duration<double>(seconds));
    }

    mutable std::mutex m_lock;
    mutable std::condition_variable_any m_changed;
    movrane::MailboxTime m_now { std::chrono::sys_days { std::chrono::year { 2026 } / 3 / 1 } };
    mutable std::vector<double> m_sleeping;
    bool m_sleepsThrow = false;
};

}
