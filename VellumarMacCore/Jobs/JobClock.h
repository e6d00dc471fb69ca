// The time source of the job manager: the dates it stamps jobs with, and timed waits measured on that
// same clock, so that a test can move time forward instead of sleeping through long polls and
// question lifetimes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace vellumar {

class JobClock {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    virtual ~JobClock() = default;

    // Any thread.
    virtual TimePoint now() const = 0;

    // Blocks until `condition` is notified or `now()` reaches `deadline`. It may also return early for
    // no reason, so callers check their own condition and the deadline again. `lock` holds the mutex
    // that guards what `condition` announces, on entry and on return; it may be released in between.
    virtual void waitUntil(
        std::condition_variable& condition, std::unique_lock<std::mutex>& lock, TimePoint deadline) const = 0;

    // The computer's clock.
    static std::shared_ptr<JobClock> system();
};

}
