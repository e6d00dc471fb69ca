// A mailbox clock that tests move by hand: it stands still until advanced, and its sleeps return at
// once after being recorded, unless a test gives them something to do (block, throw).
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace movrane::test {

class ManualMailboxClock final : public MailboxClock {
public:
    static MailboxTime origin()
    {
        using namespace std::chrono;
        return MailboxTime { sys_days { year { 2026 } / 3 / 1 } };
    }

    MailboxTime now() const override
    {
        std::lock_guard lock(m_lock);
        return m_now;
    }

    void sleep(double seconds, std::stop_token) const override
    {
        std::function<void(double)> hook;
        {
            std::lock_guard lock(m_lock);
            m_sleeps.push_back(seconds);
            hook = m_onSleep;
        }
        if (hook)
            hook(seconds);
    }

    // The clock reads origin() + `seconds`.
    void setSeconds(double seconds)
    {
        std::lock_guard lock(m_lock);
        m_now = origin()
            + std::chrono::duration_cast<MailboxTime::duration>(std::chrono::duration<double>(seconds));
    }

    std::vector<double> sleeps() const
    {
        std::lock_guard lock(m_lock);
        return m_sleeps;
    }

    // Runs inside every later sleep, on the sleeping thread; what it throws, the sleep throws.
    void onSleep(std::function<void(double)> hook)
    {
        std::lock_guard lock(m_lock);
        m_onSleep = std::move(hook);
    }

private:
    mutable std::mutex m_lock;
    MailboxTime m_now = origin();
    mutable std::vector<double> m_sleeps;
    std::function<void(double)> m_onSleep;
};

}
