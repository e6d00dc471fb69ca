// A phone paired with this Mac, as the device registry keeps it and stores it.
#pragma once

#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumar {

struct PairedDevice {
    using TimePoint = std::chrono::system_clock::time_point;

    // "d-" and 16 lower-case hexadecimal digits.
    std::string id;
    // Cleaned at pairing: no control characters, trimmed, at most 40 characters.
    std::string name;
    TimePoint pairedAt;
    // When the device last authenticated a request.
    std::optional<TimePoint> lastSeenAt;
    // SHA-256 of the bearer token's UTF-8 bytes, 64 lower-case hexadecimal digits. The token itself
    // is never kept.
    std::string tokenHash;
    // The device's iCloud mailbox pairing; absent while the phone is served on the local network only.
    std::optional<movrane::MailboxPairing> mailbox;
    // Why the phone was last refused the mailbox, as the refusal's raw text.
    std::optional<std::string> mailboxReasonCode;

    // The refusal's reason; absent for no code or a text that names none.
    std::optional<movrane::MailboxPairingAnswer::Reason> mailboxReason() const;
    void setMailboxReason(std::optional<movrane::MailboxPairingAnswer::Reason> reason);

    // {"id", "name", "pairedAt", "lastSeenAt", "tokenHash", "mailbox", "mailboxReasonCode"}, the
    // optional ones left out when absent, dates as seconds since 1970 with their fraction.
    JSON json() const;

    friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

// A stored device list that was read but is not one: not JSON, not an array of device objects, a
// required member missing or of the wrong kind, or a date out of range.
class DeviceListDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace PairedDevices {
    // The JSON array of the devices, in order.
    std::string encoded(const std::vector<PairedDevice>& devices);
    // Members other than the seven are ignored; a missing or null optional member is absent, and so
    // is a "mailbox" or "mailboxReasonCode" that cannot be read, which leaves that phone on the local
    // network rather than losing the whole list. Throws DeviceListDecodingError.
    std::vector<PairedDevice> decoded(std::string_view bytes);
}

}
