// The relay host's Mac mailbox: built from the configuration's set-up, started after the relay and
// stopped with it, and serving the pairings the device registry keeps.
#include "RelayHostFixture.h"

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/support/MemoryMailboxSetup.h"

#include <gtest/gtest.h>

using namespace vellumar;
using namespace vellumar::test;

namespace {

struct MailboxWorld {
    explicit MailboxWorld(std::vector<PairedDevice> paired = {})
        : world([this, &paired](RelayHost::Configuration& configuration) {
            configuration.deviceStorage = std::make_shared<FakeDeviceStorage>(std::move(paired));
            configuration.mailbox = memoryMailboxSetup(store, log);
        })
    {
    }

    std::shared_ptr<movrane::InMemoryMailboxStore> store
        = std::make_shared<movrane::InMemoryMailboxStore>(std::make_shared<movrane::SystemMailboxClock>(), 0);
    MailboxLog log;
    HostWorld world;
};

PairedDevice phone(std::string id) { return { .id = std::move(id), .name = "Phone", .tokenHash = "00" }; }

}

TEST(RelayHostMailbox, WithoutASetUpThereIsNoMailbox)
{
    HostWorld world;
    EXPECT_EQ(world.host->mailbox(), nullptr);
}

TEST(RelayHostMailbox, StartServesTheMailboxAndStopEndsItUntilTheNextStart)
{
    MailboxWorld mailboxWorld;
    auto& host = *mailboxWorld.world.host;
    ASSERT_NE(host.mailbox(), nullptr);
    EXPECT_FALSE(host.mailbox()->status().running);

    host.start(mailboxWorld.world.names);
    EXPECT_TRUE(host.mailbox()->status().running);
    host.stop();
    EXPECT_FALSE(host.mailbox()->status().running);
    // The relay no longer answers the mailbox's requests: an account change must not serve them again.
    host.mailbox()->accountChanged();
    EXPECT_FALSE(host.mailbox()->status().running);
    EXPECT_EQ(mailboxWorld.log.lines(),
        (std::vector<std::string> { "mailbox server started", "mailbox server stopped" }));

    host.start(mailboxWorld.world.names);
    EXPECT_TRUE(host.mailbox()->status().running);
    host.stop();
}

TEST(RelayHostMailbox, TheServerPollsThePairingsTheRegistryKeepsAndEachPhoneGetsItsState)
{
    MailboxWorld mailboxWorld({ phone("d-1"), phone("d-2"), phone("d-3") });
    auto& host = *mailboxWorld.world.host;
    host.start(mailboxWorld.world.names);
    auto& mailbox = *host.mailbox();
    const auto macKey = *mailbox.macKey();
    const auto deviceKey = movrane::MailboxIdentity::generate().publicKey();
    const auto made = movrane::MailboxZoneName::make();
    const auto lost = movrane::MailboxZoneName::make();
    mailboxWorld.store->ensureZone(made);
    host.devices().setMailbox(
        "d-1", movrane::MailboxPairing::make(made, "mac-1", "ios-1", macKey, deviceKey), std::nullopt);
    host.devices().setMailbox(
        "d-2", movrane::MailboxPairing::make(lost, "mac-1", "ios-2", macKey, deviceKey), std::nullopt);
    host.devices().setMailbox("d-3", std::nullopt, movrane::MailboxPairingAnswer::Reason::deviceNoICloud);

    // A push joins a fetch under way, and the server's first may have read the pairings before they were
    // set; the second push's fetch begins after the first ended.
    mailbox.handlePush();
    mailbox.handlePush();
    mailbox.refreshStatus();
    auto status = mailbox.status();
    auto devices = host.devices().all();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(status.state(devices[0]), DeviceMailboxState::Value(DeviceMailboxState::On { false }));
    EXPECT_EQ(status.state(devices[1]), DeviceMailboxState::Value(DeviceMailboxState::NeedsSameWiFi {}));
    EXPECT_EQ(status.state(devices[2]),
        DeviceMailboxState::Value(
            DeviceMailboxState::LanOnly { movrane::MailboxPairingAnswer::Reason::deviceNoICloud }));
    host.stop();
    EXPECT_EQ(mailbox.status().state(devices[0]), DeviceMailboxState::Value(DeviceMailboxState::Paused {}));
}
