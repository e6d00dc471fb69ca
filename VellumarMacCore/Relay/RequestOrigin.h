// Which transport brought a request to the router: the TLS listener on the local network, or the
// iCloud mailbox on behalf of one paired phone.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vellumar {

struct RequestOrigin {
    struct LAN {
        friend bool operator==(const LAN&, const LAN&) = default;
    };
    // FIXME: the sender should be the phone's mailbox pairing, matched against the registry's stored
    // pairings; until the mailbox pairing exists, the mailbox bridge names the paired device whose
    // channel the envelope came through.
    struct Mailbox {
        std::string deviceID;
        friend bool operator==(const Mailbox&, const Mailbox&) = default;
    };

    static RequestOrigin lan() { return { LAN {} }; }
    static RequestOrigin mailbox(std::string deviceID) { return { Mailbox { std::move(deviceID) } }; }

    bool isMailbox() const noexcept { return std::holds_alternative<Mailbox>(sender); }

    std::variant<LAN, Mailbox> sender;
};

}
