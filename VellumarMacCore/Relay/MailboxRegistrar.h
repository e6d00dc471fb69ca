// What the relay's device endpoints ask of the Mac's iCloud mailbox: an answer to a phone's pairing
// offer, the set-up of an enabled pairing's zone, and forgetting a pairing that is gone.
#pragma once

#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <optional>
#include <string>

namespace vellumar {

// Any thread.
class MailboxRegistrar {
public:
    // A phone that asked to be forgotten through the mailbox still reads its last answers from its zone
    // for a little while; everywhere else the zone goes at once.
    enum class ForgetTiming { now, afterDelay };

    virtual ~MailboxRegistrar() = default;

    // The answer to an offer the phone sent over the local network, with the zone the phone already has,
    // if any. Asks iCloud within a short time bound, so it returns within a few seconds. Never throws.
    virtual movrane::MailboxPairingAnswer registerDevice(
        const movrane::MailboxPairingOffer& offer, const std::optional<std::string>& earlierZone)
        = 0;
    // The answer to an offer of a version this Mac cannot read; asks nothing of iCloud.
    virtual movrane::MailboxPairingAnswer unsupportedOfferAnswer() = 0;
    // Owes the pairing's zone and starts setting it up without waiting; retried later while it fails.
    virtual void scheduleSetUp(const movrane::MailboxPairing& pairing) = 0;
    // Drops what is owed or recorded for the pairing at once and removes its zone in the background.
    virtual void forget(const movrane::MailboxPairing& pairing, ForgetTiming timing) = 0;
};

}
