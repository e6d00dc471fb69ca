#include "tests/MovraneMailbox/MemoryStore/InMemoryStoreFixture.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <fstream>

namespace movrane {
namespace {

    const MailboxSubscriptionSpec kMacSubscription { "vl.mac.a", "mac", std::nullopt, {} };

    MailboxSubscriptionSpec subscription(
        std::string id, std::string recipient, std::optional<MailboxNotify> notify)
    {
        return { std::move(id), std::move(recipient), notify, {} };
    }

    TEST_F(InMemoryStoreTest, LongLogIsPagedByTheFetchLimit)
    {
        store.ensureZone(zone);
        for (int entry = 0; entry < 450; ++entry)
            saveNew("x");
        struct Page {
            std::size_t envelopes;
            bool moreComing;
            std::uint64_t offset;
        };
        // The last fetch, with the newest token, finds nothing and hands the same token back.
        const Page pages[] = { { 400, true, 400 }, { 50, false, 450 }, { 0, false, 450 } };
        std::optional<MailboxBytes> token;
        for (const auto& page : pages) {
            SCOPED_TRACE(page.offset);
            auto changes = store.fetchChanges(zone, token);
            EXPECT_EQ(changes.envelopes.size(), page.envelopes);
            EXPECT_EQ(changes.moreComing, page.moreComing);
            EXPECT_EQ(offsetOf(changes.token), page.offset);
            token = changes.token;
        }
    }

    TEST_F(InMemoryStoreTest, FetchLimitOfZeroConsumesNothing)
    {
        store.ensureZone(zone);
        auto empty = store.fetchChanges(zone, std::nullopt);
        store.setFetchLimit(0);
        EXPECT_FALSE(store.fetchChanges(zone, empty.token).moreComing);
        saveNew();
        auto waiting = store.fetchChanges(zone, empty.token);
        EXPECT_TRUE(waiting.envelopes.empty());
        EXPECT_EQ(waiting.token, empty.token);
        EXPECT_TRUE(waiting.moreComing);
    }

    TEST_F(InMemoryStoreTest, SavedThenDeletedIsInvisibleFreshAndDeletedSinceAnOlderToken)
    {
        store.ensureZone(zone);
        auto before = store.fetchChanges(zone, std::nullopt).token;
        auto gone = saveNew();
        store.deleteEnvelopes({ gone.name, gone.name, "e-never" }, zone);
        auto fresh = store.fetchChanges(zone, std::nullopt);
        EXPECT_TRUE(fresh.envelopes.empty());
        EXPECT_TRUE(fresh.deleted.empty());
        // The save and one delete: a name not stored, or already gone, leaves no entry.
        EXPECT_EQ(offsetOf(fresh.token), 2u);
        auto since = store.fetchChanges(zone, before);
        EXPECT_TRUE(since.envelopes.empty());
        EXPECT_EQ(since.deleted, std::vector { gone.name });
        EXPECT_EQ(store.saved(), std::vector { asFetched(gone) });
    }

    TEST_F(InMemoryStoreTest, TamperedRecordIsReportedOnceInItsAlteredForm)
    {
        store.ensureZone(zone);
        auto original = saveNew("genuine");
        store.tamper(original.name, zone, [](MailboxEnvelopeRecord& record) {
            record.payload = bytes("forged");
            record.name = "e-renamed";
        });
        auto altered = asFetched(original);
        altered.payload = bytes("forged");
        altered.name = "e-renamed";
        auto changes = store.fetchChanges(zone, std::nullopt);
        EXPECT_EQ(changes.envelopes, std::vector { altered });
        EXPECT_EQ(offsetOf(changes.token), 2u);
        EXPECT_EQ(store.saved(), std::vector { asFetched(original) });
    }

    TEST_F(InMemoryStoreTest, EnvelopesComeInTheOrderOfTheirFirstChange)
    {
        store.ensureZone(zone);
        auto late = saveNew("late", 9);
        auto early = saveNew("early", 1);
        store.tamper(late.name, zone, [](MailboxEnvelopeRecord& record) { record.size = 2; });
        auto changes = store.fetchChanges(zone, std::nullopt);
        EXPECT_EQ(namesOf(changes.envelopes), (std::vector { late.name, early.name }));
    }

    TEST_F(InMemoryStoreTest, TwoPresenceSavesInOneWindowAreOneRecordTheNewer)
    {
        store.ensureZone(zone);
        store.savePresence({ at(1), bytes("older") }, zone);
        auto between = saveNew();
        MailboxPresenceRecord newer { at(2), bytes("newer") };
        store.savePresence(newer, zone);
        auto changes = store.fetchChanges(zone, std::nullopt);
        EXPECT_EQ(changes.presence, newer);
        EXPECT_EQ(changes.envelopes, std::vector { asFetched(between) });
        EXPECT_EQ(offsetOf(changes.token), 3u);
        EXPECT_EQ(store.presence(zone), newer);
    }

    TEST_F(InMemoryStoreTest, ExpiredTokensAreRefusedWhileTheLogStaysWhole)
    {
        store.ensureZone(zone);
        auto first = saveNew();
        auto token = store.fetchChanges(zone, std::nullopt).token;
        store.expireChangeTokens();
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, token); }),
            textOf(MailboxError::Kind::changeTokenExpired));
        auto restart = store.fetchChanges(zone, std::nullopt);
        EXPECT_EQ(restart.envelopes, std::vector { asFetched(first) });
        EXPECT_EQ(restart.token, changeToken(1, 1));
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, restart.token); }), "succeeded");
    }

    TEST_F(InMemoryStoreTest, TokensAreCheckedAgainstTheZoneAsItIsNow)
    {
        store.ensureZone(zone);
        saveNew();
        saveNew();
        struct Case {
            const char* name;
            MailboxBytes token;
            std::string outcome;
        };
        const auto expired = textOf(MailboxError::Kind::changeTokenExpired);
        const Case cases[] = {
            { "start", changeToken(0, 0), "succeeded" },
            { "end of the log", changeToken(0, 2), "succeeded" },
            { "past the log", changeToken(0, 3), expired },
            { "far past the log", changeToken(0, ~std::uint64_t { 0 }), expired },
            { "another epoch", changeToken(1, 0), expired },
            // Zeros: epoch 0 and offset 0 but for the length.
            { "one byte short", MailboxBytes(11, 0), expired },
            { "one byte long", MailboxBytes(13, 0), expired },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, c.token); }), c.outcome);
        }
    }

    TEST_F(InMemoryStoreTest, RemadeZoneStartsAgainAtEpochZero)
    {
        store.ensureZone(zone);
        saveNew();
        auto token = store.fetchChanges(zone, std::nullopt).token;
        store.deleteZone(zone);
        store.ensureZone(zone);
        EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, token); }),
            textOf(MailboxError::Kind::changeTokenExpired));
        auto fresh = store.fetchChanges(zone, changeToken(0, 0));
        EXPECT_TRUE(fresh.envelopes.empty());
        EXPECT_EQ(fresh.token, changeToken(0, 0));
    }

    TEST_F(InMemoryStoreTest, TokenNamesNoZone)
    {
        const std::string other = MailboxZoneName::make();
        store.ensureZone(zone);
        store.ensureZone(other);
        saveNew();
        auto token = store.fetchChanges(zone, std::nullopt).token;
        EXPECT_EQ(failureOf([&] { store.fetchChanges(other, token); }),
            textOf(MailboxError::Kind::changeTokenExpired));
        store.savePresence({ at(1), bytes("p") }, other);
        EXPECT_EQ(store.fetchChanges(other, token).token, token);
    }

    TEST_F(InMemoryStoreTest, PayloadLimitIsOneMillionBytes)
    {
        store.ensureZone(zone);
        EXPECT_EQ(failureOf([&] { saveNew(std::string(1'000'000, 'p')); }), "succeeded");
        auto tooLarge = envelope(MailboxRecordName::envelope(), 1, std::string(1'000'001, 'p'));
        // The size field is not what is measured.
        tooLarge.size = 10;
        EXPECT_EQ(
            failureOf([&] { store.saveEnvelope(tooLarge, zone); }), textOf(MailboxError::Kind::tooLarge));
        EXPECT_EQ(store.saved().size(), 1u);
    }

    TEST_F(InMemoryStoreTest, QuotaCountsPresenceAndAssetsButNeverRefusesPresence)
    {
        vellumar::test::TemporaryFolder folder;
        store.ensureZone(zone);
        store.setQuota(100);
        store.savePresence({ at(1), bytes(std::string(20, 'p')) }, zone);
        saveNew(std::string(40, 'e'));
        EXPECT_EQ(store.usedBytes(), 60);
        EXPECT_EQ(
            failureOf([&] { saveNew(std::string(41, 'e')); }), textOf(MailboxError::Kind::quotaExceeded));
        auto withAsset = envelope(MailboxRecordName::envelope(), 1, std::string(30, 'e'));
        withAsset.assetFile = folder / "asset";
        vellumar::test::writeBytes(*withAsset.assetFile, std::string(11, 'a'));
        EXPECT_EQ(failureOf([&] { store.saveEnvelope(withAsset, zone); }),
            textOf(MailboxError::Kind::quotaExceeded));
        vellumar::test::writeBytes(*withAsset.assetFile, std::string(10, 'a'));
        EXPECT_EQ(failureOf([&] { store.saveEnvelope(withAsset, zone); }), "succeeded");
        EXPECT_EQ(store.usedBytes(), 100);
        EXPECT_EQ(failureOf([&] {
            store.savePresence({ at(2), bytes(std::string(500, 'p')) }, zone);
        }),
            "succeeded");
        EXPECT_EQ(store.usedBytes(), 580);
        EXPECT_EQ(store.saved().size(), 2u);
    }

    TEST_F(InMemoryStoreTest, DuplicateNameIsCountedAndChecksComeInOrder)
    {
        store.ensureZone(zone);
        auto first = saveNew();
        EXPECT_EQ(
            failureOf([&] { store.saveEnvelope(first, zone); }), textOf(MailboxError::Kind::alreadyExists));
        EXPECT_EQ(store.count(Operation::saveEnvelope), 2);
        // A payload too large is refused before the name is looked at, and the name before the quota.
        auto sameNameTooLarge = first;
        sameNameTooLarge.payload = MailboxBytes(1'000'001, 0);
        EXPECT_EQ(failureOf([&] { store.saveEnvelope(sameNameTooLarge, zone); }),
            textOf(MailboxError::Kind::tooLarge));
        store.setQuota(0);
        EXPECT_EQ(
            failureOf([&] { store.saveEnvelope(first, zone); }), textOf(MailboxError::Kind::alreadyExists));
        EXPECT_EQ(failureOf([&] { store.saveEnvelope(first, "pair-missing"); }),
            textOf(MailboxError::Kind::zoneMissing));
    }

    TEST_F(InMemoryStoreTest, ZoneMissingComesAfterAdmission)
    {
        store.setRateLimit(1, 10, 4);
        EXPECT_EQ(failureOf([&] { saveNew(); }), textOf(MailboxError::Kind::zoneMissing));
        EXPECT_EQ(store.count(Operation::saveEnvelope), 1);
        EXPECT_EQ(failureOf([&] { store.ensureZone(zone); }), MailboxError::busy(4).what());
    }

    TEST_F(InMemoryStoreTest, UnreadableAssetFileFailsWithItsOwnCode)
    {
        vellumar::test::TemporaryFolder folder;
        store.ensureZone(zone);
        for (const auto& file : { folder / "missing", folder.path() }) {
            SCOPED_TRACE(file);
            auto record = envelope(MailboxRecordName::envelope(), 1, "x");
            record.assetFile = file;
            EXPECT_EQ(failureOf([&] { store.saveEnvelope(record, zone); }), MailboxError::other(-1).what());
        }
        EXPECT_TRUE(store.envelopes(zone).empty());
    }

    TEST_F(InMemoryStoreTest, AssetCopiesArePrivateAndTheSourceStays)
    {
        vellumar::test::TemporaryFolder folder;
        store.ensureZone(zone);
        auto record = envelope(MailboxRecordName::envelope(), 1, "x");
        record.assetFile = folder / "asset";
        vellumar::test::writeBytes(*record.assetFile, "attachment");
        store.saveEnvelope(record, zone);
        EXPECT_EQ(vellumar::test::readFile(*record.assetFile), "attachment");
        auto copy = store.fetchAsset(record.name, zone);
        EXPECT_EQ(vellumar::test::modeOf(copy), 0600u);
        EXPECT_EQ(copy.parent_path(), std::filesystem::temp_directory_path());
        EXPECT_EQ(copy.filename().string().size(), std::string("mailbox-asset-").size() + 36);
        std::filesystem::remove(copy);
        EXPECT_EQ(store.saved().back().hasAsset, true);
        EXPECT_FALSE(store.saved().back().assetFile.has_value());
    }

    TEST_F(InMemoryStoreTest, AssetCopyThatCannotBeWrittenFailsWithItsOwnCode)
    {
        store.inject(envelope("e-with-asset", 1, "x"), bytes("asset"), zone);
        const char* previous = std::getenv("TMPDIR");
        std::string kept = previous ? previous : "";
        ::setenv("TMPDIR", "/nonexistent-folder-for-mailbox-assets", 1);
        auto outcome = failureOf([&] { store.fetchAsset("e-with-asset", zone); });
        previous ? ::setenv("TMPDIR", kept.c_str(), 1) : ::unsetenv("TMPDIR");
        EXPECT_EQ(outcome, MailboxError::other(-2).what());
    }

    TEST_F(InMemoryStoreTest, EachMatchingSubscriptionCallsEachListenerOnce)
    {
        NotificationInbox first;
        NotificationInbox second;
        store.onNotification(first.receiver());
        store.onNotification(second.receiver());
        const std::string otherZone = MailboxZoneName::make();
        store.ensureZone(zone);
        store.ensureZone(otherZone);
        store.saveSubscriptions(
            { subscription("vl.b", "mac", std::nullopt), subscription("vl.a", "mac", MailboxNotify::reply),
                subscription("vl.c", "mac", MailboxNotify::silent),
                subscription("vl.d", "dev-" + std::string(22, 'd'), std::nullopt) },
            zone);
        store.saveSubscriptions({ subscription("vl.e", "mac", std::nullopt) }, otherZone);

        store.saveEnvelope(
            envelope(MailboxRecordName::envelope(), 1, "x", "mac", MailboxNotify::reply), zone);
        EXPECT_EQ(store.notifications(), (std::vector<std::string> { "vl.a", "vl.b" }));
        ASSERT_TRUE(first.waitForCount(2));
        ASSERT_TRUE(second.waitForCount(2));
        EXPECT_EQ(first.received(), (std::vector<std::string> { "vl.a", "vl.b" }));
        EXPECT_EQ(second.received(), (std::vector<std::string> { "vl.a", "vl.b" }));
    }

    TEST_F(InMemoryStoreTest, PresenceInjectTamperAndFailedSavesNotifyNothing)
    {
        store.ensureZone(zone);
        store.saveSubscriptions({ kMacSubscription }, zone);
        store.savePresence({ at(1), bytes("p") }, zone);
        store.inject(envelope("e-injected", 1, "x"), std::nullopt, zone);
        store.tamper("e-injected", zone, [](MailboxEnvelopeRecord& record) { record.size = 5; });
        auto existing = envelope("e-injected", 1, "x");
        EXPECT_EQ(failureOf([&] { store.saveEnvelope(existing, zone); }),
            textOf(MailboxError::Kind::alreadyExists));
        EXPECT_TRUE(store.notifications().empty());
        store.saveEnvelope(envelope("e-saved", 1, "x"), zone);
        EXPECT_EQ(store.notifications(), std::vector<std::string> { "vl.mac.a" });
    }

    TEST_F(InMemoryStoreTest, SubscriptionsMoveBetweenZonesAndLeaveWithTheirZone)
    {
        const std::string otherZone = MailboxZoneName::make();
        store.ensureZone(zone);
        store.ensureZone(otherZone);
        store.saveSubscriptions({ kMacSubscription }, zone);
        store.saveSubscriptions({ kMacSubscription }, otherZone);
        store.saveEnvelope(envelope("e-first", 1, "x"), zone);
        EXPECT_TRUE(store.notifications().empty());
        store.deleteZone(zone);
        EXPECT_EQ(store.subscriptionIDs(), std::vector<std::string> { "vl.mac.a" });
        store.deleteZone(otherZone);
        EXPECT_TRUE(store.subscriptionIDs().empty());
        store.ensureZone(zone);
        store.saveSubscriptions({ kMacSubscription }, zone);
        store.deleteSubscriptions({ "vl.unknown", kMacSubscription.id, kMacSubscription.id });
        EXPECT_TRUE(store.subscriptionIDs().empty());
        EXPECT_EQ(failureOf([&] { store.saveSubscriptions({ kMacSubscription }, otherZone); }),
            textOf(MailboxError::Kind::zoneMissing));
    }

    TEST_F(InMemoryStoreTest, NoListenerCallOutlivesTheStore)
    {
        NotificationInbox inbox;
        std::size_t notified = 0;
        {
            InMemoryMailboxStore shortLived(clock, 0);
            shortLived.onNotification(inbox.receiver());
            // Each call writes again: an endless chain of calls into the store, which its end must cut.
            shortLived.onNotification([&shortLived, this](const std::string&) {
                shortLived.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "echo"), zone);
            });
            shortLived.ensureZone(zone);
            shortLived.saveSubscriptions({ kMacSubscription }, zone);
            shortLived.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "x"), zone);
            ASSERT_TRUE(inbox.waitForCount(3));
            notified = shortLived.notifications().size();
        }
        EXPECT_GE(notified, 3u);
        EXPECT_GE(inbox.received().size(), 3u);
    }

}
}
