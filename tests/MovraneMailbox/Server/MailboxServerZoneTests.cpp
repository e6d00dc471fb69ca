#include "tests/MovraneMailbox/Server/MailboxServerWatchHarness.h"

namespace movrane::test {
namespace {

    using Operation = InMemoryMailboxStore::Operation;

    class MailboxServerZones : public MailboxServerWatchTest {
    protected:
        std::string macStateKey(const Phone& phone) const
        {
            return MailboxChannel(phone.pairing, MailboxRole::mac, mac).label();
        }

        void noteError(const Phone& phone, MailboxError::Kind kind)
        {
            server().noteZoneError(std::make_exception_ptr(MailboxError(kind)), phone.zone());
        }

        // The events the phone received, by name.
        std::vector<std::string> events(const Phone& phone) const
        {
            std::vector<std::string> names;
            for (const auto& message : phone.received(clock->now())) {
                if (const auto* event = std::get_if<MailboxEvent>(&message.content))
                    names.push_back(event->name);
            }
            return names;
        }

        // An envelope in the phone's zone, as if stored at `created`.
        std::string envelopeCreatedAt(Phone& phone, MailboxTime created)
        {
            auto name = phone.request("/v1/status", clock->now()).record.name;
            memoryStore->tamper(
                name, phone.zone(), [&](MailboxEnvelopeRecord& record) { record.createdAt = created; });
            return name;
        }

        std::vector<std::string> namesIn(const Phone& phone) const
        {
            std::vector<std::string> names;
            for (const auto& record : memoryStore->envelopes(phone.zone()))
                names.push_back(record.name);
            return names;
        }

        int cleanupLines() const
        {
            auto lines = log.lines();
            return static_cast<int>(std::ranges::count_if(
                lines, [](const std::string& line) { return line.starts_with("mailbox cleanup: "); }));
        }
    };

}

TEST_F(MailboxServerZones, ASetUpThatStaysBusyFailsWithoutASubscriptionAndKeepsTheZonesError)
{
    auto& phone = addPhone();
    memoryStore->dropZone(phone.zone());
    noteError(phone, MailboxError::Kind::quotaExceeded);
    memoryStore->fail(Operation::ensureZone, MailboxError(MailboxError::Kind::busy), 4);
    try {
        server().setUpZone(phone.pairing);
        FAIL() << "the set-up succeeded";
    } catch (const MailboxError& error) {
        EXPECT_EQ(error.kind(), MailboxError::Kind::busy);
    }
    EXPECT_EQ(store->count("ensureZone " + phone.zone()), 4);
    EXPECT_EQ(store->count("saveSubscriptions " + phone.zone()), 0);
    EXPECT_EQ(server().zoneErrors().at(phone.zone()).kind(), MailboxError::Kind::quotaExceeded);

    server().setUpZone(phone.pairing);
    EXPECT_FALSE(server().zoneErrors().contains(phone.zone()));
    EXPECT_TRUE(memoryStore->hasZone(phone.zone()));
    auto subscriptions = memoryStore->subscriptionIDs();
    EXPECT_TRUE(std::ranges::find(subscriptions, "vl.mac." + phone.zone()) != subscriptions.end());
}

TEST_F(MailboxServerZones, ForgettingAZoneClearsWhatTheServerKeptEvenWhenTheStoreFails)
{
    auto& forgotten = addPhone();
    auto& kept = addPhone();
    server().setUpZone(forgotten.pairing);
    server().publishPresence();
    ASSERT_TRUE(storage->load(macStateKey(forgotten)).has_value());
    watch(forgotten, false);
    watch(kept, false);
    ASSERT_TRUE(eventually([&] { return server().activeWatchCount() == 2; }));
    noteError(forgotten, MailboxError::Kind::other);
    memoryStore->fail(Operation::deleteZone, MailboxError(MailboxError::Kind::other), 4);

    server().forgetZone(forgotten.pairing);

    EXPECT_TRUE(memoryStore->hasZone(forgotten.zone()));
    EXPECT_FALSE(storage->load(macStateKey(forgotten)).has_value());
    EXPECT_TRUE(storage->load(macStateKey(kept)).has_value());
    EXPECT_FALSE(server().zoneErrors().contains(forgotten.zone()));
    EXPECT_EQ(server().activeWatchCount(), 1);
    auto subscriptions = memoryStore->subscriptionIDs();
    EXPECT_TRUE(std::ranges::find(subscriptions, "vl.mac." + forgotten.zone()) == subscriptions.end());
}

TEST_F(MailboxServerZones, ForgettingAZoneWithoutAChannelLeavesItsStoredState)
{
    auto& phone = addPhone();
    storage->save(bytes("kept by another run"), macStateKey(phone));
    server().forgetZone(phone.pairing);
    EXPECT_EQ(storage->load(macStateKey(phone)), bytes("kept by another run"));
    EXPECT_FALSE(memoryStore->hasZone(phone.zone()));
}

TEST_F(MailboxServerZones, ABroadcastSkipsAndLogsAPairingOfAnotherMac)
{
    auto& first = addPhone();
    auto other = MailboxIdentity::generate();
    // No thread of the server reads the phones yet.
    phones.push_back(std::make_unique<Phone>(other, memoryStore, temporary.path()));
    auto& foreign = *phones.back();
    auto& third = addPhone();

    server().broadcast({ "routineResult", bytes("{}") }, MailboxNotify::routine);

    EXPECT_EQ(events(first), std::vector<std::string> { "routineResult" });
    EXPECT_TRUE(events(foreign).empty());
    EXPECT_EQ(events(third), std::vector<std::string> { "routineResult" });
    auto lines = log.lines();
    EXPECT_EQ(std::ranges::count_if(lines,
                  [](const std::string& line) { return line.starts_with("mailbox event not written: "); }),
        1);
    EXPECT_THROW(server().sendEvent({ "routineResult", {} }, MailboxNotify::routine, foreign.pairing),
        MailboxKeyError);
}

TEST_F(MailboxServerZones, NoPresenceFromTheCallbackWritesNothing)
{
    addPhone();
    presence.reset();
    server().publishPresence();
    EXPECT_TRUE(store->calls().empty());
}

TEST_F(MailboxServerZones, TheCleanUpDeletesOnlyWhatIsOlderThanTheCutOff)
{
    auto& phone = addPhone();
    clock->setSeconds(86'400 + 10);
    auto atCutOff = envelopeCreatedAt(phone, at(10));
    envelopeCreatedAt(phone, at(10) - std::chrono::milliseconds(1));
    auto recent = envelopeCreatedAt(phone, at(86'000));
    server().cleanUp();
    EXPECT_EQ(namesIn(phone), (std::vector<std::string> { atCutOff, recent }));
    EXPECT_EQ(log.count("mailbox cleanup: 1 old envelopes"), 1);
}

TEST_F(MailboxServerZones, ACleanUpWithNothingOldNeitherDeletesNorLogs)
{
    auto& phone = addPhone();
    envelopeCreatedAt(phone, at(0));
    server().cleanUp();
    EXPECT_EQ(store->count("deleteEnvelopes " + phone.zone()), 0);
    EXPECT_EQ(cleanupLines(), 0);
}

TEST_F(MailboxServerZones, MoreComingWithoutATokenEndsThePagingAndDeletesWhatWasFound)
{
    auto& phone = addPhone();
    clock->setSeconds(86'400 * 2);
    envelopeCreatedAt(phone, at(0));
    store->alterFetches([](MailboxChanges& changes) {
        changes.moreComing = true;
        changes.token.reset();
    });
    server().cleanUp();
    EXPECT_EQ(store->count("fetchChanges " + phone.zone()), 1);
    EXPECT_TRUE(namesIn(phone).empty());
    EXPECT_EQ(log.count("mailbox cleanup: 1 old envelopes"), 1);
}

}
