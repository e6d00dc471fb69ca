#include "MovraneMailbox/Protocol/MailboxChannel.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/Protocol/MailboxTestPrinters.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

namespace movrane {

namespace {

    using namespace std::chrono;
    using Kind = MailboxCryptoError::Kind;
    using vellumar::test::thrown;

    const MailboxTime kNow = MailboxTime(milliseconds(1'700'000'000'000));

    struct Pair {
        MailboxIdentity macIdentity = MailboxIdentity::generate();
        MailboxIdentity deviceIdentity = MailboxIdentity::generate();
        MailboxPairing pairing = MailboxPairing::make(MailboxZoneName::make(), "mac-1", "ios-phone",
            macIdentity.publicKey(), deviceIdentity.publicKey());
        MailboxChannel mac { pairing, MailboxRole::mac, macIdentity };
        MailboxChannel device { pairing, MailboxRole::device, deviceIdentity };
        MailboxChannelState macState;
        MailboxChannelState deviceState;
    };

    MailboxContent event(std::size_t bodyBytes = 2) { return MailboxEvent { "e", MailboxBytes(bodyBytes, 'b') }; }

    MailboxChannel::Sealed sealFromMac(Pair& pair, MailboxContent content = event(), MailboxChannel::SealOptions options = {})
    {
        return pair.mac.seal(content, MailboxMessageID::make(), MailboxRecordName::envelope(), options, kNow, pair.macState);
    }

    std::optional<MailboxCryptoError> failure(const std::function<void()>& operation)
    {
        return thrown<MailboxCryptoError>(operation);
    }

    TEST(MailboxChannel, TagsKeysAndLabelsFollowTheRole)
    {
        Pair pair;
        EXPECT_EQ(pair.mac.ownTag(), "mac");
        EXPECT_EQ(pair.mac.peerTag(), pair.pairing.deviceTag());
        EXPECT_EQ(pair.device.peerKey(), pair.macIdentity.publicKey());
        EXPECT_EQ(pair.mac.label(), "mailbox.mac." + pair.pairing.zoneName);
        EXPECT_EQ(pair.device.label(), "mailbox.device." + pair.pairing.zoneName);
        auto foreign = thrown<MailboxKeyError>([&] { MailboxChannel(pair.pairing, MailboxRole::mac, pair.deviceIdentity); });
        ASSERT_TRUE(foreign);
        EXPECT_EQ(*foreign, MailboxKeyError::invalidPrivateKey());
    }

    TEST(MailboxChannel, ARecordOpensOnceWithTheReplayCheckAndAlwaysWithoutIt)
    {
        Pair pair;
        auto sealed = sealFromMac(pair);
        EXPECT_EQ(pair.device.open(sealed.record, kNow, pair.deviceState, false), sealed.message);
        EXPECT_EQ(pair.device.open(sealed.record, kNow, pair.deviceState, false), sealed.message);
        EXPECT_EQ(pair.device.open(sealed.record, kNow, pair.deviceState), sealed.message);
        EXPECT_EQ(failure([&] { pair.device.open(sealed.record, kNow, pair.deviceState); }), MailboxCryptoError(Kind::replayed));
    }

    TEST(MailboxChannel, RecordsForOthersAreRefusedBeforeAnyDecryption)
    {
        Pair pair;
        auto sealed = sealFromMac(pair);
        auto elsewhere = sealed.record;
        elsewhere.to = MailboxPartyTag::device("other");
        elsewhere.payload = MailboxBytes(50, 0xEE);
        EXPECT_EQ(failure([&] { pair.device.open(elsewhere, kNow, pair.deviceState); }), MailboxCryptoError(Kind::wrongRecipient));

        // The record says the right recipient; the sealed header names another.
        auto misaddressed = pair.mac.seal(event(), MailboxMessageID::make(), MailboxRecordName::envelope(), {}, kNow, pair.macState);
        misaddressed.record.to = MailboxPartyTag::device("ios-other");
        MailboxChannel otherDevice(MailboxPairing::make(pair.pairing.zoneName, "mac-1", "ios-other",
                                       pair.macIdentity.publicKey(), pair.deviceIdentity.publicKey()),
            MailboxRole::device, pair.deviceIdentity);
        EXPECT_EQ(failure([&] { otherDevice.open(misaddressed.record, kNow, pair.deviceState); }),
            MailboxCryptoError(Kind::wrongRecipient));

        // Addressed to this device, but from another device rather than the Mac.
        auto stranger = MailboxIdentity::generate();
        auto fromStranger = MailboxMessage::make(MailboxMessageID::make(), MailboxPartyTag::device("ios-stranger"),
            pair.device.ownTag(), 1, kNow, kNow + seconds(60), event());
        auto recordName = MailboxRecordName::envelope();
        MailboxEnvelopeRecord strangers(recordName, pair.device.ownTag(), MailboxNotify::none, kNow, 0,
            MailboxCipher::seal(fromStranger, recordName, pair.pairing.zoneName, stranger, pair.deviceIdentity.publicKey()),
            std::nullopt);
        EXPECT_EQ(failure([&] { pair.device.open(strangers, kNow, pair.deviceState); }), MailboxCryptoError(Kind::wrongSender));
        EXPECT_TRUE(pair.deviceState.replay.seen.empty());
    }

    TEST(MailboxChannel, SealingLimitsBodiesAndPairsAttachmentsWithTheirFiles)
    {
        Pair pair;
        EXPECT_NO_THROW(sealFromMac(pair, event(819'200)));
        auto before = pair.macState.lastSequence;
        EXPECT_EQ(failure([&] { sealFromMac(pair, event(819'201)); }), MailboxCryptoError(Kind::tooLarge));
        EXPECT_EQ(failure([&] { sealFromMac(pair, event(), { .attachment = MailboxAttachmentKey { "k", 1 } }); }),
            MailboxCryptoError(Kind::invalidContent));
        EXPECT_EQ(failure([&] { sealFromMac(pair, event(), { .assetFile = "/tmp/a" }); }), MailboxCryptoError(Kind::invalidContent));
        EXPECT_EQ(pair.macState.lastSequence, before);

        auto withAttachment = sealFromMac(pair, event(900'000),
            { .notify = MailboxNotify::reply, .attachment = MailboxAttachmentKey { std::string(43, 'k'), 900'000 },
                .assetFile = "/tmp/asset" });
        EXPECT_TRUE(std::get<MailboxEvent>(withAttachment.message.content).body.empty());
        EXPECT_TRUE(withAttachment.record.hasAsset);
        EXPECT_EQ(withAttachment.record.size, static_cast<std::int64_t>(withAttachment.record.payload->size()) + 900'000);
        EXPECT_EQ(withAttachment.record.notify, MailboxNotify::reply);
        EXPECT_EQ(pair.macState.lastSequence, withAttachment.message.seq);
        EXPECT_GT(withAttachment.message.seq, before);
    }

    TEST(MailboxChannel, LifetimesAreClampedToOneSecondAndOneDay)
    {
        Pair pair;
        for (auto [requested, expected] : { std::pair(0.0, seconds(1)), std::pair(100'000.0, seconds(86'400)) }) {
            auto sealed = sealFromMac(pair, event(), { .lifetimeSeconds = requested });
            EXPECT_EQ(sealed.message.expiresAt - sealed.message.createdAt, expected);
        }
    }

    TEST(MailboxChannel, OnlyANewerPresenceIsReturnedAndNoneEntersTheGuard)
    {
        Pair pair;
        MailboxPresence presence { 1, 2, "1.0", "Mac" };
        auto record = pair.mac.sealPresence(presence, kNow, pair.macState);
        auto first = pair.device.openRecord(record, kNow, pair.deviceState);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->presence, presence);
        EXPECT_EQ(pair.device.openRecord(record, kNow, pair.deviceState), std::nullopt);
        EXPECT_TRUE(pair.deviceState.replay.seen.empty());
        auto later = pair.mac.sealPresence(presence, kNow + milliseconds(1), pair.macState);
        EXPECT_TRUE(pair.device.openRecord(later, kNow + milliseconds(1), pair.deviceState));
        // An envelope of another kind under the presence name is refused.
        auto notPresence = sealFromMac(pair);
        EXPECT_EQ(failure([&] { pair.device.openRecord({ kNow, *notPresence.record.payload }, kNow, pair.deviceState); }),
            MailboxCryptoError(Kind::authenticationFailed));
    }

    // A stand-in for the cloud store (the real stores come with the mailbox server): records in order,
    // fetched by index. Both ends post 1,000 messages and read what the other posted.
    TEST(MailboxChannel, TwoChannelsExchangeAThousandMessagesEachWayOverAFakeStore)
    {
        Pair pair;
        std::vector<MailboxEnvelopeRecord> store;
        auto time = kNow;
        for (int index = 0; index < 1000; ++index) {
            time += milliseconds(index % 3 == 0 ? 0 : 1);
            store.push_back(sealFromMac(pair, MailboxEvent { "m", MailboxBytes(1, static_cast<std::uint8_t>(index)) }).record);
            store.push_back(pair.device
                                .seal(MailboxEvent { "d", {} }, MailboxMessageID::make(), MailboxRecordName::envelope(), {},
                                    time, pair.deviceState)
                                .record);
        }
        std::uint64_t lastFromMac = 0, lastFromDevice = 0;
        int toDevice = 0, toMac = 0;
        for (const auto& record : store) {
            bool forDevice = record.to == pair.device.ownTag();
            const auto& reader = forDevice ? pair.device : pair.mac;
            auto& state = forDevice ? pair.deviceState : pair.macState;
            auto message = reader.open(record, kNow, state);
            auto& last = forDevice ? lastFromMac : lastFromDevice;
            EXPECT_GT(message.seq, last);
            last = message.seq;
            ++(forDevice ? toDevice : toMac);
        }
        EXPECT_EQ(toDevice, 1000);
        EXPECT_EQ(toMac, 1000);
        for (const auto& record : store) {
            bool forDevice = record.to == pair.device.ownTag();
            EXPECT_EQ(failure([&] { (forDevice ? pair.device : pair.mac).open(record, kNow, forDevice ? pair.deviceState : pair.macState); }),
                MailboxCryptoError(Kind::replayed));
        }
    }

}
}
