// What the Mac's iCloud mailbox reports about itself, for the menu and the onboarding window.
#pragma once

#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace vellumar {

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
};

}
