#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Where probe bodies wait until the test opens it, at most `cap`. Shared with the bodies, which may
// outlive the test's frame.
class Latch {
public:
    bool wait(std::chrono::seconds cap)
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        return m_changed.wait_for(lock, cap, [this] { return m_open; });
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    // True once `count` bodies wait; false only after a deadline that a working pool never reaches.
    bool awaitWaiting(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 60s, [&] { return m_waiting >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_waiting = 0;
    bool m_open = false;
};

PermissionResolver resolverWith(std::shared_ptr<ProbePool> pool, double timeoutSeconds)
{
    PermissionResolver resolver(
        "/nonexistent-home", "/nonexistent-home/.local/share/Vellumar", timeoutSeconds);
    resolver.probePool = std::move(pool);
    return resolver;
}

const std::string kNotInTime
    = "\" did not open in time. If the Mac shows a privacy prompt for Vellumar for Mac, "
      "allow it, then try again.";

}

TEST(ProbePool, RunsWorkUpToItsLimitOnWorkersThatSurviveWhatTheyRun)
{
    auto pool = std::make_shared<ProbePool>(2);
    auto latch = std::make_shared<Latch>();
    auto work = [latch] { latch->wait(60s); };
    ASSERT_TRUE(pool->submit([] { throw std::runtime_error("body failed"); }));
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(test::eventually([&] { return pool->submit(work); }));
    ASSERT_TRUE(latch->awaitWaiting(2));
    EXPECT_FALSE(pool->submit(work));
    latch->open();
    // The same two workers take new work once free.
    int accepted = 0;
    EXPECT_TRUE(test::eventually([&] {
        accepted += pool->submit(work) ? 1 : 0;
        return accepted == 2;
    }));
}

TEST(ProbePool, CanBeDestroyedWhileAWorkerHangs)
{
    auto hung = std::make_shared<Latch>();
    auto finished = std::make_shared<Latch>();
    {
        ProbePool pool(2);
        ASSERT_TRUE(pool.submit([hung, finished] {
            hung->wait(60s);
            finished->wait(0s);
        }));
        ASSERT_TRUE(hung->awaitWaiting(1));
    }
    // The pool is gone; its worker finishes on the state it co-owns.
    hung->open();
    EXPECT_TRUE(finished->awaitWaiting(1));
}

TEST(PermissionResolverProbe, ReturnsTheBodysValueOrRethrowsItsError)
{
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 60.0);
    EXPECT_EQ(resolver.probe([] { return 42; }), 42);
    EXPECT_EQ(resolver.probe([] { return std::optional<int>(); }),
        std::optional<std::optional<int>>(std::in_place));
    EXPECT_THROW(resolver.probe([]() -> int { throw std::range_error("listing failed"); }), std::range_error);
}

TEST(PermissionResolverProbe, GivesUpAtTheTimeOutWhileTheBodyStillRuns)
{
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 3.0);
    auto latch = std::make_shared<Latch>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto started = std::chrono::steady_clock::now();
    // The body would take 5 s unless the latch opens first.
    auto result = resolver.probe([latch, finished] {
        latch->wait(5s);
        finished->store(true);
        return 1;
    });
    EXPECT_FALSE(result);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_FALSE(finished->load());
    latch->open();
    // The late result went into a box nobody reads; the next probe runs a body of its own.
    EXPECT_EQ(resolver.probe([] { return 2; }), 2);
}

TEST(PermissionResolverProbe, AFullPoolAnswersAtOnce)
{
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 100.0);
    auto latch = std::make_shared<Latch>();
    std::vector<std::jthread> callers;
    for (int index = 0; index < 2; ++index)
        callers.emplace_back([resolver, latch] { resolver.probe([latch] { return latch->wait(60s); }); });
    ASSERT_TRUE(latch->awaitWaiting(2));
    // Far below the 100 s time-out, which a full pool must not wait out.
    auto probed = std::async(std::launch::async, [&] { return resolver.probe([] { return 3; }); });
    ASSERT_EQ(probed.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(probed.get());
    EXPECT_EQ(test::refusalOf([&] { resolver.checkReadable("/", "~/Work"); }),
        "403 folder_blocked \"~/Work" + kNotInTime);
    EXPECT_EQ(test::refusalOf([&] { resolver.homeFolders({}); }), "403 folder_blocked \"~" + kNotInTime);
    latch->open();
}

TEST(PermissionResolverProbe, TwoHundredBlockedProbesShareABoundedPool)
{
    constexpr int kProbes = 200;
    const int limit = static_cast<int>(ProbePool::defaultWorkerLimit);
    auto resolver = resolverWith(std::make_shared<ProbePool>(), 600.0);
    auto latch = std::make_shared<Latch>();
    std::atomic<int> refused = 0, answered = 0;
    auto threadCount = [] {
        auto tasks = fs::directory_iterator("/proc/self/task");
        return std::distance(fs::begin(tasks), fs::end(tasks));
    };
    const auto before = threadCount();
    std::vector<std::jthread> callers;
    for (int index = 0; index < kProbes; ++index) {
        callers.emplace_back([&] {
            refused += resolver.probe([latch] { return latch->wait(120s); }) ? 0 : 1;
            ++answered;
        });
    }
    ASSERT_TRUE(latch->awaitWaiting(limit));
    // Every probe beyond the pool's workers answered at once instead of getting a thread.
    ASSERT_TRUE(test::eventually([&] { return answered.load() >= kProbes - limit; }));
    EXPECT_EQ(refused.load(), kProbes - limit);
    // The callers plus at most the pool's workers; a thread per probe would make 400.
    EXPECT_LE(threadCount(), before + kProbes + limit);
    latch->open();
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(refused.load(), kProbes - limit);
}
