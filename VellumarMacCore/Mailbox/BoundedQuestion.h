// One question to iCloud that callers wait for only so long: the answer when it comes within a time
// limit, nothing otherwise. A call that hangs keeps running to its end on a thread of its own, and
// while it does every later caller waits for that same call's answer instead of asking again, so a
// store that never answers holds one thread however many phones register meanwhile.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

namespace vellumar {

// Any thread. The operation must not throw; it runs on a detached thread that holds what it captures,
// so it may outlive the question and its caller.
template <typename Answer> class BoundedQuestion {
public:
    explicit BoundedQuestion(std::function<Answer()> operation)
        : m_shared(std::make_shared<Shared>(std::move(operation)))
    {
    }

    // The answer when it arrives within `seconds` on `clock`; none when the limit passes first or the
    // clock's sleep throws. The first value wins: an answer that comes after this caller gave up is
    // dropped for it, and goes only to callers still waiting.
    std::optional<Answer> first(double seconds, const movrane::MailboxClock& clock)
    {
        auto round = join();
        try {
            clock.sleep(seconds, round->answered.get_token());
        } catch (...) {
            // Cut short by the answer, or by the clock itself: either way what has arrived is it.
        }
        std::lock_guard lock(round->lock);
        return round->answer;
    }

private:
    // One call of the operation and the callers waiting for it.
    struct Round {
        std::mutex lock;
        std::optional<Answer> answer;
        // Requested once the answer is there: it ends the waiters' sleeps.
        std::stop_source answered;
    };
    struct Shared {
        explicit Shared(std::function<Answer()> call)
            : operation(std::move(call))
        {
        }
        const std::function<Answer()> operation;
        std::mutex lock;
        std::shared_ptr<Round> outstanding;
    };

    // The round under way, or a new one whose call starts now.
    std::shared_ptr<Round> join()
    {
        std::lock_guard lock(m_shared->lock);
        if (m_shared->outstanding)
            return m_shared->outstanding;
        auto round = std::make_shared<Round>();
        // The thread's last step waits for this lock, so it cannot clear the slot before it is set.
        std::thread([shared = m_shared, round] {
            std::optional<Answer> answer;
            try {
                answer = shared->operation();
            } catch (...) {
                // Against the contract; the waiters then hear nothing, as if the limit had passed.
            }
            {
                std::lock_guard answered(round->lock);
                round->answer = std::move(answer);
            }
            round->answered.request_stop();
            std::lock_guard ended(shared->lock);
            if (shared->outstanding == round)
                shared->outstanding.reset();
        }).detach();
        m_shared->outstanding = round;
        return round;
    }

    const std::shared_ptr<Shared> m_shared;
};

}
