#include "MovraneMailbox/Protocol/MailboxCipher.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/HPKE.h"

#include <algorithm>

namespace movrane::MailboxCipher {

namespace {

    namespace HPKE = vellumar::platform::HPKE;
    using Kind = MailboxCryptoError::Kind;
    using std::chrono::milliseconds;

    constexpr std::uint8_t kMagic[] = { 'V', 'L', 'M', 'B' };
    constexpr std::uint8_t kVersion = 1;
    constexpr std::uint8_t kSuite = 1;
    constexpr std::size_t kEncapsulatedKeyBytes = 65;
    // The 4-byte metadata length and the 16-byte AES-GCM tag.
    constexpr std::size_t kMinCiphertextBytes = 20;
    constexpr std::string_view kInfoLabel = "Vellumar mailbox v1";
    constexpr std::string_view kAADLabel = "Vellumar mailbox v1 aad";
    // One second of slack over the longest lifetime.
    constexpr milliseconds kMaxLifetimeWithSlack { 86'401'000 };
    constexpr milliseconds kMaxClockSkew { 300'000 };

    [[noreturn]] void fail(Kind kind) { throw MailboxCryptoError(kind); }

    void append(MailboxBytes& out, std::string_view text)
    {
        // Grown, then filled: g++ 12 optimising a range insert reports a false -Wstringop-overflow in
        // the vector's growth.
        auto at = out.size();
        out.resize(at + text.size());
        std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    }

    HPKE::KeyPair keyPairOf(const MailboxIdentity& identity)
    {
        return { identity.rawRepresentation(), identity.publicKey().x963() };
    }

    std::string tagAt(MailboxBinary::Reader& reader)
    {
        auto tag = MailboxBinary::readString(reader);
        if (!MailboxPartyTag::isValid(tag))
            fail(Kind::malformed);
        return tag;
    }

}

MailboxBytes info(std::string_view zoneName)
{
    MailboxBytes bytes;
    append(bytes, kInfoLabel);
    bytes.push_back(0);
    append(bytes, zoneName);
    return bytes;
}

MailboxBytes aad(std::string_view zoneName, std::string_view recordName, std::span<const std::uint8_t> headerBytes)
{
    if (zoneName.size() > 255 || recordName.size() > 255)
        fail(Kind::malformed);
    MailboxBytes bytes;
    append(bytes, kAADLabel);
    bytes.push_back(0);
    MailboxBinary::appendString(bytes, zoneName);
    MailboxBinary::appendString(bytes, recordName);
    bytes.insert(bytes.end(), headerBytes.begin(), headerBytes.end());
    return bytes;
}

MailboxBytes seal(const MailboxMessage& message, std::string_view recordName, std::string_view zoneName,
    const MailboxIdentity& identity, const MailboxPublicKey& peerKey)
{
    if (!MailboxPartyTag::isValid(message.from) || !MailboxPartyTag::isValid(message.to)
        || !MailboxMessageID::isValid(message.id) || !MailboxRecordName::isValid(recordName))
        fail(Kind::invalidContent);
    auto json = encodeMetadata(message);
    if (json.size() > MailboxProtocol::maxMetadataBytes)
        fail(Kind::tooLarge);
    const MailboxBytes& body = message.attachment ? MailboxBytes {} : bodyOf(message.content);
    MailboxBytes plaintext;
    plaintext.reserve(4 + json.size() + body.size());
    MailboxBinary::appendUInt32(plaintext, static_cast<std::uint32_t>(json.size()));
    append(plaintext, json);
    plaintext.insert(plaintext.end(), body.begin(), body.end());

    auto sender = HPKE::setupSender(HPKE::Mode::auth, HPKE::AEAD::aes256GCM, peerKey.x963(), info(zoneName),
        keyPairOf(identity));
    if (!sender)
        fail(Kind::authenticationFailed);
    MailboxBytes envelope(std::begin(kMagic), std::end(kMagic));
    envelope.push_back(kVersion);
    envelope.push_back(kSuite);
    MailboxBinary::appendString(envelope, message.from);
    MailboxBinary::appendString(envelope, message.to);
    MailboxBinary::appendUInt64(envelope, message.seq);
    auto created = message.createdAt.time_since_epoch().count();
    MailboxBinary::appendUInt64(envelope, created > 0 ? static_cast<std::uint64_t>(created) : 0);
    MailboxBinary::appendUInt16(envelope, static_cast<std::uint16_t>(sender->encapsulatedKey.size()));
    envelope.insert(envelope.end(), sender->encapsulatedKey.begin(), sender->encapsulatedKey.end());
    auto ciphertext = sender->context.seal(aad(zoneName, recordName, envelope), plaintext);
    envelope.insert(envelope.end(), ciphertext.begin(), ciphertext.end());
    if (envelope.size() > MailboxProtocol::maxEnvelopeBytes)
        fail(Kind::tooLarge);
    return envelope;
}

ParsedEnvelope parseHeader(std::span<const std::uint8_t> envelope)
{
    MailboxBinary::Reader reader(envelope);
    auto magic = MailboxBinary::readBytes(reader, sizeof kMagic);
    if (!std::equal(magic.begin(), magic.end(), std::begin(kMagic)))
        fail(Kind::malformed);
    if (auto version = MailboxBinary::readByte(reader); version != kVersion)
        throw MailboxCryptoError::unsupportedVersion(version);
    if (auto suite = MailboxBinary::readByte(reader); suite != kSuite)
        throw MailboxCryptoError::unsupportedSuite(suite);
    ParsedEnvelope parsed;
    parsed.header.from = tagAt(reader);
    parsed.header.to = tagAt(reader);
    parsed.header.seq = MailboxBinary::readUInt64(reader);
    auto created = static_cast<std::int64_t>(MailboxBinary::readUInt64(reader));
    if (created < 0)
        fail(Kind::malformed);
    parsed.header.createdAt = MailboxInstant(milliseconds(created));
    if (MailboxBinary::readUInt16(reader) != kEncapsulatedKeyBytes)
        fail(Kind::malformed);
    parsed.encapsulatedKey = MailboxBinary::readBytes(reader, kEncapsulatedKeyBytes);
    parsed.headerBytes.assign(envelope.begin(), envelope.begin() + reader.offset);
    parsed.ciphertext = MailboxBinary::readRest(reader);
    if (parsed.ciphertext.size() < kMinCiphertextBytes)
        fail(Kind::malformed);
    return parsed;
}

Header header(std::span<const std::uint8_t> envelope) { return parseHeader(envelope).header; }

MailboxMessage open(std::span<const std::uint8_t> envelope, std::string_view recordName, std::string_view zoneName,
    const MailboxIdentity& identity, std::string_view expectedTo, const MailboxPublicKey& senderKey,
    std::string_view expectedFrom, Now now)
{
    if (envelope.size() > MailboxProtocol::maxEnvelopeBytes)
        fail(Kind::tooLarge);
    auto parsed = parseHeader(envelope);
    if (parsed.header.to != expectedTo)
        fail(Kind::wrongRecipient);
    if (parsed.header.from != expectedFrom)
        fail(Kind::wrongSender);
    // The record name comes from the store: one that is not ours is refused before it reaches the AAD.
    if (!MailboxRecordName::isValid(recordName))
        fail(Kind::malformed);
    auto additionalData = aad(zoneName, recordName, parsed.headerBytes);
    auto recipient = HPKE::setupRecipient(HPKE::Mode::auth, HPKE::AEAD::aes256GCM, keyPairOf(identity),
        parsed.encapsulatedKey, info(zoneName), senderKey.x963());
    auto plaintext = recipient ? recipient->open(additionalData, parsed.ciphertext) : std::nullopt;
    if (!plaintext)
        fail(Kind::authenticationFailed);
    MailboxBinary::Reader reader(*plaintext);
    auto length = MailboxBinary::readUInt32(reader);
    if (length > MailboxProtocol::maxMetadataBytes)
        fail(Kind::tooLarge);
    auto json = MailboxBinary::readBytes(reader, length);
    auto message = decodeMetadata(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()),
        MailboxBinary::readRest(reader), parsed.header);
    checkDates(message.createdAt, message.expiresAt, now);
    return message;
}

void checkDates(MailboxInstant createdAt, MailboxInstant expiresAt, Now now)
{
    if (expiresAt <= createdAt || expiresAt - createdAt > kMaxLifetimeWithSlack)
        fail(Kind::invalidContent);
    if (createdAt - now > kMaxClockSkew)
        fail(Kind::notYetValid);
    if (now > expiresAt)
        fail(Kind::expired);
}

}
