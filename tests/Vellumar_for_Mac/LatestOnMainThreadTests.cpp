#include "Vellumar_for_Mac/Model/LatestOnMainThread.h"

#include "QtTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <thread>
#include <vector>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class LatestOnMainThreadTest : public ::testing::Test {
protected:
    // Sends `value` from another thread once the main thread has gone more than an interval without
    // one, and answers whether it was applied.
    bool appliedAfterAQuietInterval(int value)
    {
        bool sent = false;
        QTimer::singleShot(2 * LatestOnMainThread<int>::interval, [&] {
            std::thread([&] { m_latest(value); }).join();
            sent = true;
        });
        return processEventsUntil([&] { return sent && !m_applied.empty() && m_applied.back() == value; });
    }

    int m_argc = 1;
    char m_name[24] = "latest_on_main_thread";
    char* m_argv[2] = { m_name, nullptr };
    QCoreApplication m_application { m_argc, m_argv };
    std::vector<int> m_applied;
    LatestOnMainThread<int> m_latest { [this](int value) { m_applied.push_back(value); } };
};

}

TEST_F(LatestOnMainThreadTest, AppliesEachValueThatComesAfterAQuietInterval)
{
    for (int value : { 1, 2, 3 })
        EXPECT_TRUE(appliedAfterAQuietInterval(value)) << value;
    EXPECT_EQ(m_applied, (std::vector<int> { 1, 2, 3 }));
}

TEST_F(LatestOnMainThreadTest, AppliesOnlyTheNewestOfABurstAndOnlyOnce)
{
    // Bursts while the main thread is busy: the first wakes it, the second comes during the interval.
    auto burst = [this](int first, int last) {
        std::thread([&] {
            for (int value = first; value <= last; ++value)
                m_latest(value);
        }).join();
    };
    burst(1, 100);
    ASSERT_TRUE(processEventsUntil([&] { return !m_applied.empty(); }));
    burst(101, 200);
    ASSERT_TRUE(processEventsUntil([&] { return m_applied.size() == 2; }));
    ASSERT_TRUE(appliedAfterAQuietInterval(300));
    EXPECT_EQ(m_applied, (std::vector<int> { 100, 200, 300 }));
}
