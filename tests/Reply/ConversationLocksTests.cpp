#include "VellumarMacCore/Reply/ConversationLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
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

// The locks and what the holders saw, shared with the holders' threads so that a holder a fault
// leaves blocked can outlive the test without touching freed memory.
struct Line {
    ConversationLocks locks;
    std::mutex orderLock;
    std::vector<std::string> order;

    std::vector<std::string> seen()
    {
        std::lock_guard guard(orderLock);
        return order;
    }

    bool waiters(const std::string& conversationID, std::size_t count) const
    {
        auto all = locks.waiting();
        auto found = all.find(conversationID);
        return count == 0 ? found == all.end() : found != all.end() && found->second == count;
    }
};

// One holder on its own thread: takes the lock, notes that it holds it, and keeps it until the test
// lets it go, or gives it back at once when its work was stopped while it waited. A holder that never
// got the lock is left behind when the test ends, so that a fault fails the test instead of hanging it.
class Holder {
public:
    Holder(const std::shared_ptr<Line>& line, std::string conversationID, std::string name)
        : m_acquired(std::make_shared<std::atomic<bool>>(false))
        , m_thread([line, conversationID, name, acquired = m_acquired, stop = m_stop.get_token(),
                       letGo = m_letGo.get_future().share()] {
            line->locks.acquire(conversationID);
            *acquired = true;
            {
                std::lock_guard guard(line->orderLock);
                line->order.push_back(stop.stop_requested() ? name + " (stopped)" : name);
            }
            if (!stop.stop_requested())
                letGo.wait();
            line->locks.release(conversationID);
        })
    {
    }

    ~Holder()
    {
        letGo();
        if (*m_acquired)
            m_thread.join();
        else
            m_thread.detach();
    }

    void letGo()
    {
        if (!m_letGoSent.exchange(true))
            m_letGo.set_value();
    }
    void stop() { m_stop.request_stop(); }

private:
    std::stop_source m_stop;
    std::promise<void> m_letGo;
    std::atomic<bool> m_letGoSent { false };
    std::shared_ptr<std::atomic<bool>> m_acquired;
    std::thread m_thread;
};

}

TEST(ConversationLocks, WaitersOfOneIdRunInArrivalOrderAndTheIdIsForgottenAfterTheLastRelease)
{
    auto line = std::make_shared<Line>();
    line->locks.acquire("ios-1");
    Holder b(line, "ios-1", "B");
    ASSERT_TRUE(eventually([&] { return line->waiters("ios-1", 1); }));
    Holder c(line, "ios-1", "C");
    ASSERT_TRUE(eventually([&] { return line->waiters("ios-1", 2); }));
    EXPECT_TRUE(line->seen().empty());

    line->locks.release("ios-1");
    ASSERT_TRUE(eventually([&] { return line->seen().size() == 1; }));
    EXPECT_EQ(line->seen(), std::vector<std::string> { "B" });
    // Only the first waiter was resumed; the second stays queued behind it.
    EXPECT_TRUE(line->waiters("ios-1", 1));
    EXPECT_EQ(line->locks.held(), std::set<std::string> { "ios-1" });

    b.letGo();
    ASSERT_TRUE(eventually([&] { return line->seen().size() == 2; }));
    EXPECT_EQ(line->seen(), (std::vector<std::string> { "B", "C" }));
    EXPECT_TRUE(line->waiters("ios-1", 0));

    c.letGo();
    ASSERT_TRUE(eventually([&] { return line->locks.held().empty(); }));
    EXPECT_TRUE(line->locks.waiting().empty());
}

TEST(ConversationLocks, AStoppedWaiterGetsItsTurnAndTheNextRunsOnlyAfterItReleases)
{
    auto line = std::make_shared<Line>();
    line->locks.acquire("ios-1");
    Holder b(line, "ios-1", "B");
    ASSERT_TRUE(eventually([&] { return line->waiters("ios-1", 1); }));
    Holder c(line, "ios-1", "C");
    ASSERT_TRUE(eventually([&] { return line->waiters("ios-1", 2); }));

    // Neither another id nor stopping a waiter lets anyone past the holder.
    auto other = std::async(std::launch::async, [line] {
        line->locks.acquire("ios-2");
        line->locks.release("ios-2");
    });
    EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready);
    b.stop();
    EXPECT_TRUE(line->waiters("ios-1", 2));
    line->locks.release("ios-1");
    ASSERT_TRUE(eventually([&] { return line->seen().size() == 2; }));
    EXPECT_EQ(line->seen(), (std::vector<std::string> { "B (stopped)", "C" }));
    c.letGo();
    ASSERT_TRUE(eventually([&] { return line->locks.held().empty(); }));
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
