#include "MovraneMailbox/Protocol/MailboxChannel.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

namespace movrane {

namespace {

    using Kind = MailboxCryptoError::Kind;
    using std::chrono::floor;
    using std::chrono::milliseconds;

    [[noreturn]] void fail(Kind kind) { throw MailboxCryptoError(kind); }

    MailboxTime timeOf(MailboxInstant instant) { return MailboxTime(instant.time_since_epoch()); }

}

MailboxChannel::MailboxChannel(MailboxPairing pairing, MailboxRole role, MailboxIdentity identity)
    : m_pairing(std::move(pairing))
    , m_role(role)
    , m_identity(std::move(identity))
{
    const auto& ownKey = m_role == MailboxRole::mac ? m_pairing.macKey : m_pairing.deviceKey;
    if (m_identity.publicKey() != ownKey)
        throw MailboxKeyError::invalidPrivateKey();
}

std::string MailboxChannel::ownTag() const
{
    return m_role == MailboxRole::mac ? std::string(MailboxPartyTag::mac) : m_pairing.deviceTag();
}

std::string MailboxChannel::peerTag() const
{
    return m_role == MailboxRole::mac ? m_pairing.deviceTag() : std::string(MailboxPartyTag::mac);
}

const MailboxPublicKey& MailboxChannel::peerKey() const noexcept
{
    return m_role == MailboxRole::mac ? m_pairing.deviceKey : m_pairing.macKey;
}

std::string MailboxChannel::label() const { return mailboxStateKey(m_role, m_pairing.zoneName); }

MailboxMessage MailboxChannel::open(
    const MailboxEnvelopeRecord& record, MailboxTime now, MailboxChannelState& state, bool checkReplay) const
{
    // Checked before any decryption, so garbage addressed elsewhere costs nothing.
    if (record.to != ownTag())
        fail(Kind::wrongRecipient);
    static const MailboxBytes none;
    auto message = MailboxCipher::open(record.payload ? *record.payload : none, record.name, m_pairing.zoneName,
        m_identity, ownTag(), peerKey(), peerTag(), now);
    if (checkReplay)
        state.replay.accept(message.seq, timeOf(message.expiresAt), now);
    return message;
}

std::optional<MailboxChannel::Presence> MailboxChannel::openRecord(
    const MailboxPresenceRecord& record, MailboxTime now, MailboxChannelState& state) const
{
    MailboxEnvelopeRecord envelope(std::string(MailboxProtocol::presenceRecordName), ownTag(), MailboxNotify::none,
        record.updatedAt, static_cast<std::int64_t>(record.payload.size()), record.payload, std::nullopt);
    auto message = open(envelope, now, state, false);
    const auto* presence = std::get_if<MailboxPresence>(&message.content);
    if (!presence)
        fail(Kind::invalidContent);
    if (state.lastPresence && timeOf(message.createdAt) <= *state.lastPresence)
        return std::nullopt;
    state.lastPresence = timeOf(message.createdAt);
    return Presence { *presence, message.createdAt };
}

MailboxPresenceRecord MailboxChannel::sealPresence(
    const MailboxPresence& presence, MailboxTime now, MailboxChannelState& state) const
{
    auto expiry = now + std::chrono::seconds(static_cast<long>(MailboxProtocol::presenceLifetime));
    auto result = sealed(presence, MailboxMessageID::make(), std::string(MailboxProtocol::presenceRecordName), {}, now,
        expiry, state);
    return { timeOf(result.message.createdAt), std::move(*result.record.payload) };
}

MailboxChannel::Sealed MailboxChannel::seal(const MailboxContent& content, std::string id, std::string recordName,
    const SealOptions& options, MailboxTime now, MailboxChannelState& state) const
{
    if (!options.attachment && bodyOf(content).size() > MailboxProtocol::maxInlineBytes)
        fail(Kind::tooLarge);
    if (options.attachment.has_value() != options.assetFile.has_value())
        fail(Kind::invalidContent);
    auto lifetime = std::chrono::duration<double>(MailboxProtocol::clampedLifetime(options.lifetimeSeconds));
    auto expiry = now + std::chrono::duration_cast<MailboxTime::duration>(lifetime);
    return sealed(content, std::move(id), std::move(recordName), options, now, expiry, state);
}

MailboxChannel::Sealed MailboxChannel::sealed(const MailboxContent& content, std::string id, std::string recordName,
    const SealOptions& options, MailboxTime now, MailboxTime expiry, MailboxChannelState& state) const
{
    auto sequence = MailboxSequence::next(state.lastSequence, now);
    auto message = MailboxMessage::make(std::move(id), ownTag(), peerTag(), sequence, now, expiry,
        options.attachment ? replacingBody(content, {}) : content, options.attachment);
    auto envelope = MailboxCipher::seal(message, recordName, m_pairing.zoneName, m_identity, peerKey());
    state.lastSequence = sequence;
    auto size = static_cast<std::int64_t>(envelope.size()) + (options.attachment ? options.attachment->size : 0);
    MailboxEnvelopeRecord record(std::move(recordName), peerTag(), options.notify, timeOf(message.createdAt), size,
        std::move(envelope), options.assetFile);
    return { std::move(record), std::move(message) };
}

}
