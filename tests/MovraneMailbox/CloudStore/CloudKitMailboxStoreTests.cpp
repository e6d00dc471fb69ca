#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

using namespace movrane;
using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

class CloudKitMailboxStoreTest : public test::CloudStoreTest {
protected:
    // An envelope saved in the zone with an asset holding `content`.
    MailboxEnvelopeRecord savedWithAsset(std::string_view content)
    {
        store.ensureZone(zone);
        auto record = envelope(MailboxRecordName::envelope(), 1, "sealed");
        record.assetFile = factory.root / "attachment";
        vellumar::test::writeBytes(*record.assetFile, content);
        store.saveEnvelope(record, zone);
        return record;
    }

    void queue(
        const char* operation, int code, std::optional<double> retryAfter = std::nullopt, int count = 1)
    {
        store.container().queueFailure({ operation, code, retryAfter, count });
    }
};

}

TEST_F(CloudKitMailboxStoreTest, EnvelopesComeBackInTimeOrderWithPresenceAndWithoutInvalidRecords)
{
    store.ensureZone(zone);
    auto later = envelope(MailboxRecordName::envelope(), 5, "10:00:05");
    auto earlier = envelope(MailboxRecordName::envelope(), 1, "10:00:01");
    MailboxPresenceRecord presence { at(3), bytes("present") };
    store.saveEnvelope(later, zone);
    store.savePresence(presence, zone);
    auto invalid
        = CloudKitMailboxMapping::envelopeCKRecord(envelope(MailboxRecordName::envelope(), 0, "bad"));
    invalid.fields["notify"] = std::string("loud");
    ASSERT_FALSE(store.container().saveRecords(zone, { invalid }, CloudSavePolicy::allKeys).front().error);
    store.saveEnvelope(earlier, zone);

    auto changes = store.fetchChanges(zone, std::nullopt);
    EXPECT_EQ(changes.envelopes, (std::vector { asFetched(earlier), asFetched(later) }));
    EXPECT_EQ(changes.presence, presence);
}

TEST_F(CloudKitMailboxStoreTest, EmptyListsRunNothing)
{
    store.ensureZone(zone);
    queue("deleteEnvelopes", 4);
    queue("deleteSubscriptions", 4);
    EXPECT_EQ(failureOf([&] { store.deleteEnvelopes({}, zone); }), "succeeded");
    EXPECT_EQ(failureOf([&] { store.deleteSubscriptions({}); }), "succeeded");
    // The failures are still queued: the empty calls made no request that could take them.
    EXPECT_EQ(failureOf([&] { store.deleteEnvelopes({ MailboxRecordName::envelope() }, zone); }),
        "network(retryAfter: nil)");
    EXPECT_EQ(
        failureOf([&] { store.deleteSubscriptions({ "vl.mac." + zone }); }), "network(retryAfter: nil)");
}

TEST_F(CloudKitMailboxStoreTest, GarbageTokenExpiresBeforeAnyRequest)
{
    store.ensureZone(zone);
    queue("fetchChanges", 6, 2.0);
    EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, bytes("not a token")); }),
        textOf(MailboxError::Kind::changeTokenExpired));
    EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, std::nullopt); }), "busy(retryAfter: Optional(2.0))");
}

TEST_F(CloudKitMailboxStoreTest, TokenOfAnEarlierZoneOfTheSameNameHasExpired)
{
    store.ensureZone(zone);
    store.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "x"), zone);
    auto token = store.fetchChanges(zone, std::nullopt).token;
    store.deleteZone(zone);
    store.ensureZone(zone);
    EXPECT_EQ(
        failureOf([&] { store.fetchChanges(zone, token); }), textOf(MailboxError::Kind::changeTokenExpired));
}

TEST_F(CloudKitMailboxStoreTest, QueuedFailureIsAnsweredCountTimesThenTheCallRuns)
{
    store.ensureZone(zone);
    queue("saveEnvelope", 7, 12.0, 2);
    queue("userRecordName", 2);
    auto record = envelope(MailboxRecordName::envelope(), 1, "x");
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(record, zone); }), "busy(retryAfter: Optional(12.0))");
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(record, zone); }), "busy(retryAfter: Optional(12.0))");
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(record, zone); }), "succeeded");
    EXPECT_EQ(failureOf([&] { store.userRecordName(); }), "other(code: 2)");
}

TEST_F(CloudKitMailboxStoreTest, AccountStateFollowsTheAccountAndNeverFails)
{
    auto name = store.userRecordName();
    struct Case {
        int status;
        MailboxAccountState state;
        std::string userRecordName;
    };
    const Case cases[] = {
        { 3, MailboxAccountState::noAccount, "account(MovraneMailbox.MailboxAccountState.noAccount)" },
        { 2, MailboxAccountState::restricted, "account(MovraneMailbox.MailboxAccountState.noAccount)" },
        { 4, MailboxAccountState::temporarilyUnavailable,
            "account(MovraneMailbox.MailboxAccountState.temporarilyUnavailable)" },
        { 7, MailboxAccountState::couldNotDetermine,
            "account(MovraneMailbox.MailboxAccountState.noAccount)" },
        { 1, MailboxAccountState::available, "succeeded" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        store.container().setAccount({ static_cast<CloudAccountStatus>(c.status), name });
        EXPECT_EQ(store.accountState(), c.state);
        EXPECT_EQ(failureOf([&] { store.userRecordName(); }), c.userRecordName);
    }
    queue("accountState", 4);
    EXPECT_EQ(store.accountState(), MailboxAccountState::couldNotDetermine);
    EXPECT_EQ(store.accountState(), MailboxAccountState::available);
}

TEST_F(CloudKitMailboxStoreTest, AssetCopiesArePrivateFilesOfTheCloudFolderNeverTheSharedTemporaryFolder)
{
    auto withAsset = savedWithAsset("cipher text");

    auto copy = store.fetchAsset(withAsset.name, zone);
    EXPECT_EQ(copy.parent_path(), factory.cloudFolder() / "tmp");
    EXPECT_EQ(vellumar::test::modeOf(copy.parent_path()), 0700u);
    EXPECT_EQ(vellumar::test::modeOf(copy), 0600u);
    EXPECT_EQ(copy.filename().string().size(), std::string("mailbox-asset-").size() + 36);
    // The caller owns its copy: changing it leaves the stored asset as it was.
    vellumar::test::writeBytes(copy, "changed by the caller");
    EXPECT_EQ(vellumar::test::readFile(store.fetchAsset(withAsset.name, zone)), "cipher text");
}

TEST_F(CloudKitMailboxStoreTest, OldAssetCopiesLeftBehindAreRemovedWhenTheStoreOpens)
{
    fs::path tmp = factory.cloudFolder() / "tmp";
    for (const char* name : { "mailbox-asset-old", "mailbox-asset-recent", "other-old" })
        vellumar::test::writeBytes(tmp / name, "left");
    auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    fs::last_write_time(tmp / "mailbox-asset-old", twoHoursAgo);
    fs::last_write_time(tmp / "other-old", twoHoursAgo);
    EXPECT_EQ(store.accountState(), MailboxAccountState::available);
    // A recent copy may still be read by another process that shares the folder.
    EXPECT_EQ(vellumar::test::namesIn(tmp), (std::set<std::string> { "mailbox-asset-recent", "other-old" }));
}

TEST_F(CloudKitMailboxStoreTest, FailedAssetCopyIsAMailboxError)
{
    auto withAsset = savedWithAsset("cipher text");
    for (const auto& stored : fs::directory_iterator(factory.cloudFolder() / "assets"))
        fs::remove(stored.path());
    EXPECT_EQ(failureOf([&] { store.fetchAsset(withAsset.name, zone); }), "other(code: 2)");
    EXPECT_TRUE(vellumar::test::namesIn(factory.cloudFolder() / "tmp").empty());
}

TEST_F(CloudKitMailboxStoreTest, MissingAssetFileFailsTheSaveAndStoresNothing)
{
    store.ensureZone(zone);
    auto withAsset = envelope(MailboxRecordName::envelope(), 1, "sealed");
    withAsset.assetFile = factory.root / "never written";
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(withAsset, zone); }), "other(code: 16)");
    EXPECT_TRUE(store.fetchChanges(zone, std::nullopt).envelopes.empty());
}

TEST_F(CloudKitMailboxStoreTest, FolderThatCannotBeMadePrivateFailsEveryOperation)
{
    vellumar::test::TemporaryFolder elsewhere;
    fs::create_directory_symlink(elsewhere.path(), factory.root / "linked");
    CloudKitMailboxStore linked(
        std::string(MailboxProtocol::containerIdentifier), { .folder = factory.root / "linked" });
    EXPECT_EQ(linked.accountState(), MailboxAccountState::couldNotDetermine);
    EXPECT_EQ(failureOf([&] { linked.ensureZone(zone); }), "misconfigured(code: 10)");
    EXPECT_TRUE(vellumar::test::namesIn(elsewhere.path()).empty());
}
