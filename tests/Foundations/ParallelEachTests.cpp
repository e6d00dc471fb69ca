#include "VellumarMacCore/Foundations/ParallelEach.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using vellumar::parallelEach;

TEST(ParallelEach, CallsEachIndexOnceWhetherSharedOrNot)
{
    // Below the threshold, at it, and a count that leaves a last claim short.
    for (std::size_t count :
        { std::size_t { 0 }, std::size_t { 5 }, std::size_t { 64 }, std::size_t { 1001 } }) {
        std::vector<std::atomic<int>> calls(count);
        std::mutex lock;
        std::set<std::thread::id> threads;
        parallelEach(count, [&](std::size_t index) {
            ++calls[index];
            std::lock_guard held(lock);
            threads.insert(std::this_thread::get_id());
        });
        for (std::size_t index = 0; index < count; ++index)
            EXPECT_EQ(calls[index], 1) << count << " items, index " << index;
        if (count > 0 && count < 64) {
            EXPECT_EQ(threads, (std::set<std::thread::id> { std::this_thread::get_id() })) << count;
        }
    }
}

TEST(ParallelEach, ThrowsTheFailureOnceEveryCallUnderWayHasReturned)
{
    std::atomic<int> running = 0;
    std::atomic<int> runningAtTheEnd = -1;
    EXPECT_THROW(
        {
            try {
                parallelEach(10'000, [&](std::size_t index) {
                    ++running;
                    if (index == 100)
                        throw std::runtime_error("failed");
                    --running;
                });
            } catch (...) {
                runningAtTheEnd = running.load();
                throw;
            }
        },
        std::runtime_error);
    // The failed call alone never returned; no other was left under way.
    EXPECT_EQ(runningAtTheEnd, 1);
}

}
