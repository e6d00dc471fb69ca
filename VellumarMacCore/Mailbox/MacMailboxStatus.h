// What the Mac's iCloud mailbox reports about itself, for the menu and the onboarding window: whether
// iCloud can be used, the zones' errors, which phones used the mailbox lately and how each paired
// phone reaches the Mac.
#pragma once

#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "VellumarMacCore/Relay/PairedDevice.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace vellumar {

// How one paired phone reaches the Mac through the mailbox.
struct DeviceMailboxState {
    // Why the mailbox pairing was refused.
    using Reason = movrane::MailboxPairingAnswer::Reason;
    struct LanOnly {
        std::optional<Reason> reason;
        friend bool operator==(const LanOnly&, const LanOnly&) = default;
    };
    struct On {
        bool recent = false;
        friend bool operator==(const On&, const On&) = default;
    };
    struct Problem {
        movrane::MailboxError error;
        friend bool operator==(const Problem&, const Problem&) = default;
    };
    struct Paused {
        friend bool operator==(const Paused&, const Paused&) = default;
    };
    struct NeedsSameWiFi {
        friend bool operator==(const NeedsSameWiFi&, const NeedsSameWiFi&) = default;
    };
    using Value = std::variant<LanOnly, On, Problem, Paused, NeedsSameWiFi>;
};

// A plain value.
struct MacMailboxStatus {
    struct Checking {
        friend bool operator==(const Checking&, const Checking&) = default;
    };
    struct KeyUnavailable {
        friend bool operator==(const KeyUnavailable&, const KeyUnavailable&) = default;
    };
    // The account's state once iCloud answered; `Checking` before; `KeyUnavailable` when the Mac's
    // mailbox key could be neither loaded nor made.
    using Availability = std::variant<movrane::MailboxAccountState, Checking, KeyUnavailable>;

    Availability availability = Checking {};
    bool running = false;
    std::map<std::string, movrane::MailboxError> zoneErrors; // by zone name
    std::map<std::string, std::chrono::system_clock::time_point> recentDevices; // by device id
    std::optional<bool> pushRegistered;
    int activeWatches = 0;

    // The zone error shown for the Mac: the first quota error, else configuration, else busy, else
    // network; none otherwise.
    std::optional<movrane::MailboxError> primaryError() const;
    // How the phone reaches the Mac: without a mailbox pairing on the local network only (with the
    // reason it was refused, when known); paused while the Mac does not serve the mailbox; otherwise
    // by its zone's error, of which a missing zone or reset encrypted data asks for the same Wi-Fi and
    // a change-token, duplicate or cancelled error is no problem.
    DeviceMailboxState::Value state(const PairedDevice& device) const;

    friend bool operator==(const MacMailboxStatus&, const MacMailboxStatus&) = default;
};

}
