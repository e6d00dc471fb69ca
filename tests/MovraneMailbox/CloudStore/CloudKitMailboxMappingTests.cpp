#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "Platform/CloudPush.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

using namespace movrane;
using namespace vellumar::platform;
namespace Mapping = movrane::CloudKitMailboxMapping;

namespace {

const std::string kZone = "pair-" + std::string(22, 'Z');

CloudRecord validEnvelope()
{
    return Mapping::envelopeCKRecord(
        envelope("e-" + std::string(22, 'a'), 5, "sealed", "mac", MailboxNotify::reply));
}

bool readsAsMalformed(const CloudRecord& record)
{
    try {
        Mapping::envelopeRecord(record);
    } catch (const MailboxCryptoError& error) {
        return error.kind() == MailboxCryptoError::Kind::malformed;
    }
    return false;
}

template <typename Error> std::string mapped(const Error& error)
{
    return Mapping::mailboxError(std::make_exception_ptr(error)).what();
}

CloudDatabaseError withItems(std::vector<int> codes)
{
    CloudDatabaseError partial(CloudErrorCode::partialFailure);
    for (int code : codes)
        partial.partialErrors.emplace_back("e-" + std::to_string(code), CloudDatabaseError(code));
    return partial;
}

CloudDatabaseError zoneNotFound(std::optional<bool> resetFlag)
{
    CloudDatabaseError error(CloudErrorCode::zoneNotFound);
    error.userDidResetEncryptedData = resetFlag;
    return error;
}

}

TEST(CloudKitMailboxMapping, EnvelopeRoundTripsWithEveryNotifyKind)
{
    for (auto notify : allMailboxNotifyCases) {
        SCOPED_TRACE(std::string(rawValue(notify)));
        auto record = envelope(
            MailboxRecordName::envelope(), 7, "sealed bytes", "dev-" + std::string(22, '_'), notify);
        EXPECT_EQ(Mapping::envelopeRecord(Mapping::envelopeCKRecord(record)), asFetched(record));
    }
    MailboxPresenceRecord presence { at(9), bytes("presence") };
    auto stored = Mapping::presenceCKRecord(presence);
    EXPECT_EQ(stored.recordName, "presence");
    EXPECT_EQ(Mapping::presenceRecord(stored), presence);
}

TEST(CloudKitMailboxMapping, EnvelopeThatFailsAReadingStepIsMalformed)
{
    struct Case {
        const char* name;
        std::function<void(CloudRecord&)> change;
        bool malformed;
    };
    const Case cases[] = {
        { "valid", [](CloudRecord&) {}, false },
        { "notify none", [](CloudRecord& r) { r.fields["notify"] = std::string("none"); }, false },
        { "named presence", [](CloudRecord& r) { r.recordName = "presence"; }, false },
        { "unknown notify", [](CloudRecord& r) { r.fields["notify"] = std::string("Reply"); }, true },
        { "notify not a string", [](CloudRecord& r) { r.fields["notify"] = std::int64_t { 2 }; }, true },
        { "no payload", [](CloudRecord& r) { r.fields.erase("payload"); }, true },
        { "no payload but an asset",
            [](CloudRecord& r) {
                r.fields.erase("payload");
                r.fields["asset"] = CloudAsset { "/tmp/asset" };
            },
            true },
        { "payload as text", [](CloudRecord& r) { r.fields["payload"] = std::string("sealed"); }, true },
        { "no to", [](CloudRecord& r) { r.fields.erase("to"); }, true },
        { "createdAt as a number", [](CloudRecord& r) { r.fields["createdAt"] = std::int64_t { 1 }; }, true },
        { "size as text", [](CloudRecord& r) { r.fields["size"] = std::string("6"); }, true },
        { "e- and 21", [](CloudRecord& r) { r.recordName = "e-" + std::string(21, 'a'); }, true },
        { "e- and 23", [](CloudRecord& r) { r.recordName = "e-" + std::string(23, 'a'); }, true },
        { "a plus among 22", [](CloudRecord& r) { r.recordName = "e-" + std::string(21, 'a') + "+"; }, true },
        { "type Presence", [](CloudRecord& r) { r.recordType = "Presence"; }, true },
        { "type in lower case", [](CloudRecord& r) { r.recordType = "envelope"; }, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto record = validEnvelope();
        c.change(record);
        EXPECT_EQ(readsAsMalformed(record), c.malformed);
    }
    auto presence = Mapping::presenceCKRecord({ at(1), bytes("p") });
    presence.recordType = "Envelope";
    EXPECT_THROW(Mapping::presenceRecord(presence), MailboxCryptoError);
    EXPECT_THROW(Mapping::presenceRecord(validEnvelope()), MailboxCryptoError);
}

TEST(CloudKitMailboxMapping, AssetIsKnownByItsFieldOrByAPayloadShorterThanTheSize)
{
    struct Case {
        const char* name;
        std::int64_t size;
        bool assetField;
        bool hasAsset;
    };
    const Case cases[] = {
        { "size past the payload", 1'050'000, false, true },
        { "size equal to the payload", 2'000, false, false },
        { "asset field alone", 2'000, true, true },
        { "size below the payload", 1'999, false, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto record = validEnvelope();
        record.fields["payload"] = CloudBytes(2'000, 0x42);
        record.fields["size"] = c.size;
        if (c.assetField)
            record.fields["asset"] = CloudAsset { "/tmp/asset" };
        auto read = Mapping::envelopeRecord(record);
        EXPECT_EQ(read.hasAsset, c.hasAsset);
        EXPECT_FALSE(read.assetFile.has_value());
    }
}

TEST(CloudKitMailboxMapping, SubscriptionsSelectOnTheRecipientAndTheKind)
{
    auto mac = Mapping::subscription({ "vl.mac." + kZone, "mac", std::nullopt, {} }, kZone);
    EXPECT_EQ(mac.predicate.format(), "%K == %@");
    EXPECT_EQ(mac.predicate.arguments(), (std::vector<std::string> { "to", "mac" }));
    EXPECT_EQ(mac.notificationInfo, (CloudNotificationInfo { .shouldSendContentAvailable = true }));
    EXPECT_EQ(mac.recordType, "Envelope");
    EXPECT_EQ(mac.zoneName, kZone);

    const std::string device = "dev-" + std::string(22, 'd');
    auto reply = Mapping::subscription({ "vl.dev." + kZone + ".reply", device, MailboxNotify::reply,
                                           MailboxSubscriptions::delivery(MailboxNotify::reply) },
        kZone);
    EXPECT_EQ(reply.predicate.format(), "%K == %@ AND %K == %@");
    EXPECT_EQ(reply.predicate.arguments(), (std::vector<std::string> { "to", device, "notify", "reply" }));
    EXPECT_EQ(reply.notificationInfo,
        (CloudNotificationInfo {
            true, "movrane.mailbox.alert.reply.title", "movrane.mailbox.alert.reply.body", "default" }));
}

TEST(CloudKitMailboxMapping, PushNamesItsZoneOnlyThroughAMailboxSubscription)
{
    auto subscription = Mapping::subscription({ "vl.mac." + kZone, "mac", std::nullopt, {} }, kZone);
    auto pushed = vellumar::JSON::decode(cloudNotificationJSON("iCloud.com.zu.plimsor", subscription, "e-x"));
    ASSERT_TRUE(pushed);
    EXPECT_EQ(Mapping::subscriptionID(*pushed), kZone);

    struct Case {
        const char* name;
        const char* userInfo;
    };
    const Case cases[] = {
        { "not from the cloud database", R"({"aps":{"content-available":1}})" },
        { "no subscription id", R"({"ck":{"qry":{"zid":"pair-ZZZZZZZZZZZZZZZZZZZZZZ"}}})" },
        { "not a mailbox id", R"({"ck":{"qry":{"sid":"other.pair-ZZZZZZZZZZZZZZZZZZZZZZ"}}})" },
        { "id not a string", R"({"ck":{"qry":{"sid":7}}})" },
        { "not an object", R"([1,2])" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Mapping::subscriptionID(*vellumar::JSON::decode(c.userInfo)), std::nullopt);
    }
}

TEST(CloudKitMailboxMapping, TokensRoundTripAndOtherBytesAreNoToken)
{
    CloudChangeToken token { 0x0102030405060708, 42, true };
    auto archived = Mapping::archiveToken(token);
    ASSERT_TRUE(archived);
    EXPECT_EQ(Mapping::unarchiveToken(*archived), token);
    auto truncated = *archived;
    truncated.pop_back();
    auto otherTag = *archived;
    otherTag[0] ^= 1;
    auto badFlag = *archived;
    badFlag.back() = 2;
    for (const auto& bytes : { MailboxBytes {}, truncated, otherTag, badFlag, token.encoded() })
        EXPECT_EQ(Mapping::unarchiveToken(bytes), std::nullopt);
}

TEST(CloudKitMailboxMapping, AccountStatusesMapOneToOne)
{
    const std::pair<int, MailboxAccountState> cases[] = {
        { 0, MailboxAccountState::couldNotDetermine },
        { 1, MailboxAccountState::available },
        { 2, MailboxAccountState::restricted },
        { 3, MailboxAccountState::noAccount },
        { 4, MailboxAccountState::temporarilyUnavailable },
        { 7, MailboxAccountState::couldNotDetermine },
        { -1, MailboxAccountState::couldNotDetermine },
    };
    for (const auto& [status, state] : cases) {
        SCOPED_TRACE(status);
        EXPECT_EQ(Mapping::accountState(static_cast<CloudAccountStatus>(status)), state);
    }
}

TEST(CloudKitMailboxMapping, CloudErrorsMapByCode)
{
    struct Case {
        CloudDatabaseError error;
        std::string expected;
    };
    const Case cases[] = {
        { CloudDatabaseError(0), "other(code: 0)" },
        { CloudDatabaseError(1), "other(code: 1)" },
        { CloudDatabaseError(3, 4.0), "network(retryAfter: Optional(4.0))" },
        { CloudDatabaseError(4), "network(retryAfter: nil)" },
        { CloudDatabaseError(5), "misconfigured(code: 5)" },
        { CloudDatabaseError(6, 2.5), "busy(retryAfter: Optional(2.5))" },
        { CloudDatabaseError(7, 12.0), "busy(retryAfter: Optional(12.0))" },
        { CloudDatabaseError(7), "busy(retryAfter: nil)" },
        { CloudDatabaseError(9), "account(MovraneMailbox.MailboxAccountState.noAccount)" },
        { CloudDatabaseError(11), "notFound" },
        { CloudDatabaseError(13), "other(code: 13)" },
        { CloudDatabaseError(14), "alreadyExists" },
        { CloudDatabaseError(20), "cancelled" },
        { CloudDatabaseError(21), "changeTokenExpired" },
        { CloudDatabaseError(23, 1.0), "busy(retryAfter: Optional(1.0))" },
        { CloudDatabaseError(24), "misconfigured(code: 24)" },
        { CloudDatabaseError(25), "quotaExceeded" },
        { zoneNotFound(std::nullopt), "zoneMissing" },
        { zoneNotFound(false), "zoneMissing" },
        { zoneNotFound(true), "encryptedDataReset" },
        { CloudDatabaseError(27), "tooLarge" },
        { CloudDatabaseError(28), "zoneMissing" },
        { CloudDatabaseError(32), "account(MovraneMailbox.MailboxAccountState.restricted)" },
        { CloudDatabaseError(34, 3.0), "network(retryAfter: Optional(3.0))" },
        { CloudDatabaseError(36), "account(MovraneMailbox.MailboxAccountState.temporarilyUnavailable)" },
        { CloudDatabaseError(37), "other(code: 37)" },
        { withItems({ 22, 25 }), "quotaExceeded" },
        { withItems({ 22, 22 }), "other(code: 22)" },
        { withItems({}), "other(code: 2)" },
        { withItems({ 11, 14 }), "notFound" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected + " from " + std::to_string(c.error.code()));
        EXPECT_EQ(mapped(c.error), c.expected);
    }
}

TEST(CloudKitMailboxMapping, OtherFailuresMapByWhatTheyAre)
{
    EXPECT_EQ(mapped(URLError(URLError::Code::notConnectedToInternet, nullptr)), "network(retryAfter: nil)");
    EXPECT_EQ(mapped(std::filesystem::filesystem_error("copy", std::error_code(4, std::system_category()))),
        "other(code: 4)");
    EXPECT_EQ(mapped(MailboxCancelledError()), "cancelled");
    EXPECT_EQ(mapped(std::runtime_error("anything")), "other(code: 0)");
    EXPECT_EQ(Mapping::mailboxError(nullptr).kind(), MailboxError::Kind::other);
}

TEST(CloudKitMailboxMapping, MappingAMailboxErrorAgainChangesNothing)
{
    const std::exception_ptr inputs[] = {
        std::make_exception_ptr(CloudDatabaseError(7, 12.0)),
        std::make_exception_ptr(zoneNotFound(true)),
        std::make_exception_ptr(withItems({ 22, 25 })),
        std::make_exception_ptr(URLError(URLError::Code::timedOut, nullptr)),
        std::make_exception_ptr(MailboxCancelledError()),
        std::make_exception_ptr(MailboxError::misconfigured(8)),
    };
    for (const auto& input : inputs) {
        auto once = Mapping::mailboxError(input);
        SCOPED_TRACE(once.what());
        EXPECT_EQ(Mapping::mailboxError(std::make_exception_ptr(once)), once);
    }
}
