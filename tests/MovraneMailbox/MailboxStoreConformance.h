// The contract every MailboxStore keeps, as one typed suite that each store's own test folder
// instantiates with a factory of its store:
//
//     struct Factory {
//         // A fresh store with a signed-in account and no zones; may keep files in a folder the
//         // factory owns for as long as it lives (one factory per test).
//         std::unique_ptr<movrane::MailboxStore> make();
//         // The most changes one fetchChanges may return.
//         void setPageLimit(movrane::MailboxStore& store, int limit);
//         // Calls `received` with the subscription id of every notification the store sends, from any
//         // thread, until the factory is gone.
//         void listen(movrane::MailboxStore& store, std::function<void(const std::string&)> received);
//         // Optional: why the store cannot run here (a server that did not start); empty when it can.
//         std::string skipReason() const;
//     };
//     INSTANTIATE_TYPED_TEST_SUITE_P(MyStore, MailboxStoreConformance, ::testing::Types<Factory>);
//
// Only what both stores promise is here. Envelopes are saved in the order of their creation times, so
// a store that returns them by date and one that returns them as they were written agree.
#pragma once

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace movrane {

template <typename Factory> class MailboxStoreConformance : public ::testing::Test {
protected:
    // Declared before the store so that it outlives it.
    NotificationInbox inbox;
    Factory factory;
    std::unique_ptr<MailboxStore> subject = factory.make();
    const std::string zoneName = MailboxZoneName::make();
    vellumar::test::TemporaryFolder folder;

    void SetUp() override
    {
        if constexpr (requires(const Factory& made) { made.skipReason(); }) {
            if (auto reason = factory.skipReason(); !reason.empty())
                GTEST_SKIP() << reason;
        }
    }

    // Every page from `token` on, joined; fails the test on a store that never stops reporting more.
    MailboxChanges fetchAll(std::optional<MailboxBytes> token = std::nullopt)
    {
        MailboxChanges all;
        for (int page = 0; page < 10'000; ++page) {
            auto changes = subject->fetchChanges(zoneName, token);
            all.envelopes.insert(all.envelopes.end(), changes.envelopes.begin(), changes.envelopes.end());
            all.deleted.insert(all.deleted.end(), changes.deleted.begin(), changes.deleted.end());
            if (changes.presence)
                all.presence = changes.presence;
            all.token = changes.token;
            token = changes.token;
            if (!changes.moreComing)
                return all;
        }
        ADD_FAILURE() << "the store kept reporting more changes";
        return all;
    }

    std::filesystem::path assetFile(std::string_view content)
    {
        auto file = folder / ("asset-" + MailboxMessageID::make());
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
};

TYPED_TEST_SUITE_P(MailboxStoreConformance);

TYPED_TEST_P(MailboxStoreConformance, FreshStoreIsSignedInWithAStableUserName)
{
    EXPECT_EQ(this->subject->accountState(), MailboxAccountState::available);
    auto name = this->subject->userRecordName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(this->subject->userRecordName(), name);
}

TYPED_TEST_P(MailboxStoreConformance, FetchWithoutTokenReturnsTheWholeZone)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto first = envelope(MailboxRecordName::envelope(), 1, "first", "mac", MailboxNotify::silent);
    auto second = envelope(
        MailboxRecordName::envelope(), 5, "second", "dev-" + std::string(22, 'A'), MailboxNotify::reply);
    MailboxPresenceRecord presence { at(3), bytes("here") };
    store.saveEnvelope(first, this->zoneName);
    store.savePresence(presence, this->zoneName);
    store.saveEnvelope(second, this->zoneName);

    auto changes = store.fetchChanges(this->zoneName, std::nullopt);
    EXPECT_EQ(changes.envelopes, (std::vector { asFetched(first), asFetched(second) }));
    EXPECT_EQ(changes.presence, presence);
    EXPECT_TRUE(changes.deleted.empty());
    EXPECT_TRUE(changes.token.has_value());
    EXPECT_FALSE(changes.moreComing);
}

TYPED_TEST_P(MailboxStoreConformance, EnsuringAnExistingZoneKeepsItsRecords)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto kept = envelope(MailboxRecordName::envelope(), 1, "kept");
    store.saveEnvelope(kept, this->zoneName);
    store.ensureZone(this->zoneName);
    EXPECT_EQ(this->fetchAll().envelopes, std::vector { asFetched(kept) });
}

TYPED_TEST_P(MailboxStoreConformance, TokenReturnsOnlyWhatChangedAfterIt)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto early = envelope(MailboxRecordName::envelope(), 1, "early");
    store.saveEnvelope(early, this->zoneName);
    auto token = this->fetchAll().token;
    ASSERT_TRUE(token.has_value());

    auto late = envelope(MailboxRecordName::envelope(), 2, "late");
    MailboxPresenceRecord presence { at(2), bytes("present") };
    store.saveEnvelope(late, this->zoneName);
    store.savePresence(presence, this->zoneName);
    auto since = this->fetchAll(token);
    EXPECT_EQ(since.envelopes, std::vector { asFetched(late) });
    EXPECT_EQ(since.presence, presence);

    auto nothing = store.fetchChanges(this->zoneName, since.token);
    EXPECT_TRUE(nothing.envelopes.empty());
    EXPECT_FALSE(nothing.presence.has_value());
    EXPECT_TRUE(nothing.deleted.empty());
    EXPECT_TRUE(nothing.token.has_value());
    EXPECT_FALSE(nothing.moreComing);
}

TYPED_TEST_P(MailboxStoreConformance, DuplicateNameIsRefusedAndTheFirstStays)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto name = MailboxRecordName::envelope();
    auto original = envelope(name, 1, "original");
    store.saveEnvelope(original, this->zoneName);
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(original, this->zoneName); }),
        textOf(MailboxError::Kind::alreadyExists));
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(envelope(name, 2, "replacement"), this->zoneName); }),
        textOf(MailboxError::Kind::alreadyExists));
    EXPECT_EQ(this->fetchAll().envelopes, std::vector { asFetched(original) });
}

TYPED_TEST_P(MailboxStoreConformance, PresenceIsOverwritten)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    store.savePresence({ at(1), bytes("older") }, this->zoneName);
    MailboxPresenceRecord newer { at(2), bytes("newer") };
    store.savePresence(newer, this->zoneName);
    EXPECT_EQ(this->fetchAll().presence, newer);
}

TYPED_TEST_P(MailboxStoreConformance, DeletedEnvelopeIsGoneAndListedSinceAnOlderToken)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto doomed = envelope(MailboxRecordName::envelope(), 1, "doomed");
    auto kept = envelope(MailboxRecordName::envelope(), 2, "kept");
    store.saveEnvelope(doomed, this->zoneName);
    store.saveEnvelope(kept, this->zoneName);
    auto token = this->fetchAll().token;

    store.deleteEnvelopes({ doomed.name }, this->zoneName);
    auto since = this->fetchAll(token);
    EXPECT_TRUE(since.envelopes.empty());
    EXPECT_EQ(since.deleted, std::vector { doomed.name });
    EXPECT_EQ(namesOf(this->fetchAll().envelopes), std::vector { kept.name });
}

TYPED_TEST_P(MailboxStoreConformance, DeletingWhatIsNotThereSucceeds)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto kept = envelope(MailboxRecordName::envelope(), 1, "kept");
    store.saveEnvelope(kept, this->zoneName);
    EXPECT_EQ(failureOf([&] { store.deleteEnvelopes({ MailboxRecordName::envelope() }, this->zoneName); }),
        "succeeded");
    EXPECT_EQ(
        failureOf([&] { store.deleteSubscriptions({ "vl.mac." + MailboxZoneName::make() }); }), "succeeded");
    EXPECT_EQ(failureOf([&] { store.deleteZone(MailboxZoneName::make()); }), "succeeded");
    EXPECT_EQ(this->fetchAll().envelopes, std::vector { asFetched(kept) });
}

TYPED_TEST_P(MailboxStoreConformance, OperationsOnAMissingZoneFail)
{
    auto& store = *this->subject;
    auto gone = MailboxZoneName::make();
    store.ensureZone(gone);
    store.deleteZone(gone);
    for (const auto& zone : { MailboxZoneName::make(), gone }) {
        struct Case {
            const char* operation;
            std::function<void()> call;
        };
        const Case cases[] = {
            { "saveEnvelope",
                [&] { store.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "x"), zone); } },
            { "savePresence",
                [&] {
                    store.savePresence({ at(1), bytes("x") }, zone);
                } },
            { "fetchChanges", [&] { store.fetchChanges(zone, std::nullopt); } },
            { "fetchAsset", [&] { store.fetchAsset(MailboxRecordName::envelope(), zone); } },
            { "deleteEnvelopes", [&] { store.deleteEnvelopes({ MailboxRecordName::envelope() }, zone); } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(
                std::string(c.operation) + (zone == gone ? " on a deleted zone" : " on a zone never made"));
            EXPECT_EQ(failureOf(c.call), textOf(MailboxError::Kind::zoneMissing));
        }
    }
}

TYPED_TEST_P(MailboxStoreConformance, UnreadableTokensHaveExpired)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    store.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "x"), this->zoneName);
    const MailboxBytes tokens[] = { {}, bytes("garbage"), MailboxBytes(12, 0xFF), MailboxBytes(64, 0x07) };
    for (const auto& token : tokens) {
        SCOPED_TRACE(token.size());
        EXPECT_EQ(failureOf([&] { store.fetchChanges(this->zoneName, token); }),
            textOf(MailboxError::Kind::changeTokenExpired));
    }
}

TYPED_TEST_P(MailboxStoreConformance, PagesStopAtTheLimitAndResumeFromTheirToken)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    this->factory.setPageLimit(store, 1);
    std::vector<std::string> saved;
    for (int second = 1; second <= 3; ++second) {
        saved.push_back(MailboxRecordName::envelope());
        store.saveEnvelope(envelope(saved.back(), second, "page"), this->zoneName);
    }
    auto first = store.fetchChanges(this->zoneName, std::nullopt);
    EXPECT_TRUE(first.moreComing);
    ASSERT_TRUE(first.token.has_value());
    EXPECT_LE(first.envelopes.size(), 1u);
    auto rest = this->fetchAll(first.token);
    auto names = namesOf(first.envelopes);
    for (const auto& name : namesOf(rest.envelopes))
        names.push_back(name);
    EXPECT_EQ(names, saved);
}

TYPED_TEST_P(MailboxStoreConformance, AssetComesBackAsANewFileOnEachFetch)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    const std::string content = "encrypted attachment \x00\xFF bytes";
    auto withAsset = envelope(MailboxRecordName::envelope(), 1, "sealed");
    withAsset.assetFile = this->assetFile(content);
    withAsset.hasAsset = true;
    withAsset.size += static_cast<std::int64_t>(content.size());
    store.saveEnvelope(withAsset, this->zoneName);
    EXPECT_EQ(this->fetchAll().envelopes, std::vector { asFetched(withAsset) });

    auto once = store.fetchAsset(withAsset.name, this->zoneName);
    auto twice = store.fetchAsset(withAsset.name, this->zoneName);
    EXPECT_NE(once, twice);
    for (const auto& copy : { once, twice }) {
        EXPECT_TRUE(copy.filename().string().starts_with("mailbox-asset-")) << copy;
        EXPECT_EQ(vellumar::test::readFile(copy), content);
        std::filesystem::remove(copy);
    }
}

TYPED_TEST_P(MailboxStoreConformance, FetchAssetWithoutOneIsNotFound)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    auto bare = envelope(MailboxRecordName::envelope(), 1, "no asset");
    store.saveEnvelope(bare, this->zoneName);
    EXPECT_EQ(failureOf([&] { store.fetchAsset(bare.name, this->zoneName); }),
        textOf(MailboxError::Kind::notFound));
    EXPECT_EQ(failureOf([&] { store.fetchAsset(MailboxRecordName::envelope(), this->zoneName); }),
        textOf(MailboxError::Kind::notFound));
}

TYPED_TEST_P(MailboxStoreConformance, MatchingSubscriptionsNotify)
{
    auto& store = *this->subject;
    this->factory.listen(store, this->inbox.receiver());
    store.ensureZone(this->zoneName);
    const std::string device = "dev-" + std::string(22, 'q');
    const MailboxSubscriptionSpec mac { "vl.mac." + this->zoneName, "mac", std::nullopt, {} };
    const MailboxSubscriptionSpec reply { "vl.dev." + this->zoneName + ".reply", device, MailboxNotify::reply,
        { MailboxSubscriptionSpec::Delivery::Kind::alert, "movrane.mailbox.alert.reply.title",
            "movrane.mailbox.alert.reply.body" } };
    store.saveSubscriptions({ mac, reply }, this->zoneName);

    store.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "to the mac", "mac", MailboxNotify::silent),
        this->zoneName);
    EXPECT_TRUE(this->inbox.waitFor(mac.id));
    store.saveEnvelope(
        envelope(MailboxRecordName::envelope(), 2, "a reply", device, MailboxNotify::reply), this->zoneName);
    EXPECT_TRUE(this->inbox.waitFor(reply.id));
    store.deleteSubscriptions({ mac.id, reply.id });
}

TYPED_TEST_P(MailboxStoreConformance, ConcurrentWritersLoseNothing)
{
    auto& store = *this->subject;
    store.ensureZone(this->zoneName);
    constexpr int writers = 4;
    constexpr int savesEach = 25;
    std::vector<std::vector<std::string>> names(writers);
    std::vector<std::string> failures(writers);
    {
        std::vector<std::jthread> threads;
        for (int writer = 0; writer < writers; ++writer)
            threads.emplace_back([&, writer] {
                for (int save = 0; save < savesEach; ++save) {
                    auto record = envelope(MailboxRecordName::envelope(), save, "concurrent");
                    // A busy store may ask a writer to come back; it must never lose a row it accepted.
                    for (int attempt = 0;; ++attempt) {
                        try {
                            store.saveEnvelope(record, this->zoneName);
                            names[writer].push_back(record.name);
                            break;
                        } catch (const MailboxError& error) {
                            if (!error.isTransient() || attempt == 100) {
                                failures[writer] = error.what();
                                return;
                            }
                        }
                    }
                }
            });
    }
    std::set<std::string> expected;
    for (int writer = 0; writer < writers; ++writer) {
        EXPECT_EQ(failures[writer], "");
        expected.insert(names[writer].begin(), names[writer].end());
    }
    auto fetched = namesOf(this->fetchAll().envelopes);
    EXPECT_EQ(fetched.size(), expected.size());
    EXPECT_EQ(std::set(fetched.begin(), fetched.end()), expected);
}

REGISTER_TYPED_TEST_SUITE_P(MailboxStoreConformance, FreshStoreIsSignedInWithAStableUserName,
    FetchWithoutTokenReturnsTheWholeZone, EnsuringAnExistingZoneKeepsItsRecords,
    TokenReturnsOnlyWhatChangedAfterIt, DuplicateNameIsRefusedAndTheFirstStays, PresenceIsOverwritten,
    DeletedEnvelopeIsGoneAndListedSinceAnOlderToken, DeletingWhatIsNotThereSucceeds,
    OperationsOnAMissingZoneFail, UnreadableTokensHaveExpired, PagesStopAtTheLimitAndResumeFromTheirToken,
    AssetComesBackAsANewFileOnEachFetch, FetchAssetWithoutOneIsNotFound, MatchingSubscriptionsNotify,
    ConcurrentWritersLoseNothing);

}
