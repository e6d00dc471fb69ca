#include "VellumarMacCore/Reply/ConversationLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace vellumar;

namespace {

// A guard against a hang, not a measurement.
constexpr auto kPatience = std::chrono::seconds(60);

bool eventually(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// The locks, and the holders' order of arrival. Shared with the holders' threads, which are never
// joined: a holder a fault leaves blocked fails the test instead of hanging it.
struct Line {
    ConversationLocks locks;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> order;
    std::set<std::string> letGo;

    std::vector<std::string> seen()
    {
        std::lock_guard guard(mutex);
        return order;
    }

    std::size_t waiters() const
    {
        auto all = locks.waiting();
        return all.contains("ios-1") ? all.at("ios-1") : 0;
    }

    void release(const std::string& name)
    {
        std::lock_guard guard(mutex);
        letGo.insert(name);
        changed.notify_all();
    }
};

// A holder of "ios-1" on its own thread: it notes its name once it has the lock and keeps the lock
// until the test lets it go.
void startHolder(const std::shared_ptr<Line>& line, const std::string& name)
{
    std::thread([line, name] {
        line->locks.acquire("ios-1");
        {
            std::unique_lock guard(line->mutex);
            line->order.push_back(name);
            line->changed.wait(guard, [&] { return line->letGo.contains(name); });
        }
        line->locks.release("ios-1");
    }).detach();
}

}

TEST(ConversationLocks, WaitersRunInArrivalOrderAndTheIdIsForgottenAfterTheLastRelease)
{
    auto line = std::make_shared<Line>();
    line->locks.acquire("ios-1");
    startHolder(line, "B");
    ASSERT_TRUE(eventually([&] { return line->waiters() == 1; }));
    startHolder(line, "C");
    ASSERT_TRUE(eventually([&] { return line->waiters() == 2; }));
    // Another id is not held up meanwhile.
    auto other = std::async(std::launch::async, [line] {
        line->locks.acquire("ios-2");
        line->locks.release("ios-2");
    });
    EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(line->seen().empty());

    line->locks.release("ios-1");
    ASSERT_TRUE(eventually([&] { return line->seen().size() == 1; }));
    // Only the first waiter was resumed; the second stays queued behind it.
    EXPECT_EQ(line->waiters(), 1u);
    EXPECT_EQ(line->locks.held(), std::set<std::string> { "ios-1" });

    line->release("B");
    ASSERT_TRUE(eventually([&] { return line->seen().size() == 2; }));
    EXPECT_EQ(line->seen(), (std::vector<std::string> { "B", "C" }));
    EXPECT_EQ(line->waiters(), 0u);
    line->release("C");
    ASSERT_TRUE(eventually([&] { return line->locks.held().empty(); }));
    EXPECT_TRUE(line->locks.waiting().empty());
}

TEST(ConversationLocks, HoldReleasesOnEveryWayOutAndReleasingAFreeIdChangesNothing)
{
    ConversationLocks locks;
    locks.release("ios-1");
    try {
        ConversationLocks::Hold hold(locks, "ios-1");
        locks.release("ios-2");
        EXPECT_EQ(locks.held(), std::set<std::string> { "ios-1" });
        throw std::runtime_error("the run failed");
    } catch (const std::runtime_error&) {
    }
    locks.release("ios-1");
    EXPECT_TRUE(locks.held().empty());
    EXPECT_TRUE(locks.waiting().empty());
}

TEST(ConversationLocks, HoldersOfOneIdNeverOverlapUnderContention)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    struct Shared {
        ConversationLocks locks;
        const std::vector<std::string> ids { "ios-1", "ios-2", "ios-3" };
        std::map<std::string, std::atomic<bool>> inside;
        std::map<std::string, int> counts; // touched only under the id's conversation lock
        std::atomic<int> overlaps { 0 };
        std::atomic<int> finished { 0 };
    };
    auto shared = std::make_shared<Shared>();
    for (const auto& id : shared->ids) {
        shared->inside[id] = false;
        shared->counts[id] = 0;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([shared, t] {
            for (int round = 0; round < kRounds; ++round) {
                const auto& id = shared->ids[static_cast<std::size_t>(t + round) % shared->ids.size()];
                ConversationLocks::Hold hold(shared->locks, id);
                if (shared->inside.at(id).exchange(true))
                    ++shared->overlaps;
                ++shared->counts.at(id);
                shared->inside.at(id) = false;
            }
            ++shared->finished;
        });
    }
    bool allFinished = eventually([&] { return shared->finished == kThreads; });
    // Threads a lost hand-over left waiting are left behind; they own what they use.
    for (auto& thread : threads)
        allFinished ? thread.join() : thread.detach();
    ASSERT_TRUE(allFinished) << "a waiter was never woken";
    EXPECT_EQ(shared->overlaps.load(), 0);
    int total = 0;
    for (const auto& [id, count] : shared->counts)
        total += count;
    EXPECT_EQ(total, kThreads * kRounds);
    EXPECT_TRUE(shared->locks.held().empty());
    EXPECT_TRUE(shared->locks.waiting().empty());
}
