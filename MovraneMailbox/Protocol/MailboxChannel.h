// One end of one paired mailbox: the pairing, which side this end is and its own identity. From these it
// derives the tags, the peer's key and the zone, and opens and seals every envelope and presence of the
// channel. It holds no state: the caller's MailboxChannelState is updated in place.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"

namespace movrane {

class MailboxChannel {
public:
    // Throws MailboxKeyError invalidPrivateKey when the identity's public key is not the pairing's key
    // for this role.
    MailboxChannel(MailboxPairing pairing, MailboxRole role, MailboxIdentity identity);

    const MailboxPairing& pairing() const noexcept { return m_pairing; }
    MailboxRole role() const noexcept { return m_role; }
    const MailboxIdentity& identity() const noexcept { return m_identity; }
    std::string ownTag() const;
    std::string peerTag() const;
    const MailboxPublicKey& peerKey() const noexcept;
    // "mailbox." + role + "." + zone: where the ends keep this channel's state.
    std::string label() const;

    // Opens a stored envelope; throws MailboxCryptoError. With `checkReplay` the message is entered in
    // the replay guard (a second open is `replayed`); nothing else of the state changes.
    MailboxMessage open(const MailboxEnvelopeRecord& record, MailboxTime now, MailboxChannelState& state,
        bool checkReplay = true) const;

    struct Presence {
        MailboxPresence presence;
        MailboxInstant createdAt;
    };
    // The peer's presence when it is newer than the last one seen (then remembered); nothing otherwise.
    // Presences never enter the replay guard.
    std::optional<Presence> openRecord(const MailboxPresenceRecord& record, MailboxTime now, MailboxChannelState& state) const;
    // Seals a presence that expires a day later.
    MailboxPresenceRecord sealPresence(const MailboxPresence& presence, MailboxTime now, MailboxChannelState& state) const;

    struct SealOptions {
        MailboxNotify notify = MailboxNotify::none;
        std::optional<MailboxAttachmentKey> attachment;
        std::optional<std::filesystem::path> assetFile;
        double lifetimeSeconds = MailboxProtocol::defaultLifetime;
    };
    struct Sealed {
        MailboxEnvelopeRecord record;
        MailboxMessage message;
    };
    // Throws MailboxCryptoError: tooLarge for a body over 819,200 bytes without an attachment,
    // invalidContent for an attachment without its file or the reverse. `lastSequence` moves only when
    // the seal succeeds.
    Sealed seal(const MailboxContent& content, std::string id, std::string recordName, const SealOptions& options,
        MailboxTime now, MailboxChannelState& state) const;

private:
    Sealed sealed(const MailboxContent& content, std::string id, std::string recordName, const SealOptions& options,
        MailboxTime now, MailboxTime expiry, MailboxChannelState& state) const;

    MailboxPairing m_pairing;
    MailboxRole m_role;
    MailboxIdentity m_identity;
};

}
