#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "Platform/HPKE.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "tests/MovraneMailbox/Protocol/MailboxTestPrinters.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace movrane {

namespace {

    using namespace std::chrono;
    using Kind = MailboxCryptoError::Kind;
    using vellumar::hexString;
    using vellumar::test::thrown;

    const MailboxInstant kCreated { milliseconds(1'700'000'000'000) };
    const std::string kZone = "pair-" + std::string(22, 'z');
    const std::string kDevice = MailboxPartyTag::device("ios-phone");
    // From "mac" to a device: magic, version, suite, 1 + 3, 1 + 26, seq, createdAt, key length.
    constexpr std::size_t kKeyOffset = 4 + 1 + 1 + 4 + 27 + 8 + 8 + 2;

    std::optional<MailboxCryptoError> failure(const std::function<void()>& operation)
    {
        return thrown<MailboxCryptoError>(operation);
    }

    MailboxMessage requestMessage(MailboxBytes body = { 'h', 'i' }, milliseconds lifetime = milliseconds(900'000))
    {
        auto request = MailboxRelayRequest::make("POST", "/v1/jobs", std::nullopt, { { "accept", "application/json" } },
            std::move(body));
        return MailboxMessage::make(MailboxMessageID::make(), std::string(MailboxPartyTag::mac), kDevice, 7, kCreated,
            kCreated + lifetime, request);
    }

    class MailboxCipherTest : public testing::Test {
    protected:
        MailboxIdentity mac = MailboxIdentity::generate();
        MailboxIdentity device = MailboxIdentity::generate();
        std::string record = MailboxRecordName::envelope();

        MailboxBytes sealed(const MailboxMessage& message) { return MailboxCipher::seal(message, record, kZone, mac, device.publicKey()); }
        MailboxMessage opened(std::span<const std::uint8_t> envelope, MailboxCipher::Now now = kCreated,
            std::string_view recordName = {}, std::string_view zone = kZone)
        {
            return MailboxCipher::open(envelope, recordName.empty() ? record : recordName, zone, device, kDevice,
                mac.publicKey(), MailboxPartyTag::mac, now);
        }
    };

    TEST_F(MailboxCipherTest, SealedMessagesOpenAsTheSameMessage)
    {
        auto message = requestMessage();
        auto envelope = sealed(message);
        EXPECT_EQ(hexString(std::span(envelope).first(10)), "564c4d4201010" "3" "6d6163"); // "VLMB" 01 01 03 "mac"
        EXPECT_EQ(envelope[10], 26);
        EXPECT_EQ(std::string(envelope.begin() + 11, envelope.begin() + 37), kDevice);
        EXPECT_EQ(opened(envelope), message);
    }

    TEST_F(MailboxCipherTest, CreationTimesAtOrBefore1970AreWrittenAsZero)
    {
        for (auto created : { MailboxInstant {}, MailboxInstant { milliseconds(-5'000) } }) {
            auto message = requestMessage();
            message.createdAt = created;
            auto header = MailboxCipher::parseHeader(sealed(message));
            EXPECT_EQ(hexString(std::span(header.headerBytes).subspan(45, 8)), "0000000000000000");
        }
    }

    TEST_F(MailboxCipherTest, AnyAlteredByteOrNameFailsAuthentication)
    {
        auto envelope = sealed(requestMessage());
        auto parsed = MailboxCipher::parseHeader(envelope);
        auto flipped = [&](std::size_t index) {
            auto copy = envelope;
            copy[index] ^= 1;
            return copy;
        };
        // Another valid point in the encapsulated key's place: the key parses, the open fails.
        auto otherPoint = envelope;
        auto point = MailboxIdentity::generate().publicKey().x963();
        std::copy(point.begin(), point.end(), otherPoint.begin() + kKeyOffset);
        auto offCurve = flipped(kKeyOffset + 64);
        const std::pair<const char*, MailboxBytes> cases[] = {
            { "seq", flipped(37) },
            { "createdAt", flipped(50) },
            { "encapsulated key, still on the curve", otherPoint },
            { "encapsulated key, off the curve", offCurve },
            { "ciphertext", flipped(envelope.size() - 1) },
        };
        for (const auto& [name, altered] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(failure([&] { opened(altered); }), MailboxCryptoError(Kind::authenticationFailed));
        }
        EXPECT_EQ(failure([&] { opened(envelope, kCreated, MailboxRecordName::envelope()); }),
            MailboxCryptoError(Kind::authenticationFailed));
        EXPECT_EQ(failure([&] { opened(envelope, kCreated, {}, "pair-" + std::string(22, 'y')); }),
            MailboxCryptoError(Kind::authenticationFailed));
        EXPECT_EQ(failure([&] {
            MailboxCipher::open(envelope, record, kZone, device, kDevice, MailboxIdentity::generate().publicKey(), "mac", kCreated);
        }),
            MailboxCryptoError(Kind::authenticationFailed));
        EXPECT_EQ(parsed.headerBytes.size(), kKeyOffset + 65);
        EXPECT_EQ(parsed.ciphertext.size(), envelope.size() - kKeyOffset - 65);
    }

    TEST_F(MailboxCipherTest, MalformedEnvelopesAreRefusedBeforeAnyCryptography)
    {
        auto envelope = sealed(requestMessage());
        auto with = [&](std::size_t index, std::uint8_t value) {
            auto copy = envelope;
            copy[index] = value;
            return copy;
        };
        auto truncatedTag = "dev-" + std::string(21, 'a');
        MailboxBytes shortTag(envelope.begin(), envelope.begin() + 10);
        shortTag.push_back(static_cast<std::uint8_t>(truncatedTag.size()));
        shortTag.insert(shortTag.end(), truncatedTag.begin(), truncatedTag.end());
        shortTag.insert(shortTag.end(), envelope.begin() + 37, envelope.end());
        MailboxBytes garbageAfterVersion { 'V', 'L', 'M', 'B', 2, 0xFF };
        const std::pair<const char*, MailboxCryptoError> cases[] = {
            { "version 2", MailboxCryptoError::unsupportedVersion(2) },
            { "suite 0", MailboxCryptoError::unsupportedSuite(0) },
            { "key length 64", MailboxCryptoError(Kind::malformed) },
            { "key length 66", MailboxCryptoError(Kind::malformed) },
            { "19-byte ciphertext", MailboxCryptoError(Kind::malformed) },
            { "a tag of dev- and 21 characters", MailboxCryptoError(Kind::malformed) },
            { "wrong magic", MailboxCryptoError(Kind::malformed) },
        };
        const MailboxBytes inputs[] = {
            garbageAfterVersion,
            with(5, 0),
            with(kKeyOffset - 1, 64),
            with(kKeyOffset - 1, 66),
            MailboxBytes(envelope.begin(), envelope.begin() + kKeyOffset + 65 + 19),
            shortTag,
            with(0, 'X'),
        };
        for (std::size_t index = 0; index < std::size(cases); ++index) {
            SCOPED_TRACE(cases[index].first);
            EXPECT_EQ(failure([&] { opened(inputs[index]); }), cases[index].second);
        }
    }

    TEST_F(MailboxCipherTest, TheEnvelopeAndMetadataLimitsHoldAtTheirBoundaries)
    {
        // The envelope cap is checked before any parsing.
        EXPECT_EQ(failure([&] { opened(MailboxBytes(921'601, 'V')); }), MailboxCryptoError(Kind::tooLarge));
        EXPECT_EQ(failure([&] { opened(MailboxBytes(921'600, 'V')); }), MailboxCryptoError(Kind::malformed));

        // Metadata of exactly 32,768 bytes seals and opens; one byte more is refused.
        auto message = requestMessage();
        message.content = MailboxJobStateContent { MailboxJobState { "", 1, false }, {} };
        auto& jobId = std::get<MailboxJobStateContent>(message.content).state.jobId;
        jobId.assign(32'768 - MailboxCipher::encodeMetadata(message).size(), 'j');
        ASSERT_EQ(MailboxCipher::encodeMetadata(message).size(), 32'768u);
        EXPECT_EQ(opened(sealed(message)), message);
        jobId.push_back('j');
        EXPECT_EQ(failure([&] { sealed(message); }), MailboxCryptoError(Kind::tooLarge));

        // The whole envelope: a body that brings it to 921,600 bytes seals, one more byte does not.
        auto sizeOf = [&](std::size_t bodyBytes) { return sealed(requestMessage(MailboxBytes(bodyBytes, 'b'))).size(); };
        auto overhead = sizeOf(0);
        EXPECT_EQ(sizeOf(921'600 - overhead), 921'600u);
        EXPECT_EQ(failure([&] { sizeOf(921'601 - overhead); }), MailboxCryptoError(Kind::tooLarge));
    }

    TEST_F(MailboxCipherTest, DatesAreCheckedToTheMillisecond)
    {
        struct Case {
            const char* name;
            milliseconds lifetime;
            milliseconds nowAfterCreation;
            std::optional<Kind> refusal;
        };
        const Case cases[] = {
            { "a lifetime of 86,401 s", milliseconds(86'401'000), milliseconds(0), std::nullopt },
            { "86,401.001 s", milliseconds(86'401'001), milliseconds(0), Kind::invalidContent },
            { "expiry equal to creation", milliseconds(0), milliseconds(0), Kind::invalidContent },
            { "created 300 s ahead", milliseconds(900'000), milliseconds(-300'000), std::nullopt },
            { "created 300.001 s ahead", milliseconds(900'000), milliseconds(-300'001), Kind::notYetValid },
            { "now at the expiry", milliseconds(900'000), milliseconds(900'000), std::nullopt },
            { "1 ms after the expiry", milliseconds(900'000), milliseconds(900'001), Kind::expired },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            auto envelope = sealed(requestMessage({}, c.lifetime));
            auto error = failure([&] { opened(envelope, kCreated + c.nowAfterCreation); });
            EXPECT_EQ(error ? std::optional(error->kind()) : std::nullopt, c.refusal);
        }
        // Sub-millisecond: the expiry instant itself opens; a microsecond later does not.
        auto envelope = sealed(requestMessage({}, milliseconds(900'000)));
        EXPECT_EQ(failure([&] { opened(envelope, kCreated + milliseconds(900'000) + microseconds(1)); }),
            MailboxCryptoError(Kind::expired));
    }

    TEST_F(MailboxCipherTest, RecipientSenderAndStoreGivenNamesAreChecked)
    {
        auto envelope = sealed(requestMessage());
        EXPECT_EQ(failure([&] {
            MailboxCipher::open(envelope, record, kZone, device, MailboxPartyTag::device("other"), mac.publicKey(), "mac", kCreated);
        }),
            MailboxCryptoError(Kind::wrongRecipient));
        EXPECT_EQ(failure([&] { MailboxCipher::open(envelope, record, kZone, device, kDevice, mac.publicKey(), kDevice, kCreated); }),
            MailboxCryptoError(Kind::wrongSender));
        // Names the store hands over, long or not ASCII, are refused, never a reason to stop the process.
        const std::string longNames[] = { std::string(300, 'e'), "e-" + std::string(150, '\xC3') + std::string(150, '\xA9') };
        for (const auto& name : longNames) {
            EXPECT_EQ(failure([&] { opened(envelope, kCreated, name); }), MailboxCryptoError(Kind::malformed));
            EXPECT_EQ(failure([&] { opened(envelope, kCreated, {}, name); }), MailboxCryptoError(Kind::malformed));
        }
    }

    TEST_F(MailboxCipherTest, AMessageWithAnAttachmentIsSealedWithoutItsBody)
    {
        auto message = requestMessage(MailboxBytes(100, 'x'));
        message.attachment = MailboxAttachmentKey { std::string(43, 'k'), 100 };
        auto opening = opened(sealed(message));
        EXPECT_TRUE(std::get<MailboxRelayRequest>(opening.content).body.empty());
        EXPECT_EQ(opening.attachment, message.attachment);
    }

    TEST(MailboxCipherLabels, InfoAndAdditionalDataAreTheProtocolsBytes)
    {
        using namespace std::string_literals;
        auto text = [](const MailboxBytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
        const std::string record = "e-" + std::string(22, 'r');
        const MailboxBytes header { 'V', 'L', 'M', 'B', 1, 1 };
        EXPECT_EQ(text(MailboxCipher::info(kZone)), "Vellumar mailbox v1\0"s + kZone);
        EXPECT_EQ(text(MailboxCipher::aad(kZone, record, header)),
            "Vellumar mailbox v1 aad\0"s + "\x1b" + kZone + "\x18" + record + "VLMB\x01\x01");
    }

    // An envelope @hpke/core sealed from the phone to the Mac, every byte built by
    // tests/peers/hpke_golden_envelope.mjs from the protocol's description alone, from fixed keys.
    TEST(MailboxHPKE, OpensTheEnvelopeHPKECoreSealedFromFixedKeys)
    {
        auto golden = vellumar::JSON::decode(vellumar::test::readFile(
            vellumar::test::sourceDir() / "tests/MovraneMailbox/Protocol/golden/hpke-core-envelope.json"));
        ASSERT_TRUE(golden);
        auto field = [&](std::string_view name) {
            const auto* member = golden->subscript(name);
            return member && member->stringValue() ? *member->stringValue() : std::string();
        };
        auto instant = [&](std::string_view name) {
            const auto* member = golden->subscript(name);
            return MailboxInstant(milliseconds(member ? member->intValue().value_or(0) : 0));
        };
        auto hexField = [&](std::string_view name) {
            return vellumar::dataFromHex(field(name)).value_or(MailboxBytes {});
        };
        auto mac = MailboxIdentity::fromRawRepresentation(hexField("macPrivateKey"));
        auto device = MailboxIdentity::fromRawRepresentation(hexField("devicePrivateKey"));
        auto envelope = hexField("envelope");
        auto deviceTag = MailboxPartyTag::device(field("deviceId"));
        auto body = field("body");

        auto opened = MailboxCipher::open(envelope, field("record"), field("zone"), mac, MailboxPartyTag::mac,
            device.publicKey(), deviceTag, instant("createdAt"));

        auto request = MailboxRelayRequest::make("POST", "/v1/jobs", std::nullopt,
            { { "accept", "application/json" } }, MailboxBytes(body.begin(), body.end()));
        EXPECT_EQ(opened,
            MailboxMessage::make(field("messageId"), deviceTag, std::string(MailboxPartyTag::mac),
                std::stoull(field("seq")), instant("createdAt"), instant("expiresAt"), request));
    }

    // @hpke/core in node is the independent peer: auth mode, AES-256-GCM, with the envelopes' own info
    // and additional data, 100 messages each way (the Mac seals to the phone, the phone to the Mac).
    TEST(MailboxHPKE, AgreesWithHPKECoreBothWays)
    {
        namespace HPKE = vellumar::platform::HPKE;
        auto mac = MailboxIdentity::generate();
        auto device = MailboxIdentity::generate();
        auto info = MailboxCipher::info(kZone);
        struct Exchange {
            MailboxBytes plaintext;
            MailboxBytes aad;
        };
        std::vector<Exchange> exchanges;
        std::ostringstream requests;
        auto line = [&](std::initializer_list<std::pair<std::string, vellumar::JSON>> fields) {
            requests << vellumar::JSON::object(fields).encoded() << '\n';
        };
        for (int index = 0; index < 100; ++index) {
            MailboxBytes plaintext(static_cast<std::size_t>(index * 37), static_cast<std::uint8_t>(index));
            auto aad = MailboxCipher::aad(kZone, MailboxRecordName::envelope(), plaintext);
            auto sender = HPKE::setupSender(HPKE::Mode::auth, HPKE::AEAD::aes256GCM, device.publicKey().x963(), info,
                HPKE::KeyPair { mac.rawRepresentation(), mac.publicKey().x963() });
            auto ciphertext = sender->context.seal(aad, plaintext);
            line({ { "op", "open" }, { "own", hexString(device.rawRepresentation()) },
                { "peer", hexString(mac.publicKey().x963()) }, { "info", hexString(info) }, { "aad", hexString(aad) },
                { "enc", hexString(sender->encapsulatedKey) }, { "ct", hexString(ciphertext) } });
            line({ { "op", "seal" }, { "own", hexString(device.rawRepresentation()) },
                { "peer", hexString(mac.publicKey().x963()) }, { "info", hexString(info) }, { "aad", hexString(aad) },
                { "pt", hexString(plaintext) } });
            exchanges.push_back({ std::move(plaintext), std::move(aad) });
        }
        auto node = vellumar::test::runPeer(
            { "node", (vellumar::test::sourceDir() / "tests/peers/hpke_peer.mjs").string() }, requests.str());
        ASSERT_EQ(node.exitStatus, 0);
        std::istringstream lines(node.output);
        for (std::size_t index = 0; index < exchanges.size(); ++index) {
            SCOPED_TRACE(index);
            std::string openedLine, sealedLine;
            ASSERT_TRUE(std::getline(lines, openedLine) && std::getline(lines, sealedLine));
            auto opened = vellumar::JSON::decode(openedLine);
            ASSERT_TRUE(opened && opened->subscript("pt")) << openedLine;
            EXPECT_EQ(*opened->subscript("pt")->stringValue(), hexString(exchanges[index].plaintext));
            auto sealedByNode = vellumar::JSON::decode(sealedLine);
            ASSERT_TRUE(sealedByNode && sealedByNode->subscript("enc")) << sealedLine;
            auto recipient = HPKE::setupRecipient(HPKE::Mode::auth, HPKE::AEAD::aes256GCM,
                { mac.rawRepresentation(), mac.publicKey().x963() },
                *vellumar::dataFromHex(*sealedByNode->subscript("enc")->stringValue()), info, device.publicKey().x963());
            ASSERT_TRUE(recipient);
            EXPECT_EQ(recipient->open(
                          exchanges[index].aad, *vellumar::dataFromHex(*sealedByNode->subscript("ct")->stringValue())),
                exchanges[index].plaintext);
        }
    }

}
}
