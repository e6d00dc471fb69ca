// The model's pairing session and the removal of paired phones, against its real relay with curl and
// python3-websockets as the phones.
#include "tests/Vellumar_for_Mac/Windows/PairingViewFixture.h"

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/InteractivePeer.h"

using namespace vellumar;
using namespace vellumar::test;

namespace {

const InterfaceAddress kLAN { "eth0", "192.0.2.2" };
const InterfaceAddress kTailscale { "tailscale0", "100.100.1.2" };

class PairingSessionTest : public PairingViewTest {
protected:
    // A model whose alerts are recorded and answered with `answer`, with a storage the test can break.
    void launchRecordingAlerts(int answer)
    {
        m_alerts->answer = answer;
        m_adjustLaunch = [this](AppModel::Launch& launch) {
            launch.texts
                = Texts({ { "mac.revoke.title", "Remove %s?" }, { "mac.revoke.error", "%s stays" } });
            launch.deviceStorage = m_storage;
            launch.alerts = m_alerts;
        };
        launchMac({ kLAN });
    }

    // Removes the phone as the model does, later on the main thread, and waits for it.
    void removeLastAdded()
    {
        m_model->removeDevice(*m_model->lastAdded());
        EXPECT_TRUE(processEventsUntil([this] { return !m_model->lastAdded(); }));
    }

    // Pairs a phone named "Pixel" through the model's pairing session; answers its bearer token once
    // the model has been told of it.
    std::string pairPhone()
    {
        m_model->startPairing();
        auto paired = pairWithCurl(m_model->pairing()->payload.code, relayPin());
        EXPECT_EQ(paired.status, 200) << paired.body;
        EXPECT_TRUE(processEventsUntil([this] { return m_model->lastAdded().has_value(); }));
        auto decoded = JSON::decode(paired.body);
        const auto* token = decoded ? decoded->subscript("token") : nullptr;
        return token && token->stringValue() ? *token->stringValue() : std::string();
    }

    // The status an authenticated request with `token` gets.
    int healthStatus(const std::string& token)
    {
        auto result = runPeer({ "curl", "-sS", "-k", "--max-time", "30", "-o", "/dev/null", "-w",
            "%{http_code}", "-H", "Authorization: Bearer " + token,
            "https://127.0.0.1:" + std::to_string(m_model->host().port().value_or(0)) + "/health" });
        return result.exitStatus == 0 ? std::stoi(result.output) : 0;
    }

    // A phone holding one terminal open with `token`, past its first message; it checks the relay's
    // certificate against the LAN address, which is what the certificate names.
    std::unique_ptr<InteractivePeer> holdTerminal(const std::string& token)
    {
        auto phone = std::make_unique<InteractivePeer>(std::vector<std::string> { "/usr/bin/python3",
            (sourceDir() / "tests/peers/terminal_holder.py").string(),
            "wss://127.0.0.1:" + std::to_string(m_model->host().port().value_or(0)) + "/v1/terminal",
            (m_folder / "data/Vellumar/tls" / std::string(TLSIdentityStore::certificateFileName)).string(),
            token, "1", kLAN.address });
        EXPECT_EQ(phone->readLine(), R"({"open": 1})");
        return phone;
    }

    std::shared_ptr<FakeDeviceStorage> m_storage = std::make_shared<FakeDeviceStorage>();
    std::shared_ptr<RecordingAlerts> m_alerts = std::make_shared<RecordingAlerts>();
};

}

TEST_F(PairingSessionTest, OnlyATailscaleAddressIsOfferedAndMarkedAsSuch)
{
    launchMac({ kTailscale });
    m_model->startPairing();
    ASSERT_TRUE(m_model->pairing());
    EXPECT_EQ(m_model->pairing()->payload.host, kTailscale.address);
    EXPECT_TRUE(m_model->pairing()->usesTailscale);
    EXPECT_FALSE(m_model->pairingProblem());
}

TEST_F(PairingSessionTest, AnEndedSessionsCodeIsRefusedAsInvalid)
{
    launchMac({ kLAN });
    m_model->startPairing();
    auto code = m_model->pairing()->payload.code;
    m_model->endPairing();
    auto answer = pairWithCurl(code, relayPin());
    EXPECT_EQ(answer.status, 401);
    EXPECT_NE(answer.body.find(R"("error":"pairing_code_invalid")"), std::string::npos) << answer.body;
}

TEST_F(PairingSessionTest, AfterADoubleRenewTheShownCodeIsTheOneAccepted)
{
    launchMac({ kLAN });
    m_model->startPairing();
    auto first = m_model->pairing()->payload.code;
    m_model->startPairing();
    m_model->startPairing();
    EXPECT_EQ(pairWithCurl(first, relayPin()).status, 401);
    auto answer = pairWithCurl(m_model->pairing()->payload.code, relayPin());
    EXPECT_EQ(answer.status, 200) << answer.body;
}

TEST_F(PairingSessionTest, AConfirmedRevokeEndsTheTokenAndClosesTheTerminals)
{
    launchRecordingAlerts(0);
    auto token = pairPhone();
    auto phone = holdTerminal(token);
    m_model->revoke(*m_model->lastAdded());
    ASSERT_TRUE(processEventsUntil([this] { return !m_model->lastAdded(); }));

    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].message, "Remove Pixel?");
    EXPECT_EQ(m_alerts->shown[0].buttons, QStringList({ "mac.revoke.confirm", "mac.common.cancel" }));
    EXPECT_EQ(phone->readLine(), R"({"closes": [{"code": 4001, "reason": ""}]})");
    EXPECT_EQ(healthStatus(token), 401);
}

TEST_F(PairingSessionTest, ACancelledRevokeRemovesNothing)
{
    launchRecordingAlerts(1);
    auto token = pairPhone();
    m_model->revoke(*m_model->lastAdded());
    QCoreApplication::processEvents();
    EXPECT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(healthStatus(token), 200);
    EXPECT_TRUE(m_model->lastAdded());
    EXPECT_EQ(m_storage->stored.size(), 1u);
}

TEST_F(PairingSessionTest, RemovingFromTheReusedCodeAlertEndsTheTokenWithoutAsking)
{
    launchRecordingAlerts(1);
    auto token = pairPhone();
    removeLastAdded();
    EXPECT_TRUE(m_alerts->shown.empty());
    EXPECT_EQ(healthStatus(token), 401);
}

TEST_F(PairingSessionTest, ARemovalWhoseSaveFailsIsShownAndStillClearsTheLastAdded)
{
    launchRecordingAlerts(0);
    auto token = pairPhone();
    m_storage->failSave = true;
    removeLastAdded();
    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].message, "Pixel stays");
    EXPECT_EQ(m_alerts->shown[0].informative, KeychainError(platform::KeychainStatus::io).what());
    EXPECT_EQ(healthStatus(token), 401);
    // The phone is paired again at the next launch, which is why the user must be told.
    EXPECT_EQ(m_storage->stored.size(), 1u);
}
