#include "VellumarMacCore/Foundations/ParallelEach.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vellumar {

namespace {

    constexpr unsigned kMostThreads = 4;

}

void parallelEach(
    std::size_t count, const std::function<void(std::size_t)>& each, const ParallelShares& shares)
{
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> failed = false;
    std::mutex failureLock;
    std::exception_ptr failure;
    const std::size_t claimed = std::max<std::size_t>(shares.claimedAtOnce, 1);
    auto takeShare = [&] {
        for (std::size_t first; !failed && (first = next.fetch_add(claimed)) < count;) {
            const std::size_t end = std::min(count, first + claimed);
            try {
                for (std::size_t index = first; index < end; ++index)
                    each(index);
            } catch (...) {
                std::lock_guard lock(failureLock);
                if (!failure)
                    failure = std::current_exception();
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        if (count >= shares.sharedFrom) {
            const unsigned wanted = std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads) - 1;
            try {
                helpers.reserve(wanted);
                while (helpers.size() < wanted)
                    helpers.emplace_back(takeShare);
            } catch (const std::system_error&) {
                // No more threads: those that started and the caller's take every item.
            }
        }
        takeShare();
    }
    if (failure)
        std::rethrow_exception(failure);
}

}
