// What the menu and the onboarding window show of the iCloud mailbox: whether it can work, what stops
// it, which phones used it lately, and for one paired phone how it reaches the Mac. Plain values, safe to
// hand between threads.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace vellumar {

struct MacMailboxStatus {
    struct Checking {
        friend bool operator==(const Checking&, const Checking&) = default;
    };
    struct KeyUnavailable {
        friend bool operator==(const KeyUnavailable&, const KeyUnavailable&) = default;
    };
    // The account's answer; `Checking` before the first; `KeyUnavailable` when the Mac's mailbox key
    // could not be loaded or made.
    using Availability = std::variant<movrane::MailboxAccountState, Checking, KeyUnavailable>;

    Availability availability = Checking {};
    bool running = false;
    // The last known error of each pairing zone, by zone name.
    std::map<std::string, movrane::MailboxError> zoneErrors;
    // Devices with mailbox activity within the recent window, with the time of their last request.
    std::map<std::string, movrane::MailboxTime> recentDevices;
    // The remote-notification registration's result; none until it is reported.
    std::optional<bool> pushRegistered;
    int activeWatches = 0;

    // The one zone error worth showing for the whole Mac: quota first, then a misconfiguration, then
    // `busy`, then `network`; no other kind is ever shown here.
    std::optional<movrane::MailboxError> primaryError() const;

    friend bool operator==(const MacMailboxStatus&, const MacMailboxStatus&) = default;
};

// How one paired phone reaches the Mac.
struct DeviceMailboxState {
    // No mailbox pairing; the reason it was refused, when known.
    struct LanOnly {
        std::optional<movrane::MailboxPairingAnswer::Reason> reason;
        friend bool operator==(const LanOnly&, const LanOnly&) = default;
    };
    // The mailbox serves the device; `recent` when it made a request within the recent window.
    struct On {
        bool recent = false;
        friend bool operator==(const On&, const On&) = default;
    };
    // The device's zone has an error worth showing.
    struct Problem {
        movrane::MailboxError error;
        friend bool operator==(const Problem&, const Problem&) = default;
    };
    // Paired for the mailbox, but the Mac's side is not serving now.
    struct Paused {
        friend bool operator==(const Paused&, const Paused&) = default;
    };
    // The zone is missing or its encrypted data was reset: the phone must meet the Mac on its Wi-Fi.
    struct NeedsSameWiFi {
        friend bool operator==(const NeedsSameWiFi&, const NeedsSameWiFi&) = default;
    };

    std::variant<LanOnly, On, Problem, Paused, NeedsSameWiFi> value;

    friend bool operator==(const DeviceMailboxState&, const DeviceMailboxState&) = default;
};

// What the status needs to know of one paired device.
struct MailboxDeviceFacts {
    std::string id;
    std::optional<movrane::MailboxPairing> mailbox;
    // The stored reason its mailbox pairing was refused; unknown texts give no reason.
    std::optional<std::string> mailboxReasonCode;
};

DeviceMailboxState mailboxState(const MacMailboxStatus& status, const MailboxDeviceFacts& device);

}
