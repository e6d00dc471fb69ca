#include "Vellumar_for_Mac/Model/RemoteNotifications.h"

#include "Vellumar_for_Mac/Model/AppDelegate.h"
#include "Vellumar_for_Mac/Model/PushRelay.h"

#include "AppModelFixture.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/CloudSQLiteDatabase.h"
#include "tests/support/FileFixtures.h"

#include <atomic>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class RemoteNotificationsTest : public AppModelEventTest {
protected:
    void SetUp() override { PushRelay::shared() = PushRelay(); }
    void TearDown() override { PushRelay::shared() = PushRelay(); }

    // The delegate's launch with both entitlements, registering through `notifications`.
    void finishLaunching(RemoteNotifications& notifications)
    {
        writeBytes(m_folder / "entitlements.json",
            R"({"com.apple.developer.aps-environment": "production",
                "com.apple.developer.icloud-services": ["CloudKit"],
                "com.apple.developer.icloud-container-identifiers": ["iCloud.com.zu.plimsor"]})");
        m_delegate.applicationDidFinishLaunching(platform::Entitlements(m_folder / "entitlements.json"), [&] {
            return notifications.registerForPushes(
                [this](const std::string& userInfo) { m_delegate.didReceiveRemoteNotification(userInfo); });
        });
    }

    // The cloud database tool as a second process on the folder.
    PeerResult otherProcess(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), { VELLUMAR_CLOUDDB_TOOL, m_cloud.string() });
        return runPeer(arguments);
    }

    std::filesystem::path m_cloud = m_folder / "cloud";
    AppDelegate m_delegate;
};

}

TEST_F(RemoteNotificationsTest, AnEnvelopeSavedByAnotherProcessWakesTheMailboxOnce)
{
    platform::CloudSQLiteDatabase database(
        std::string(movrane::MailboxProtocol::containerIdentifier), { .folder = m_cloud });
    const std::string zone = movrane::MailboxZoneName::make();
    ASSERT_EQ(otherProcess({ "ensure-zone", zone, "mac" }).exitStatus, 0);
    RemoteNotifications notifications([&] { return database.listenForPushes(); });
    finishLaunching(notifications);
    ASSERT_EQ(PushRelay::shared().registered, true);
    int pushes = 0;
    PushRelay::shared().onPush = [&] { ++pushes; };

    auto saved = otherProcess({ "save-envelopes", zone, "1" });
    ASSERT_EQ(saved.exitStatus, 0) << saved.output;
    ASSERT_TRUE(processEventsUntil([&] { return pushes == 1; }));
    // A datagram of another kind behind it is no mailbox push.
    platform::broadcastCloudPush(database.pushFolder(), R"({"aps":{"alert":"hello"}})");
    platform::broadcastCloudPush(database.pushFolder(), R"({"ck":{"qry":{"sid":"vl.mac.)" + zone + R"("}}})");
    ASSERT_TRUE(processEventsUntil([&] { return pushes == 2; }));
}

TEST_F(RemoteNotificationsTest, AnAccountChangedByAnotherProcessIsAnAccountNotice)
{
    platform::CloudSQLiteDatabase database(
        std::string(movrane::MailboxProtocol::containerIdentifier), { .folder = m_cloud });
    RemoteNotifications notifications([&] { return database.listenForPushes(); });
    std::atomic<int> changes = 0;
    notifications.observeAccountChanges([&] { ++changes; });
    finishLaunching(notifications);
    int pushes = 0;
    PushRelay::shared().onPush = [&] { ++pushes; };

    ASSERT_EQ(otherProcess({ "account", "3" }).exitStatus, 0);
    ASSERT_TRUE(processEventsUntil([&] { return changes == 1; }));
    EXPECT_EQ(pushes, 0);
}

TEST_F(RemoteNotificationsTest, APushSocketThatCannotBeBoundIsAFailedRegistration)
{
    RemoteNotifications notifications(
        [&] { return std::make_unique<platform::CloudSocketPushListener>(m_folder / "no-such-folder"); });
    finishLaunching(notifications);
    EXPECT_EQ(PushRelay::shared().registered, false);
}
