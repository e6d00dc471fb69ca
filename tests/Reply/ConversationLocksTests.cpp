#include "VellumarMacCore/Reply/ConversationLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vellumar;

namespace {

// A guard against a hang, not a measurement.
bool eventually(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return condition();
}

}

TEST(ConversationLocks, HoldersOfOneIdNeverOverlapUnderContention)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    // Shared with the threads, which a lost hand-over leaves waiting behind the test.
    struct Shared {
        ConversationLocks locks;
        std::atomic<bool> inside[3] {};
        int counts[3] {}; // each touched only under its id's lock
        std::atomic<int> overlaps = 0;
        std::atomic<int> finished = 0;
    };
    auto shared = std::make_shared<Shared>();
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([shared, thread] {
            for (int round = 0; round < kRounds; ++round) {
                auto index = (thread + round) % 3;
                ConversationLocks::Hold hold(shared->locks, "ios-" + std::to_string(index));
                shared->overlaps += shared->inside[index].exchange(true);
                ++shared->counts[index];
                shared->inside[index] = false;
            }
            ++shared->finished;
        });
    }
    bool allFinished = eventually([&] { return shared->finished == kThreads; });
    for (auto& thread : threads)
        allFinished ? thread.join() : thread.detach();
    ASSERT_TRUE(allFinished) << "a waiter was never woken";
    EXPECT_EQ(shared->overlaps, 0);
    EXPECT_EQ(shared->counts[0] + shared->counts[1] + shared->counts[2], kThreads * kRounds);
    EXPECT_TRUE(shared->locks.held().empty());
    EXPECT_TRUE(shared->locks.waiting().empty());
}
