// Which transport brought a request to the router: the TLS listener on the local network, or the
// iCloud mailbox on behalf of one paired phone.
#pragma once

#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <utility>
#include <variant>

namespace vellumar {

struct RequestOrigin {
    struct LAN {
        friend bool operator==(const LAN&, const LAN&) = default;
    };
    // The pairing whose channel the envelope came through; the router accepts it only while it is the one
    // the registry keeps for that device.
    struct Mailbox {
        movrane::MailboxPairing pairing;
        friend bool operator==(const Mailbox&, const Mailbox&) = default;
    };

    static RequestOrigin lan() { return { LAN {} }; }
    static RequestOrigin mailbox(movrane::MailboxPairing pairing)
    {
        return { Mailbox { std::move(pairing) } };
    }

    bool isMailbox() const noexcept { return std::holds_alternative<Mailbox>(sender); }

    std::variant<LAN, Mailbox> sender;
};

}
