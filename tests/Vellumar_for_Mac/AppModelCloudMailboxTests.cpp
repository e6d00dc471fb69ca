// The application with a real Mac mailbox on the cloud database in its data folder, wired as the
// program wires it, while vellumar-clouddb plays the other processes on that database.
#include "Vellumar_for_Mac/Model/AppDelegate.h"
#include "Vellumar_for_Mac/Model/PushRelay.h"
#include "Vellumar_for_Mac/Model/RemoteNotifications.h"

#include "AppModelFixture.h"
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "Platform/CloudDatabase.h"
#include "VellumarMacCore/Mailbox/AppEntitlements.h"
#include "tests/support/FileFixtures.h"

#include <chrono>
#include <iostream>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class AppModelCloudMailboxTest : public AppModelEventTest {
protected:
    void SetUp() override { PushRelay::shared() = PushRelay(); }
    void TearDown() override
    {
        m_model.reset();
        PushRelay::shared() = PushRelay();
    }

    // Launches and starts the model as the program does, with the entitlements of the mailbox and of
    // pushes, and waits until iCloud shows as ready.
    AppModel& startModel()
    {
        writeBytes(m_folder / "app/vellumar.entitlements.json",
            R"({"com.apple.developer.aps-environment": "production",
                "com.apple.developer.icloud-services": ["CloudKit"],
                "com.apple.developer.icloud-container-identifiers": ["iCloud.com.zu.plimsor"]})");
        auto launch = launchIn(m_folder);
        launch.interfaceAddresses = [] { return std::vector<InterfaceAddress> {}; };
        launch.observeAccountChanges = [this](std::function<void()> changed) {
            m_notifications.observeAccountChanges(std::move(changed));
        };
        m_model = std::make_unique<AppModel>(std::move(launch));
        EXPECT_EQ(m_model->iCloudStatusText(), "mac.icloud.checking");
        // As the program does: the delegate registers once the model has started.
        m_model->start();
        m_delegate.applicationDidFinishLaunching(
            platform::Entitlements(m_folder / "app/vellumar.entitlements.json"), [this] {
                return m_notifications.registerForPushes([this](const std::string& userInfo) {
                    m_delegate.didReceiveRemoteNotification(userInfo);
                });
            });
        EXPECT_TRUE(processEventsUntil([&] { return m_model->iCloudStatusText() == "mac.icloud.ready"; }));
        return *m_model;
    }

    PeerResult otherProcess(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), { VELLUMAR_CLOUDDB_TOOL, m_cloud.string() });
        return runPeer(arguments);
    }

    const std::filesystem::path m_cloud = m_folder / "data/Vellumar/cloud";
    AppDelegate m_delegate;
    RemoteNotifications m_notifications { [this] {
        return platform::listenForCloudPushes(
            std::string(AppEntitlements::kContainer), { .folder = m_cloud });
    } };
    std::unique_ptr<AppModel> m_model;
};

}

TEST_F(AppModelCloudMailboxTest, ASignedOutAccountShowsAndOffersTheSettings)
{
    auto& model = startModel();
    EXPECT_FALSE(model.iCloudNeedsSettings());
    EXPECT_EQ(PushRelay::shared().registered, true);
    ASSERT_TRUE(processEventsUntil([&] { return model.mailboxStatus()->pushRegistered == true; }));

    // Status 3 is the cloud's "no account".
    ASSERT_EQ(otherProcess({ "account", "3" }).exitStatus, 0);
    ASSERT_TRUE(processEventsUntil([&] { return model.iCloudStatusText() == "mac.icloud.noAccount"; }));
    EXPECT_TRUE(model.iCloudNeedsSettings());
    EXPECT_FALSE(model.mailboxStatus()->running);
}

TEST_F(AppModelCloudMailboxTest, AnEnvelopeAnotherProcessSavesIsFetchedLongBeforeTheIdlePoll)
{
    auto& model = startModel();
    auto offer = model.host().makePairingOffer("127.0.0.1");
    ASSERT_TRUE(offer);
    ASSERT_EQ(pairAsPhone(model, offer->payload.code).status, 200);
    ASSERT_TRUE(processEventsUntil([&] { return model.devices().size() == 1; }));
    const auto zone = movrane::MailboxZoneName::make();
    ASSERT_EQ(otherProcess({ "ensure-zone", zone, "mac" }).exitStatus, 0);
    model.host().devices().setMailbox(model.devices()[0].id,
        movrane::MailboxPairing::make(zone, model.host().configuration().macID, "ios-1",
            *model.host().mailbox()->macKey(), movrane::MailboxIdentity::generate().publicKey()),
        std::nullopt);

    // The server polled when it started and next polls 30 s later; only the push can fetch sooner.
    movrane::CloudKitMailboxStore store(std::string(AppEntitlements::kContainer), { .folder = m_cloud });
    auto saved = otherProcess({ "save-envelopes", zone, "1" });
    ASSERT_EQ(saved.exitStatus, 0) << saved.output;
    const auto savedAt = std::chrono::steady_clock::now();
    // The envelope is no sealed request, so the fetch that opens it drops it from the zone.
    EXPECT_TRUE(
        processEventsUntil([&] { return store.fetchChanges(zone, std::nullopt).envelopes.empty(); }, 20'000));
    std::cout << "push to fetch: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - savedAt).count() << " s\n";
}
