#include "AppModelFixture.h"

#include "VellumarMacCore/Foundations/JSON.h"

#include <thread>
#include <vector>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class AppModelCallbacksTest : public AppModelEventTest {
protected:
    AppModel& startModel(int alertAnswer = 1)
    {
        auto launch = launchIn(m_folder);
        launch.interfaceAddresses = [] {
            return std::vector<InterfaceAddress> { { "en0", "192.168.1.20" } };
        };
        launch.texts = Texts({ { "mac.pair.reused.message", "message %s" } });
        m_alerts = std::make_shared<RecordingAlerts>();
        m_alerts->answer = alertAnswer;
        launch.alerts = m_alerts;
        m_model = std::make_unique<AppModel>(std::move(launch));
        m_model->start();
        return *m_model;
    }

    // A phone named `name` paired with a fresh code, once the model lists it; its code and token.
    std::pair<std::string, std::string> pairPhone(const std::string& name)
    {
        auto offer = m_model->host().makePairingOffer("127.0.0.1");
        auto answer = pairAsPhone(*m_model, offer->payload.code, name);
        EXPECT_EQ(answer.status, 200) << answer.body;
        auto body = JSON::decode(answer.body);
        const JSON* token = body ? body->subscript("token") : nullptr;
        EXPECT_TRUE(processEventsUntil([&] { return listed(name); }));
        return { offer->payload.code, token && token->stringValue() ? *token->stringValue() : std::string() };
    }

    bool listed(const std::string& name) const
    {
        return std::any_of(m_model->devices().begin(), m_model->devices().end(),
            [&](const PairedDevice& device) { return device.name == name; });
    }

    int healthWithToken(const std::string& token)
    {
        return curlAsPhone(*m_model, "/health", { "-H", "Authorization: Bearer " + token }).status;
    }

    std::shared_ptr<RecordingAlerts> m_alerts;
    std::unique_ptr<AppModel> m_model;
};

}

TEST_F(AppModelCallbacksTest, StartingFillsDevicesJobsAndTerminalsFromTheCore)
{
    startModel();
    pairPhone("Pixel");
    m_model.reset();

    auto& model = startModel();
    ASSERT_TRUE(processEventsUntil([&] { return listed("Pixel"); }));
    EXPECT_EQ(model.runningJobs(), 0);
    EXPECT_TRUE(model.terminals().empty());
}

TEST_F(AppModelCallbacksTest, APairingWhileACodeIsShownIsJustPairedAndEndsTheSession)
{
    auto& model = startModel();
    model.startPairing();
    ASSERT_TRUE(model.pairing());
    ASSERT_EQ(pairAsPhone(model, model.pairing()->payload.code, "Pixel").status, 200);
    ASSERT_TRUE(processEventsUntil([&] { return model.lastAdded().has_value(); }));
    EXPECT_EQ(model.lastAdded()->name, "Pixel");
    ASSERT_TRUE(model.justPaired());
    EXPECT_EQ(model.justPaired()->id, model.lastAdded()->id);
    EXPECT_FALSE(model.pairing());
}

TEST_F(AppModelCallbacksTest, APairingWithoutAShownCodeIsOnlyLastAdded)
{
    auto& model = startModel();
    pairPhone("iPad");
    ASSERT_TRUE(processEventsUntil([&] { return model.lastAdded().has_value(); }));
    EXPECT_EQ(model.lastAdded()->name, "iPad");
    EXPECT_FALSE(model.justPaired());
}

TEST_F(AppModelCallbacksTest, AReusedCodeAsksInACriticalAlertWhetherToRemoveTheDevice)
{
    startModel(/* alertAnswer: remove */ 0);
    auto [code, token] = pairPhone("Pixel");
    ASSERT_EQ(healthWithToken(token), 200);

    auto reused = pairAsPhone(*m_model, code, "Thief");
    EXPECT_EQ(reused.status, 409);
    EXPECT_NE(reused.body.find("\"pairing_code_used\""), std::string::npos) << reused.body;
    ASSERT_TRUE(processEventsUntil([&] { return !listed("Pixel"); }));

    ASSERT_EQ(m_alerts->shown.size(), 1u);
    const Alert& alert = m_alerts->shown.front();
    EXPECT_EQ(alert.message, "mac.pair.reused.title");
    EXPECT_EQ(alert.informative, "message Pixel");
    EXPECT_EQ(alert.buttons, QStringList({ "mac.pair.reused.remove", "mac.pair.reused.keep" }));
    EXPECT_EQ(alert.style, Alert::Style::critical);
    EXPECT_EQ(alert.safeButton, 1);
    // The removal reached the core: the phone's token no longer opens the relay.
    EXPECT_EQ(healthWithToken(token), 401);
    EXPECT_FALSE(m_model->lastAdded());
}

TEST_F(AppModelCallbacksTest, KeepingTheDeviceLeavesItPaired)
{
    startModel(/* alertAnswer: keep */ 1);
    auto [code, token] = pairPhone("Pixel");
    ASSERT_EQ(pairAsPhone(*m_model, code, "Thief").status, 409);
    ASSERT_TRUE(processEventsUntil([&] { return m_alerts->shown.size() == 1; }));
    // A marker behind any removal the answer could have queued.
    bool marker = false;
    AppModel::onMainThread(m_model.get(), [&marker](AppModel&) { marker = true; });
    ASSERT_TRUE(processEventsUntil([&] { return marker; }));
    EXPECT_TRUE(listed("Pixel"));
    EXPECT_EQ(healthWithToken(token), 200);
}

TEST_F(AppModelCallbacksTest, AReusedCodeOfARemovedDeviceShowsNoAlert)
{
    startModel(/* alertAnswer: remove */ 0);
    auto [code, token] = pairPhone("Pixel");
    m_model->removeDevice(m_model->devices().front());
    ASSERT_TRUE(processEventsUntil([&] { return m_model->devices().empty(); }));

    EXPECT_EQ(pairAsPhone(*m_model, code, "Thief").status, 409);
    bool marker = false;
    AppModel::onMainThread(m_model.get(), [&marker](AppModel&) { marker = true; });
    ASSERT_TRUE(processEventsUntil([&] { return marker; }));
    EXPECT_TRUE(m_alerts->shown.empty());
}

TEST_F(AppModelCallbacksTest, AFloodOfRequestsWakesTheMainThreadOnceAndShowsTheNewestList)
{
    auto& model = startModel();
    auto token = pairPhone("Pixel").second;
    int changes = 0;
    QObject::connect(&model, &AppModel::devicesChanged, [&] { ++changes; });
    // From a core thread, as requests come, while the main thread is busy; each marks the phone seen anew.
    std::thread requests([&] {
        for (int request = 0; request < 100; ++request)
            model.host().devices().deviceForToken(token);
    });
    requests.join();
    EXPECT_TRUE(processEventsUntil([&] { return model.devices() == model.host().devices().all(); }));
    EXPECT_LE(changes, 2);
}
