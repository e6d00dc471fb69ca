// Sealed envelopes: a clear header (who sends to whom, sequence number, creation time, the HPKE
// encapsulated key) and an RFC 9180 auth-mode HPKE ciphertext (P-256, HKDF-SHA256, AES-256-GCM) of the
// wire metadata JSON and the body. The zone name is in the HPKE info and the zone and record names in
// the additional data, so an envelope opens only under the record name and in the zone it was sealed for.
//
// Envelope, big-endian: "VLMB", version 1, suite 1, from and to as short strings, seq (u64), createdAt
// in milliseconds (u64), the key length (u16, always 65), the encapsulated key, then the ciphertext of
// L (u32) || metadata JSON (L bytes) || body.
#pragma once

#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "MovraneMailbox/Protocol/MailboxMessage.h"

#include <chrono>
#include <string>
#include <string_view>

namespace movrane::MailboxCipher {

// The time an opener checks dates against; finer than the messages' whole milliseconds.
using Now = std::chrono::system_clock::time_point;

struct Header {
    int version = 1;
    int suite = 1;
    std::string from;
    std::string to;
    std::uint64_t seq = 0;
    MailboxInstant createdAt;
    friend bool operator==(const Header&, const Header&) = default;
};

struct ParsedEnvelope {
    Header header;
    // The envelope's bytes up to and including the encapsulated key, bound into the additional data.
    MailboxBytes headerBytes;
    MailboxBytes encapsulatedKey;
    MailboxBytes ciphertext;
};

// Throws MailboxCryptoError: invalidContent for a bad tag, message id, record name or metadata
// (see encodeMetadata), tooLarge for metadata over 32,768 bytes or an envelope over 921,600 bytes.
// A message with an attachment is sealed with an empty body.
MailboxBytes seal(const MailboxMessage& message, std::string_view recordName, std::string_view zoneName,
    const MailboxIdentity& identity, const MailboxPublicKey& peerKey);

// Throws MailboxCryptoError malformed, unsupportedVersion or unsupportedSuite.
ParsedEnvelope parseHeader(std::span<const std::uint8_t> envelope);
Header header(std::span<const std::uint8_t> envelope);

// Checks, in order: size (tooLarge), header (parseHeader's errors), recipient and sender tags
// (wrongRecipient, wrongSender), a record name that is valid and a zone name of at most 255 bytes
// (malformed), authentication (authenticationFailed), the framing (malformed, tooLarge), the metadata
// (invalidContent) and the dates (checkDates). The replay guard is the caller's.
MailboxMessage open(std::span<const std::uint8_t> envelope, std::string_view recordName, std::string_view zoneName,
    const MailboxIdentity& identity, std::string_view expectedTo, const MailboxPublicKey& senderKey,
    std::string_view expectedFrom, Now now);

// expiresAt after createdAt by at most 86,401 s (invalidContent); createdAt at most 300 s ahead of now
// (notYetValid); now not after expiresAt (expired).
void checkDates(MailboxInstant createdAt, MailboxInstant expiresAt, Now now);

// "Vellumar mailbox v1" 00 zoneName.
MailboxBytes info(std::string_view zoneName);
// "Vellumar mailbox v1 aad" 00, the zone and record names as short strings, the header bytes. Names over
// 255 bytes throw MailboxCryptoError malformed (no store-given name may stop the process).
MailboxBytes aad(std::string_view zoneName, std::string_view recordName, std::span<const std::uint8_t> headerBytes);

// The wire metadata JSON of a message (its body is not part of it). Throws invalidContent for a request
// that is not valid or a response whose reply id or status (100 ... 599) is not.
std::string encodeMetadata(const MailboxMessage& message);
// The message an opened envelope carries; every refusal throws invalidContent.
MailboxMessage decodeMetadata(std::string_view json, MailboxBytes body, const Header& header);

}
