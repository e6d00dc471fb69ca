#include "AppModelFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class AppModelHopTest : public AppModelTest {
protected:
    // Delivers queued calls until `done` holds or 10 seconds pass.
    bool processEventsUntil(const std::function<bool()>& done)
    {
        QDeadlineTimer deadline(10'000);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return done();
    }

    int m_argc = 1;
    char m_name[16] = "app_model_tests";
    char* m_argv[2] = { m_name, nullptr };
    QCoreApplication m_application { m_argc, m_argv };
};

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
