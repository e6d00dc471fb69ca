#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vellumar;

namespace {

PermissionResolver resolverWith(std::shared_ptr<ProbePool> pool, double timeoutSeconds)
{
    PermissionResolver resolver(
        "/nonexistent-home", "/nonexistent-home/.local/share/Vellumar", timeoutSeconds);
    resolver.probePool = std::move(pool);
    return resolver;
}

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
    // A worker counts as busy until a moment after its body answered, so every probe here gets a
    // worker that no earlier probe can still be holding: the hung one, and one each for the two after.
    auto resolver = resolverWith(std::make_shared<ProbePool>(3), 1.0);
    auto held = std::make_shared<test::HeldCalls>();
    EXPECT_FALSE(resolver.probe([held] { return held->hold("body"); }));
    EXPECT_FALSE(held->hasLeft("body"));
    // The late body keeps its worker; the next probes run bodies of their own meanwhile.
    EXPECT_EQ(resolver.probe([] { return 2; }), 2);
    EXPECT_THROW(resolver.probe([]() -> int { throw std::range_error("listing failed"); }), std::range_error);
    // Its result goes into a box nobody reads.
    held->release("body");
    EXPECT_TRUE(test::eventually([&] { return held->hasLeft("body"); }));
}

TEST(PermissionResolverProbe, TwoHundredBlockedProbesShareABoundedPoolAndTheRestAnswerAtOnce)
{
    constexpr int kProbes = 200;
    const int limit = static_cast<int>(ProbePool::defaultWorkerLimit);
    auto resolver = resolverWith(std::make_shared<ProbePool>(), 600.0);
    auto held = std::make_shared<test::HeldCalls>();
    std::atomic<int> refused = 0, answered = 0;
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
    EXPECT_EQ(test::refusalOf([&] { resolver.checkReadable("/", "~/Work"); }),
        "403 folder_blocked \"~/Work\" did not open in time. If the Mac shows a privacy prompt for Vellumar "
        "for Mac, allow it, then try again.");
    held->release("body");
    callers.clear();
    EXPECT_EQ(refused.load(), kProbes - limit);
}
