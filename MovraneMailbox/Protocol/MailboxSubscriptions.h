// Who the store wakes: each end asks for push subscriptions on its pairing's zone, firing when an
// envelope for it is created, silently or with an alert by kind; an incoming push names its zone through
// the subscription's identifier.
#pragma once

#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movrane {

struct MailboxSubscriptionSpec {
    struct Delivery {
        enum class Kind { alert, silent };
        Kind kind = Kind::silent;
        // The phone app's localised texts of an alert; empty for a silent push.
        std::string titleKey;
        std::string bodyKey;
        friend bool operator==(const Delivery&, const Delivery&) = default;
    };

    std::string id;
    // The party tag an envelope's "to" must equal.
    std::string recipient;
    // When set, the envelope's "notify" must equal it too.
    std::optional<MailboxNotify> notify;
    Delivery delivery;

    friend bool operator==(const MailboxSubscriptionSpec&, const MailboxSubscriptionSpec&) = default;
};

namespace MailboxSubscriptions {
    // Silent for none and silent; an alert with "movrane.mailbox.alert.<kind>.title" and ".body" otherwise.
    MailboxSubscriptionSpec::Delivery delivery(MailboxNotify notify);
    // "vl.mac.<zone>": every envelope for the Mac, silently.
    std::vector<MailboxSubscriptionSpec> mac(const MailboxPairing& pairing);
    // "vl.dev.<zone>.reply", ".approval", ".routine" and, with `includeSilent`, ".silent" last.
    std::vector<MailboxSubscriptionSpec> device(const MailboxPairing& pairing, bool includeSilent);
    // The zone of a mailbox subscription identifier; absent for any other text.
    std::optional<std::string> parse(std::string_view identifier);
}

}
