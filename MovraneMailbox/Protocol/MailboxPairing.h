// Pairing a phone's mailbox: the offer the phone sends over the LAN, the Mac's answer, and the record
// both keep. The mailbox is enabled only between ends signed in to one iCloud account, shown by account
// proofs: an HMAC over a random salt keyed by the account identifier, which itself is never sent.
#pragma once

#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace movrane {

enum class MailboxAccountState { available, noAccount, restricted, temporarilyUnavailable, couldNotDetermine };
std::string_view rawValue(MailboxAccountState state);
std::optional<MailboxAccountState> mailboxAccountState(std::string_view raw);

class MailboxPairingError : public std::exception {
public:
    const char* what() const noexcept override { return "invalid"; }
};

struct MailboxPairing {
    // Throws MailboxPairingError unless the zone name is valid and both ids are 1 ... 128 characters.
    static MailboxPairing make(std::string zoneName, std::string macID, std::string deviceID,
        MailboxPublicKey macKey, MailboxPublicKey deviceKey);

    std::string zoneName;
    std::string macID;
    std::string deviceID;
    MailboxPublicKey macKey;
    MailboxPublicKey deviceKey;

    // The device's party tag, from `deviceID`.
    std::string deviceTag() const;
    // JSON decoding checks the types and keys only, as stored records are read back without re-validation.
    vellumar::JSON toJSON() const;
    static MailboxPairing fromJSON(const vellumar::JSON& json);

    friend bool operator==(const MailboxPairing&, const MailboxPairing&) = default;
};

struct MailboxAccountProof {
    // A proof with a fresh 16-byte salt.
    static MailboxAccountProof make(std::string_view account);
    static MailboxAccountProof make(std::string_view account, std::span<const std::uint8_t> salt);
    // From a salt text of at most 32 characters that decodes to exactly 16 bytes; absent otherwise.
    static std::optional<MailboxAccountProof> make(std::string_view account, std::string_view saltText);

    // Base64URL of the 16 salt bytes and of the 32-byte HMAC-SHA256.
    std::string salt;
    std::string hash;

    // Whether the proof was made for `account`: a malformed salt or hash is a mismatch. Constant time.
    bool verify(std::string_view account) const;

    vellumar::JSON toJSON() const;
    static MailboxAccountProof fromJSON(const vellumar::JSON& json);

    friend bool operator==(const MailboxAccountProof&, const MailboxAccountProof&) = default;
};

struct MailboxPairingOffer {
    std::int64_t v = 1;
    MailboxPublicKey deviceKey;
    std::optional<MailboxAccountProof> account;
    MailboxAccountState accountState = MailboxAccountState::available;

    vellumar::JSON toJSON() const;
    // Throws MailboxDecodingError for a missing member or an invalid key or state.
    static MailboxPairingOffer fromJSON(const vellumar::JSON& json);

    friend bool operator==(const MailboxPairingOffer&, const MailboxPairingOffer&) = default;
};

struct MailboxPairingAnswer {
    enum class Status { enabled, lanOnly };
    enum class Reason { differentAccount, deviceNoICloud, macNoICloud, macICloudUnavailable, unsupportedVersion };

    std::int64_t v = 1;
    Status status = Status::lanOnly;
    std::optional<Reason> reason;
    std::optional<std::string> zone;
    std::optional<MailboxPublicKey> macKey;
    // In an enabled answer, the Mac's proof with the phone's salt: equal to the phone's own proof when
    // both ends hold one account.
    std::optional<MailboxAccountProof> account;

    vellumar::JSON toJSON() const;
    // Throws MailboxDecodingError; a reason of any other text fails the whole answer.
    static MailboxPairingAnswer fromJSON(const vellumar::JSON& json);

    friend bool operator==(const MailboxPairingAnswer&, const MailboxPairingAnswer&) = default;
};
std::string_view rawValue(MailboxPairingAnswer::Reason reason);
// The reason a raw text names; absent for any other text.
std::optional<MailboxPairingAnswer::Reason> mailboxPairingReason(std::string_view raw);

// The phone's result: enabled with its pairing, or LAN only with a reason when the Mac gave one.
struct MailboxPairingOutcome {
    std::variant<MailboxPairing, std::optional<MailboxPairingAnswer::Reason>> value;
    friend bool operator==(const MailboxPairingOutcome&, const MailboxPairingOutcome&) = default;
};

namespace MailboxPairingRules {
    // The Mac's answer to an offer; never throws. `makeZone` is called only for an enabled answer
    // without a valid earlier zone.
    MailboxPairingAnswer answer(const MailboxPairingOffer& offer, MailboxAccountState macState,
        const std::optional<std::string>& macAccount, const MailboxPublicKey& macKey,
        const std::optional<std::string>& earlierZone, const std::function<std::string()>& makeZone);
    // The phone's reading of the Mac's answer (absent when the Mac gave none).
    MailboxPairingOutcome outcome(const std::optional<MailboxPairingAnswer>& answer, const MailboxPairingOffer& offer,
        std::string_view macID, std::string_view deviceID, const std::optional<std::string>& deviceAccount);
}

}
