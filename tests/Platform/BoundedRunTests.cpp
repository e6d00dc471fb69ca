#include "Platform/BoundedRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <semaphore>
#include <stdexcept>

namespace vellumar::platform {

using namespace std::chrono_literals;

TEST(BoundedRun, WorkThatReturnsEndsTheWaitAtOnce)
{
    std::atomic<bool> ran = false;
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(runBounded([&] { ran = true; }, 60s));
    EXPECT_TRUE(ran);
    // Far below the limit: the wait ended with the work, not at the deadline.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

TEST(BoundedRun, WorkThatThrowsCountsAsReturned)
{
    EXPECT_TRUE(runBounded([] { throw std::runtime_error("stop failed"); }, 60s));
}

TEST(BoundedRun, WorkThatNeverReturnsIsLeftRunningAfterTwoSeconds)
{
    // Released only after the wait gave up; the thread holds its own share of it.
    auto release = std::make_shared<std::binary_semaphore>(0);
    auto finished = std::make_shared<std::binary_semaphore>(0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(runBounded(
        [release, finished] {
            release->acquire();
            finished->release();
        },
        2000ms));
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 2000ms);
    EXPECT_LT(waited, 2500ms);
    release->release();
    EXPECT_TRUE(finished->try_acquire_for(60s));
}

}
