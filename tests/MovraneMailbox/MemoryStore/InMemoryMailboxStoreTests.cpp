#include "tests/MovraneMailbox/MemoryStore/InMemoryStoreFixture.h"

#include "tests/support/FileFixtures.h"

#include <future>

namespace movrane {
namespace {

    TEST_F(InMemoryStoreTest, FreshStoreIsAvailableWithTheTestUserAndNoCounts)
    {
        for (auto operation : InMemoryMailboxStore::allOperations)
            EXPECT_EQ(store.count(operation), 0) << rawValue(operation);
        EXPECT_EQ(store.accountState(), MailboxAccountState::available);
        EXPECT_EQ(store.userRecordName(), "_mailbox-test-user");
        EXPECT_EQ(store.fetchLimit(), 400);
        EXPECT_FALSE(store.quotaBytes().has_value());
        EXPECT_FALSE(store.rateLimit().has_value());
        EXPECT_TRUE(store.subscriptionIDs().empty());
        EXPECT_EQ(store.usedBytes(), 0);
    }

    TEST(InMemoryMailboxStoreOperation, NamesReadBackExactly)
    {
        for (auto operation : InMemoryMailboxStore::allOperations)
            EXPECT_EQ(InMemoryMailboxStore::operation(rawValue(operation)), operation);
        EXPECT_EQ(rawValue(Operation::deleteSubscriptions), "deleteSubscriptions");
        for (auto raw : { "", "SaveEnvelope", "saveEnvelope ", "fetch" })
            EXPECT_FALSE(InMemoryMailboxStore::operation(raw).has_value()) << raw;
    }

    TEST_F(InMemoryStoreTest, QueuedFailuresComeFirstInFirstOutAndStoreNothing)
    {
        store.ensureZone(zone);
        store.fail(Operation::saveEnvelope, MailboxError::busy(3), 2);
        for (int attempt = 0; attempt < 2; ++attempt)
            EXPECT_EQ(failureOf([&] { saveNew(); }), MailboxError::busy(3).what());
        EXPECT_TRUE(store.envelopes(zone).empty());
        EXPECT_TRUE(store.saved().empty());
        auto third = saveNew();
        EXPECT_EQ(store.envelopes(zone), std::vector { asFetched(third) });
        EXPECT_EQ(store.count(Operation::saveEnvelope), 3);
    }

    TEST_F(InMemoryStoreTest, FailuresQueueBehindEachOtherPerOperation)
    {
        store.ensureZone(zone);
        store.fail(Operation::fetchChanges, MailboxError::network(1), 1);
        store.fail(Operation::fetchChanges, MailboxError(MailboxError::Kind::cancelled), 1);
        store.fail(Operation::fetchChanges, MailboxError::other(9), 0);
        store.fail(Operation::fetchChanges, MailboxError::other(9), -3);
        EXPECT_EQ(failureOf([&] { store.savePresence({ at(1), bytes("p") }, zone); }), "succeeded");
        EXPECT_EQ(
            failureOf([&] { store.fetchChanges(zone, std::nullopt); }), MailboxError::network(1).what());
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, std::nullopt); }),
            textOf(MailboxError::Kind::cancelled));
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, std::nullopt); }), "succeeded");
    }

    TEST_F(InMemoryStoreTest, UnavailableAccountFailsEverythingButTheStateAfterQueuedFailures)
    {
        store.ensureZone(zone);
        store.setAccount(MailboxAccountState::restricted);
        store.fail(Operation::userRecordName, MailboxError::misconfigured(8), 1);
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), MailboxError::misconfigured(8).what());

        const std::string refused = MailboxError::account(MailboxAccountState::restricted).what();
        const std::pair<Operation, std::function<void()>> calls[] = {
            { Operation::userRecordName, [&] { store.userRecordName(); } },
            { Operation::ensureZone, [&] { store.ensureZone(zone); } },
            { Operation::deleteZone, [&] { store.deleteZone(zone); } },
            { Operation::saveEnvelope, [&] { saveNew(); } },
            { Operation::savePresence,
                [&] {
                    store.savePresence({ at(1), bytes("p") }, zone);
                } },
            { Operation::fetchChanges, [&] { store.fetchChanges(zone, std::nullopt); } },
            { Operation::fetchAsset, [&] { store.fetchAsset("e-x", zone); } },
            { Operation::deleteEnvelopes, [&] { store.deleteEnvelopes({}, zone); } },
            { Operation::saveSubscriptions, [&] { store.saveSubscriptions({}, zone); } },
            { Operation::deleteSubscriptions, [&] { store.deleteSubscriptions({}); } },
        };
        for (const auto& [operation, call] : calls) {
            SCOPED_TRACE(rawValue(operation));
            int before = store.count(operation);
            EXPECT_EQ(failureOf(call), refused);
            EXPECT_EQ(store.count(operation), before + 1);
        }
        EXPECT_EQ(store.accountState(), MailboxAccountState::restricted);
        EXPECT_EQ(store.count(Operation::accountState), 1);
        EXPECT_TRUE(store.hasZone(zone));
    }

    TEST_F(InMemoryStoreTest, RateLimitSlidesWithTheInjectedClock)
    {
        store.setRateLimit(2, 10, 5);
        const std::pair<double, std::string> calls[] = {
            { 0, "succeeded" },
            { 1, "succeeded" },
            { 2, MailboxError::busy(5).what() },
            // The call at 0 leaves the window at 10 exactly; the refused call at 2 never entered it.
            { 10, "succeeded" },
            { 10.5, MailboxError::busy(5).what() },
            { 11, "succeeded" },
        };
        for (const auto& [second, outcome] : calls) {
            SCOPED_TRACE(second);
            clock->setSeconds(second);
            EXPECT_EQ(failureOf([&] { store.userRecordName(); }), outcome);
        }
        store.clearRateLimit();
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), "succeeded");
    }

    TEST_F(InMemoryStoreTest, RateLimitWindowKeepsFailuresInsideTheOperationButNotQueuedOnes)
    {
        store.setRateLimit(1, 10, 2);
        store.fail(Operation::ensureZone, MailboxError(MailboxError::Kind::cancelled), 1);
        EXPECT_EQ(failureOf([&] { store.ensureZone(zone); }), textOf(MailboxError::Kind::cancelled));
        // Admitted, then refused for the zone: it still holds the one place in the window.
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, std::nullopt); }),
            textOf(MailboxError::Kind::zoneMissing));
        EXPECT_EQ(failureOf([&] { store.ensureZone(zone); }), MailboxError::busy(2).what());
        EXPECT_FALSE(store.hasZone(zone));
        EXPECT_EQ(store.count(Operation::fetchChanges), 1);
    }

    TEST_F(InMemoryStoreTest, RateLimitKeepsCallsStampedInTheFutureAndRecordsAcrossChanges)
    {
        clock->setSeconds(100);
        store.setRateLimit(1, 10, 1);
        store.userRecordName();
        clock->setSeconds(50);
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), MailboxError::busy(1).what());
        store.clearRateLimit();
        store.setRateLimit(1, 10, 7);
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), MailboxError::busy(7).what());
        store.setRateLimit(0, 10, 7);
        clock->setSeconds(1000);
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), MailboxError::busy(7).what());
    }

    TEST_F(InMemoryStoreTest, LatencyOfZeroOrLessNeverSleeps)
    {
        for (double latency : { 0.0, -1.0 }) {
            store.setLatency(latency);
            store.userRecordName();
        }
        EXPECT_TRUE(clock->sleeps().empty());
        EXPECT_EQ(store.accountState(), MailboxAccountState::available);
        store.setLatency(0.25);
        EXPECT_EQ(store.accountState(), MailboxAccountState::available);
        EXPECT_TRUE(clock->sleeps().empty());
        store.userRecordName();
        EXPECT_EQ(clock->sleeps(), std::vector { 0.25 });
    }

    TEST_F(InMemoryStoreTest, LatencySleepIsCountedBeforeAndLetsOtherCallsRun)
    {
        InMemoryMailboxStore slow(clock, 2);
        int countDuringSleep = -1;
        bool othersRan = false;
        clock->onSleep([&](double) {
            countDuringSleep = slow.count(Operation::userRecordName);
            auto other = std::async(std::launch::async, [&] { return slow.accountState(); });
            othersRan = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        });
        EXPECT_EQ(slow.userRecordName(), "_mailbox-test-user");
        EXPECT_EQ(countDuringSleep, 1);
        EXPECT_TRUE(othersRan);
    }

    TEST_F(InMemoryStoreTest, SleepErrorEndsTheOperationUnchanged)
    {
        store.setLatency(1);
        store.fail(Operation::ensureZone, MailboxError::busy(1), 1);
        clock->onSleep([](double) { throw MailboxCancelledError(); });
        EXPECT_TRUE(vellumar::test::thrown<MailboxCancelledError>([&] { store.ensureZone(zone); }));
        EXPECT_FALSE(store.hasZone(zone));
        EXPECT_EQ(store.count(Operation::ensureZone), 1);
        clock->onSleep({});
        // The queued failure waited behind the sleep and was not consumed.
        EXPECT_EQ(failureOf([&] { store.ensureZone(zone); }), MailboxError::busy(1).what());
    }

    TEST_F(InMemoryStoreTest, ControlsAreNeitherCountedNorFailed)
    {
        store.setAccount(MailboxAccountState::noAccount);
        store.setRateLimit(0, 10, 1);
        store.setLatency(5);
        store.setRecordName("someone");
        store.setQuota(10);
        store.expireChangeTokens();
        store.inject(envelope("e-injected", 1, "x"), std::nullopt, zone);
        store.tamper("e-injected", zone, [](MailboxEnvelopeRecord& record) { record.size = 99; });
        store.dropZone("pair-other");
        EXPECT_EQ(store.envelopes(zone).size(), 1u);
        EXPECT_EQ(store.usedBytes(), 1);
        EXPECT_EQ(store.recordName(), "someone");
        EXPECT_EQ(store.account(), MailboxAccountState::noAccount);
        EXPECT_EQ(store.quotaBytes(), 10);
        EXPECT_EQ(store.latency(), 5);
        EXPECT_EQ(store.rateLimit(), (InMemoryMailboxStore::RateLimit { 0, 10, 1 }));
        EXPECT_TRUE(store.counts().empty());
        EXPECT_TRUE(clock->sleeps().empty());
    }

    TEST_F(InMemoryStoreTest, NegativeFetchLimitActsAsZero)
    {
        store.setFetchLimit(-1);
        EXPECT_EQ(store.fetchLimit(), 0);
        store.ensureZone(zone);
        saveNew();
        auto changes = store.fetchChanges(zone, std::nullopt);
        EXPECT_TRUE(changes.envelopes.empty());
        EXPECT_EQ(offsetOf(changes.token), 0u);
        EXPECT_TRUE(changes.moreComing);
    }

    TEST_F(InMemoryStoreTest, InjectMakesTheZoneAndCountsItsBytesWithoutSavingOrChecks)
    {
        auto tooLarge = envelope("presence-like-name", 1, std::string(1'000'001, 'x'));
        store.setQuota(0);
        store.inject(tooLarge, bytes("asset"), zone);
        EXPECT_TRUE(store.hasZone(zone));
        EXPECT_EQ(store.usedBytes(), 1'000'001 + 5);
        EXPECT_TRUE(store.saved().empty());
        auto replacement = envelope("presence-like-name", 2, "small");
        store.inject(replacement, std::nullopt, zone);
        EXPECT_EQ(store.envelopes(zone), std::vector { replacement });
        EXPECT_EQ(store.usedBytes(), 5);
    }

    TEST_F(InMemoryStoreTest, TamperOfAnUnknownNameChangesNothing)
    {
        store.ensureZone(zone);
        auto kept = saveNew();
        auto token = store.fetchChanges(zone, std::nullopt).token;
        store.tamper("e-unknown", zone, [](MailboxEnvelopeRecord& record) { record.size = 1; });
        store.tamper(kept.name, "pair-elsewhere", [](MailboxEnvelopeRecord& record) { record.size = 1; });
        EXPECT_EQ(store.fetchChanges(zone, token).token, token);
        EXPECT_EQ(store.envelopes(zone), std::vector { asFetched(kept) });
    }

    TEST_F(InMemoryStoreTest, EnvelopesListsByCreationTime)
    {
        store.ensureZone(zone);
        auto late = saveNew("late", 9);
        auto early = saveNew("early", 2);
        auto middle = saveNew("middle", 5);
        EXPECT_EQ(
            store.envelopes(zone), (std::vector { asFetched(early), asFetched(middle), asFetched(late) }));
        EXPECT_TRUE(store.envelopes("pair-none").empty());
        EXPECT_FALSE(store.presence(zone).has_value());
    }

    TEST_F(InMemoryStoreTest, DroppedZoneIsMissingButKeepsItsSubscriptions)
    {
        store.ensureZone(zone);
        store.saveSubscriptions({ { "vl.mac." + zone, "mac", std::nullopt, {} } }, zone);
        saveNew();
        store.dropZone(zone);
        store.dropZone(zone);
        EXPECT_FALSE(store.hasZone(zone));
        EXPECT_EQ(store.subscriptionIDs(), std::vector<std::string> { "vl.mac." + zone });
        EXPECT_EQ(failureOf([&] { saveNew(); }), textOf(MailboxError::Kind::zoneMissing));
        EXPECT_EQ(store.usedBytes(), 0);
    }

}
}
