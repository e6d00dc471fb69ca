// A mailbox clock that runs faster than real time by a fixed factor: a second of its time passes in a
// fraction of a real one, and its sleeps really wait that fraction, so both mailbox ends, the store's
// latency and its rate limit keep their proportions while a test covers minutes in seconds.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace movrane::test {

class ScaledMailboxClock final : public MailboxClock {
public:
    explicit ScaledMailboxClock(double speedUp)
        : m_speedUp(speedUp)
    {
    }

    MailboxTime now() const override
    {
        auto elapsed = (std::chrono::steady_clock::now() - m_start) * m_speedUp;
        return ManualMailboxClock::origin() + std::chrono::duration_cast<MailboxTime::duration>(elapsed);
    }

    void sleep(double seconds, std::stop_token stop) const override
    {
        if (seconds > 0) {
            std::mutex lock;
            std::condition_variable_any never;
            std::unique_lock held(lock);
            never.wait_for(
                held, stop, std::chrono::duration<double>(seconds / m_speedUp), [] { return false; });
        }
        if (stop.stop_requested())
            throw MailboxCancelledError();
    }

    double secondsSinceStart() const
    {
        return std::chrono::duration<double>(now() - ManualMailboxClock::origin()).count();
    }

private:
    const double m_speedUp;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}
