#include "AppModelFixture.h"

#include <atomic>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

using AppModelHopTest = AppModelEventTest;

}

TEST_F(AppModelHopTest, CallsFromCoreThreadsRunOnTheMainThreadInOrder)
{
    auto model = launch();
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread core([pointer = QPointer<AppModel>(model.get()), &order, &threads] {
        for (int index = 0; index < 50; ++index) {
            AppModel::onMainThread(pointer, [index, &order, &threads](AppModel&) {
                order.push_back(index);
                threads.push_back(std::this_thread::get_id());
            });
        }
    });
    core.join();
    ASSERT_TRUE(processEventsUntil([&] { return order.size() == 50; }));
    for (int index = 0; index < 50; ++index)
        EXPECT_EQ(order[static_cast<std::size_t>(index)], index);
    for (const auto& thread : threads)
        EXPECT_EQ(thread, std::this_thread::get_id());
}

TEST_F(AppModelHopTest, ACallForAModelThatIsGoneIsDropped)
{
    auto model = launch();
    std::atomic<int> ran = 0;
    std::thread core([pointer = QPointer<AppModel>(model.get()), &ran] {
        AppModel::onMainThread(pointer, [&ran](AppModel&) { ++ran; });
    });
    core.join();
    model.reset();
    auto other = launch();
    bool marker = false;
    AppModel::onMainThread(other.get(), [&marker](AppModel&) { marker = true; });
    ASSERT_TRUE(processEventsUntil([&] { return marker; }));
    EXPECT_EQ(ran, 0);
}
