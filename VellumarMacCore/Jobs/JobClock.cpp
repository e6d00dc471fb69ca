#include "VellumarMacCore/Jobs/JobClock.h"

namespace vellumar {

namespace {

    class SystemJobClock final : public JobClock {
    public:
        TimePoint now() const override { return std::chrono::system_clock::now(); }

        void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
            TimePoint deadline) const override
        {
            // Waiting for the remaining span rather than for the wall-clock instant keeps the
            // condition variable on its monotonic clock.
            auto remaining = deadline - now();
            if (remaining > TimePoint::duration::zero())
                condition.wait_for(lock, remaining);
        }
    };

}

std::shared_ptr<JobClock> JobClock::system()
{
    static const std::shared_ptr<JobClock> clock = std::make_shared<SystemJobClock>();
    return clock;
}

}
