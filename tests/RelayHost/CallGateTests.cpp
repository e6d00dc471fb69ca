#include "VellumarMacCore/RelayHost/CallGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace vellumar;

TEST(CallGate, OnlyAnOpenGateLetsCallsThrough)
{
    CallGate gate;
    auto call = [&] { return gate.pass([] { return "passed"; }, [] { return "refused"; }); };
    EXPECT_STREQ(call(), "refused");
    gate.open();
    EXPECT_STREQ(call(), "passed");
    gate.close();
    EXPECT_STREQ(call(), "refused");
    gate.waitUntilIdle();
}

TEST(CallGate, WaitingForIdleOutlastsACallUnderWayButNotTheClose)
{
    CallGate gate;
    gate.open();
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> finished = false;
    std::jthread caller([&] {
        gate.pass(
            [&] {
                entered.set_value();
                release.get_future().wait();
                finished = true;
                return 0;
            },
            [] { return 1; });
    });
    entered.get_future().wait();
    gate.close();
    EXPECT_EQ(gate.pass([] { return 0; }, [] { return 1; }), 1);
    std::atomic<bool> finishedWhenIdle = false;
    std::jthread waiter([&] {
        gate.waitUntilIdle();
        finishedWhenIdle = finished.load();
    });
    release.set_value();
    waiter.join();
    EXPECT_TRUE(finishedWhenIdle);
}
