#include "Platform/NetworkPath.h"

#include "tests/support/PrivateNetwork.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <pthread.h>

namespace vellumar::platform {

namespace {

    using namespace std::chrono_literals;

    // Counts the updates and the name of the thread they came on.
    struct UpdateLog {
        std::mutex mutex;
        std::condition_variable changed;
        int updates = 0;
        std::string threadName;

        void record()
        {
            std::array<char, 16> name {};
            pthread_getname_np(pthread_self(), name.data(), name.size());
            std::lock_guard lock(mutex);
            ++updates;
            threadName = name.data();
            changed.notify_all();
        }

        // Whether the count reached `count` within ten seconds, a guard against a hang.
        bool waitFor(int count)
        {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, 10s, [&] { return updates >= count; });
        }

        int count()
        {
            std::lock_guard lock(mutex);
            return updates;
        }
    };

}

TEST(NetworkPath, TellsOnceAtStartAndAgainWhenAnAddressAppears)
{
    for (bool kernelNotifications : { true, false }) {
        SCOPED_TRACE(kernelNotifications ? "route notifications" : "interface poll");
        std::string whyNot;
        auto network = test::PrivateNetwork::enter(whyNot);
        if (!network)
            GTEST_SKIP() << whyNot;
        UpdateLog log;
        NetworkPath path(
            [&] { log.record(); }, { .pollInterval = 100ms, .kernelNotifications = kernelNotifications });
        EXPECT_EQ(path.followsKernel(), kernelNotifications);
        ASSERT_TRUE(log.waitFor(1));
        int before = log.count();

        ASSERT_TRUE(network->addLink("lan0", "10.77.0.2/24"));
        EXPECT_TRUE(log.waitFor(before + 1));
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.threadName, "vellumar.path");
    }
}

TEST(NetworkPath, StopsWithoutAnyChange)
{
    UpdateLog log;
    {
        NetworkPath path([&] { log.record(); }, { .pollInterval = 60000ms, .kernelNotifications = false });
        ASSERT_TRUE(log.waitFor(1));
    }
    EXPECT_EQ(log.count(), 1);
}

}
