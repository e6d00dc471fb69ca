#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

PermissionResolver resolverWith(std::shared_ptr<ProbePool> pool, double timeoutSeconds)
{
    PermissionResolver resolver(
        "/nonexistent-home", "/nonexistent-home/.local/share/Vellumar", timeoutSeconds);
    resolver.probePool = std::move(pool);
    return resolver;
}

}

TEST(ProbePool, RunsWorkUpToItsLimitOnWorkersThatSurviveWhatTheyRun)
{
    auto pool = std::make_shared<ProbePool>(2);
    auto held = std::make_shared<test::HeldCalls>();
    auto work = [held] { held->hold("work"); };
    ASSERT_TRUE(pool->submit([] { throw std::runtime_error("body failed"); }));
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(test::eventually([&] { return pool->submit(work); }));
    ASSERT_TRUE(held->arrived(2));
    EXPECT_FALSE(pool->submit(work));
    held->release("work");
    // The same two workers take new work once free.
    int accepted = 0;
    EXPECT_TRUE(test::eventually([&] { return (accepted += pool->submit(work) ? 1 : 0) == 2; }));
}

TEST(ProbePool, CanBeDestroyedWhileAWorkerHangs)
{
    auto held = std::make_shared<test::HeldCalls>();
    held->release("after");
    {
        ProbePool pool(2);
        ASSERT_TRUE(pool.submit([held] {
            held->hold("hung");
            held->hold("after");
        }));
        ASSERT_TRUE(held->arrived(1));
    }
    // The pool is gone; its worker finishes on the state it co-owns.
    held->release("hung");
    EXPECT_TRUE(held->arrived(2));
}

TEST(PermissionResolverProbe, GivesUpAtTheTimeOutWhileTheBodyStillRuns)
{
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 3.0);
    auto held = std::make_shared<test::HeldCalls>();
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(resolver.probe([held] { return held->hold("body"); }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_FALSE(held->hasLeft("body"));
    held->release("body");
    // The late result went into a box nobody reads; the next probe runs a body of its own.
    EXPECT_EQ(resolver.probe([] { return 2; }), 2);
    EXPECT_THROW(resolver.probe([]() -> int { throw std::range_error("listing failed"); }), std::range_error);
}

TEST(PermissionResolverProbe, TwoHundredBlockedProbesShareABoundedPoolAndTheRestAnswerAtOnce)
{
    constexpr int kProbes = 200;
    const int limit = static_cast<int>(ProbePool::defaultWorkerLimit);
    auto resolver = resolverWith(std::make_shared<ProbePool>(), 600.0);
    auto held = std::make_shared<test::HeldCalls>();
    std::atomic<int> refused = 0, answered = 0;
    auto threadCount = [] {
        auto tasks = fs::directory_iterator("/proc/self/task");
        return std::distance(fs::begin(tasks), fs::end(tasks));
    };
    const auto before = threadCount();
    std::vector<std::jthread> callers;
    for (int index = 0; index < kProbes; ++index) {
        callers.emplace_back([&] {
            refused += resolver.probe([held] { return held->hold("body"); }) ? 0 : 1;
            ++answered;
        });
    }
    ASSERT_TRUE(held->arrived(limit));
    // Every probe beyond the pool's workers answered at once instead of waiting out the time-out.
    ASSERT_TRUE(test::eventually([&] { return answered.load() >= kProbes - limit; }));
    EXPECT_EQ(refused.load(), kProbes - limit);
    // The callers plus at most the pool's workers; a thread per probe would make 400.
    EXPECT_LE(threadCount(), before + kProbes + limit);
    const std::string notInTime = "\" did not open in time. If the Mac shows a privacy prompt for Vellumar "
                                  "for Mac, allow it, then try again.";
    EXPECT_EQ(test::refusalOf([&] { resolver.checkReadable("/", "~/Work"); }),
        "403 folder_blocked \"~/Work" + notInTime);
    EXPECT_EQ(test::refusalOf([&] { resolver.homeFolders({}); }), "403 folder_blocked \"~" + notInTime);
    held->release("body");
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(refused.load(), kProbes - limit);
}
