#include "MovraneMailbox/Server/MailboxTaskPool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

namespace movrane {
namespace {

    constexpr auto kDeadline = std::chrono::seconds(20);

    // Work items that hold their worker until released, counting how many run at once.
    class HeldWork {
    public:
        MailboxTaskPool::Work item(int number)
        {
            return [this, number](std::stop_token) {
                std::unique_lock lock(m_lock);
                m_started.push_back(number);
                m_running++;
                m_mostAtOnce = std::max(m_mostAtOnce, m_running);
                m_changed.notify_all();
                m_changed.wait(lock, [&] { return m_released; });
                m_running--;
                m_finished++;
                m_changed.notify_all();
            };
        }
        bool waitForStarted(std::size_t count)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, kDeadline, [&] { return m_started.size() >= count; });
        }
        bool waitForFinished(int count)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, kDeadline, [&] { return m_finished >= count; });
        }
        void release()
        {
            std::lock_guard lock(m_lock);
            m_released = true;
            m_changed.notify_all();
        }
        std::vector<int> started()
        {
            std::lock_guard lock(m_lock);
            return m_started;
        }
        int mostAtOnce()
        {
            std::lock_guard lock(m_lock);
            return m_mostAtOnce;
        }

    private:
        std::mutex m_lock;
        std::condition_variable m_changed;
        std::vector<int> m_started;
        int m_running = 0;
        int m_mostAtOnce = 0;
        int m_finished = 0;
        bool m_released = false;
    };

    // Posts `count` held items to a pool of `threads`, lets them go once the first ones run, and
    // answers once all have finished.
    void runHeld(HeldWork& work, std::size_t threads, int count)
    {
        MailboxTaskPool pool(threads);
        for (int number = 0; number < count; ++number)
            pool.post(work.item(number));
        ASSERT_TRUE(work.waitForStarted(threads));
        work.release();
        ASSERT_TRUE(work.waitForFinished(count));
    }

    TEST(MailboxTaskPool, RunsNoMoreThanItsBoundAtOnce)
    {
        HeldWork work;
        runHeld(work, 3, 7);
        EXPECT_EQ(work.mostAtOnce(), 3);
        EXPECT_EQ(work.started().size(), 7u);
    }

    TEST(MailboxTaskPool, WaitingWorkBeginsInTheOrderItWasPosted)
    {
        HeldWork work;
        runHeld(work, 1, 5);
        EXPECT_EQ(work.started(), (std::vector<int> { 0, 1, 2, 3, 4 }));
    }

    TEST(MailboxTaskPool, ClosingStopsRunningWorkWaitsForItAndDropsTheRest)
    {
        HeldWork work;
        MailboxTaskPool pool(1);
        std::promise<void> running;
        bool stopSeen = false;
        pool.post([&](std::stop_token stop) {
            running.set_value();
            std::mutex lock;
            std::condition_variable_any never;
            std::unique_lock held(lock);
            never.wait(held, stop, [] { return false; });
            stopSeen = stop.stop_requested();
        });
        pool.post(work.item(1));
        ASSERT_EQ(running.get_future().wait_for(kDeadline), std::future_status::ready);
        pool.close();
        EXPECT_TRUE(stopSeen);
        pool.post(work.item(2));
        EXPECT_EQ(work.started(), std::vector<int> {});
    }

    TEST(MailboxTaskPool, AThrowingItemLeavesTheWorkerServing)
    {
        HeldWork work;
        MailboxTaskPool pool(1);
        pool.post([](std::stop_token) { throw std::runtime_error("item failed"); });
        pool.post(work.item(1));
        work.release();
        EXPECT_TRUE(work.waitForFinished(1));
    }

}
}
