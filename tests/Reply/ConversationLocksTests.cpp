#include "VellumarMacCore/Reply/ConversationLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <mutex>
#include <stop_token>
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

// One holder on its own thread: takes the lock, notes that it holds it, and keeps it until the test
// lets it go.
class Holder {
public:
    Holder(ConversationLocks& locks, std::string conversationID, std::string name,
        std::vector<std::string>& order, std::mutex& orderLock)
        : m_thread([&locks, conversationID, name, &order, &orderLock, letGo = m_letGo.get_future()](
                       std::stop_token stop) mutable {
            locks.acquire(conversationID);
            {
                std::lock_guard guard(orderLock);
                order.push_back(stop.stop_requested() ? name + " (stopped)" : name);
            }
            // A holder whose work was stopped while it waited gives the lock back at once.
            if (!stop.stop_requested())
                letGo.wait();
            locks.release(conversationID);
        })
    {
    }

    void letGo() { m_letGo.set_value(); }
    void stop() { m_thread.request_stop(); }

private:
    std::promise<void> m_letGo;
    std::jthread m_thread;
};

struct LocksFixture {
    ConversationLocks locks;
    std::mutex orderLock;
    std::vector<std::string> order;

    std::vector<std::string> seen()
    {
        std::lock_guard guard(orderLock);
        return order;
    }

    bool waiters(const std::string& conversationID, std::size_t count)
    {
        auto all = locks.waiting();
        auto found = all.find(conversationID);
        return count == 0 ? found == all.end() : found != all.end() && found->second == count;
    }
};

}

TEST(ConversationLocks, WaitersOfOneIdRunInArrivalOrderAndTheIdIsForgottenAfterTheLastRelease)
{
    LocksFixture fixture;
    fixture.locks.acquire("ios-1"); // A
    Holder b(fixture.locks, "ios-1", "B", fixture.order, fixture.orderLock);
    ASSERT_TRUE(eventually([&] { return fixture.waiters("ios-1", 1); }));
    Holder c(fixture.locks, "ios-1", "C", fixture.order, fixture.orderLock);
    ASSERT_TRUE(eventually([&] { return fixture.waiters("ios-1", 2); }));
    EXPECT_TRUE(fixture.seen().empty());

    fixture.locks.release("ios-1");
    ASSERT_TRUE(eventually([&] { return fixture.seen().size() == 1; }));
    EXPECT_EQ(fixture.seen(), std::vector<std::string> { "B" });
    // Only the first waiter was resumed; the second stays queued behind it.
    EXPECT_TRUE(fixture.waiters("ios-1", 1));
    EXPECT_EQ(fixture.locks.held(), std::set<std::string> { "ios-1" });

    b.letGo();
    ASSERT_TRUE(eventually([&] { return fixture.seen().size() == 2; }));
    EXPECT_EQ(fixture.seen(), (std::vector<std::string> { "B", "C" }));
    EXPECT_TRUE(fixture.waiters("ios-1", 0));

    c.letGo();
    ASSERT_TRUE(eventually([&] { return fixture.locks.held().empty(); }));
    EXPECT_TRUE(fixture.locks.waiting().empty());
}

TEST(ConversationLocks, AnotherIdIsNotDelayedByAHeldOne)
{
    ConversationLocks locks;
    locks.acquire("ios-1");
    auto other = std::async(std::launch::async, [&] {
        locks.acquire("ios-2");
        locks.release("ios-2");
    });
    EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(locks.held(), std::set<std::string> { "ios-1" });
    locks.release("ios-1");
    EXPECT_TRUE(locks.held().empty());
}

TEST(ConversationLocks, AStoppedWaiterGetsItsTurnAndTheNextRunsOnlyAfterItReleases)
{
    LocksFixture fixture;
    fixture.locks.acquire("ios-1");
    Holder b(fixture.locks, "ios-1", "B", fixture.order, fixture.orderLock);
    ASSERT_TRUE(eventually([&] { return fixture.waiters("ios-1", 1); }));
    Holder c(fixture.locks, "ios-1", "C", fixture.order, fixture.orderLock);
    ASSERT_TRUE(eventually([&] { return fixture.waiters("ios-1", 2); }));

    b.stop();
    // Stopping does not take B out of the line, nor let C pass it.
    EXPECT_TRUE(fixture.waiters("ios-1", 2));
    fixture.locks.release("ios-1");
    ASSERT_TRUE(eventually([&] { return fixture.seen().size() == 2; }));
    EXPECT_EQ(fixture.seen(), (std::vector<std::string> { "B (stopped)", "C" }));
    c.letGo();
    ASSERT_TRUE(eventually([&] { return fixture.locks.held().empty(); }));
}

TEST(ConversationLocks, ReleasingAFreeIdChangesNothing)
{
    ConversationLocks locks;
    locks.release("ios-1");
    EXPECT_TRUE(locks.held().empty());
    locks.acquire("ios-1");
    locks.release("ios-2");
    EXPECT_EQ(locks.held(), std::set<std::string> { "ios-1" });
    locks.release("ios-1");
    locks.release("ios-1");
    EXPECT_TRUE(locks.held().empty());
    EXPECT_TRUE(locks.waiting().empty());
}

TEST(ConversationLocks, HoldReleasesWhenItsScopeEndsByAnException)
{
    ConversationLocks locks;
    try {
        ConversationLocks::Hold hold(locks, "ios-1");
        EXPECT_EQ(locks.held(), std::set<std::string> { "ios-1" });
        throw std::runtime_error("the run failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(locks.held().empty());
}

TEST(ConversationLocks, HoldersOfOneIdNeverOverlapUnderContention)
{
    ConversationLocks locks;
    const std::vector<std::string> ids { "ios-1", "ios-2", "ios-3" };
    std::map<std::string, std::atomic<bool>> inside;
    std::map<std::string, int> counts; // touched only under the id's conversation lock
    for (const auto& id : ids) {
        inside[id] = false;
        counts[id] = 0;
    }
    std::atomic<int> overlaps { 0 };
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    const auto& id = ids[static_cast<std::size_t>(t + round) % ids.size()];
                    ConversationLocks::Hold hold(locks, id);
                    if (inside.at(id).exchange(true))
                        ++overlaps;
                    ++counts.at(id);
                    inside.at(id) = false;
                }
            });
        }
    }
    EXPECT_EQ(overlaps.load(), 0);
    int total = 0;
    for (const auto& [id, count] : counts)
        total += count;
    EXPECT_EQ(total, kThreads * kRounds);
    EXPECT_TRUE(locks.held().empty());
    EXPECT_TRUE(locks.waiting().empty());
}
