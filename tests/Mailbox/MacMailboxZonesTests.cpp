#include "tests/Mailbox/AlwaysFailingKeyStoreFake.h"
#include "tests/Mailbox/PairingMailboxFixture.h"

#include <future>

using namespace vellumar;
using movrane::MailboxAccountState;
using movrane::MailboxError;
using Timing = MailboxRegistrar::ForgetTiming;

namespace {

class MacMailboxZonesTest : public test::PairingMailboxFixture {
protected:
    const std::string zone = movrane::MailboxZoneName::make();

    bool hasZoneError(const MacMailboxStatus& status) const { return status.zoneErrors.contains(zone); }

    static movrane::MailboxRelayResponse noAnswer(const movrane::MailboxInboundRequest&)
    {
        return movrane::MailboxRelayResponse::error(500, "internal", "unused", std::nullopt);
    }
};

}

TEST_F(MacMailboxZonesTest, OfTwoPairingsScheduledForOneZoneOnlyTheNewerIsSetUp)
{
    makeMailbox();
    auto older = pairing(zone, "d-1");
    auto newer = pairing(zone, "d-2");
    // The account check holds the mailbox, so neither set-up can begin before both are scheduled.
    store->hold(Operation::accountState);
    auto check = std::async(std::launch::async, [&] { mailbox->refreshAccount(); });
    ASSERT_TRUE(store->waitForBegun(Operation::accountState, 1));
    mailbox->scheduleSetUp(older);
    mailbox->scheduleSetUp(newer);
    EXPECT_EQ(mailbox->pendingSetUps(), (std::map<std::string, movrane::MailboxPairing> { { zone, newer } }));
    store->release(Operation::accountState);
    check.get();

    ASSERT_TRUE(store->waitForEnded(Operation::saveSubscriptions, 1));
    endMailbox();
    EXPECT_EQ(memory->count(Operation::ensureZone), 1);
    EXPECT_TRUE(memory->hasZone(zone));
}

TEST_F(MacMailboxZonesTest, AFailedSetUpShowsItsErrorAndTheNextTickSetsTheZoneUp)
{
    makeMailbox();
    mailbox->start(noAnswer);
    auto phone = pairing(zone);
    memory->fail(Operation::ensureZone, MailboxError::other(7), 1);
    mailbox->scheduleSetUp(phone);
    ASSERT_TRUE(waitForStatus([&](const auto& status) { return hasZoneError(status); }));
    EXPECT_EQ(linesStartingWith("mailbox zone set-up failed: other"), 1);
    EXPECT_EQ(mailbox->pendingSetUps().size(), 1u);

    // The phone is paired once its zone exists; the tick then also gives the zone the Mac's presence.
    setPairings({ phone });
    ASSERT_TRUE(clock->waitForSleep(15));
    clock->advance(15);
    ASSERT_TRUE(waitForStatus([&](const auto& status) { return !hasZoneError(status); }));
    EXPECT_TRUE(memory->hasZone(zone));
    EXPECT_TRUE(memory->presence(zone).has_value());
    EXPECT_TRUE(mailbox->pendingSetUps().empty());
    mailbox->stop();
}

TEST_F(MacMailboxZonesTest, ADelayedForgetClearsAtOnceAndRemovesTheZoneAfterTenSeconds)
{
    makeMailbox();
    auto phone = pairing(zone);
    memory->ensureZone(zone);
    // Both an owed set-up and an error are on record for the zone.
    memory->fail(Operation::ensureZone, MailboxError::other(7), 1);
    mailbox->scheduleSetUp(phone);
    ASSERT_TRUE(waitForStatus([&](const auto& status) { return hasZoneError(status); }));

    mailbox->forget(phone, Timing::afterDelay);
    EXPECT_TRUE(mailbox->pendingSetUps().empty());
    EXPECT_FALSE(hasZoneError(mailbox->status()));
    ASSERT_TRUE(clock->waitForSleep(10));
    clock->advance(9.999);
    EXPECT_TRUE(clock->isSleeping(10));
    EXPECT_TRUE(memory->hasZone(zone));
    clock->advance(0.001);
    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 1));
    EXPECT_FALSE(memory->hasZone(zone));
    EXPECT_TRUE(memory->subscriptionIDs().empty());
}

TEST_F(MacMailboxZonesTest, AForgetWithoutAServerTouchesNoStore)
{
    makeMailbox(std::make_shared<test::AlwaysFailingKeyStoreFake>());
    auto phone = movrane::MailboxPairing::make(zone, "mac-1", "d-1",
        movrane::MailboxIdentity::generate().publicKey(), movrane::MailboxIdentity::generate().publicKey());
    mailbox->scheduleSetUp(phone);
    mailbox->forget(phone, Timing::now);
    EXPECT_TRUE(mailbox->pendingSetUps().empty());
    endMailbox();
    for (auto operation : movrane::InMemoryMailboxStore::allOperations)
        EXPECT_EQ(store->ended(operation), 0) << static_cast<int>(operation);
}

TEST_F(MacMailboxZonesTest, AForgetWhileTheSetUpWaitsLeavesNoZoneAndNoSubscription)
{
    makeMailbox();
    auto phone = pairing(zone);
    store->hold(Operation::ensureZone);
    mailbox->scheduleSetUp(phone);
    ASSERT_TRUE(store->waitForBegun(Operation::ensureZone, 1));
    mailbox->forget(phone, Timing::now);
    // The forget found nothing yet to remove.
    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 1));
    store->release(Operation::ensureZone);

    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 2));
    endMailbox();
    EXPECT_FALSE(memory->hasZone(zone));
    EXPECT_TRUE(memory->subscriptionIDs().empty());
    EXPECT_TRUE(mailbox == nullptr);
}

TEST_F(MacMailboxZonesTest, ANewerPairingOfAForgottenZoneKeepsItsZone)
{
    makeMailbox();
    auto older = pairing(zone, "d-1");
    store->hold(Operation::ensureZone);
    mailbox->scheduleSetUp(older);
    ASSERT_TRUE(store->waitForBegun(Operation::ensureZone, 1));
    mailbox->forget(older, Timing::now);
    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 1));
    auto newer = pairing(zone, "d-2");
    mailbox->scheduleSetUp(newer);
    store->release(Operation::ensureZone);

    ASSERT_TRUE(store->waitForEnded(Operation::saveSubscriptions, 2));
    endMailbox();
    EXPECT_TRUE(memory->hasZone(zone));
    EXPECT_EQ(memory->subscriptionIDs(), std::vector<std::string> { "vl.mac." + zone });
    EXPECT_EQ(memory->count(Operation::deleteZone), 1);
}
