// A phone registering for the iCloud mailbox with curl over the relay's TLS listener, and the menu then
// removing it: the host's router reaches its Mac mailbox, and the removed phone's zone goes.
#include "RelayHostFixture.h"

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "tests/Mailbox/GatedMailboxStoreFake.h"
#include "tests/support/MemoryMailboxSetup.h"

#include <gtest/gtest.h>

using namespace vellumar;
using namespace vellumar::test;

TEST(RelayHostMailboxPairing, ARegisteredPhoneGetsItsZoneAndLosesItWhenRemoved)
{
    auto store
        = std::make_shared<movrane::InMemoryMailboxStore>(std::make_shared<movrane::SystemMailboxClock>(), 0);
    auto watched = std::make_shared<GatedMailboxStoreFake>(store);
    MailboxLog log;
    HostWorld world([&](RelayHost::Configuration& configuration) {
        configuration.mailbox = memoryMailboxSetup(watched, log);
    });
    auto& host = *world.host;
    host.start(world.names);
    auto phone = host.devices().add("Phone");
    movrane::MailboxPairingOffer offer { .v = 1,
        .deviceKey = movrane::MailboxIdentity::generate().publicKey(),
        .account = movrane::MailboxAccountProof::make(store->recordName()),
        .accountState = movrane::MailboxAccountState::available };

    auto result = world.curl("/v1/mailbox/register",
        { "-X", "POST", "-H", "Authorization: Bearer " + phone.token, "-H", "Content-Type: application/json",
            "--data-binary", JSON::object({ { "mailbox", offer.toJSON() } }).encoded() });
    ASSERT_TRUE(result.output.ends_with("\n200")) << result.output;
    auto reply = JSON::decode(result.output.substr(0, result.output.rfind('\n'))).value_or(JSON());
    auto answer = movrane::MailboxPairingAnswer::fromJSON(*reply.subscript("mailbox"));
    ASSERT_EQ(answer.status, movrane::MailboxPairingAnswer::Status::enabled);
    EXPECT_EQ(host.devices().device(phone.device.id)->mailbox->zoneName, *answer.zone);

    ASSERT_TRUE(watched->waitForEnded(GatedMailboxStoreFake::Operation::saveSubscriptions, 1));
    EXPECT_TRUE(store->hasZone(*answer.zone));

    host.removeDevice(phone.device.id);
    host.stop();
    // Ending the host ends its mailbox, which waits for the removal of the zone.
    world.host.reset();
    EXPECT_FALSE(store->hasZone(*answer.zone));
}
