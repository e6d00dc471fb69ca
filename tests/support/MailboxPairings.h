// A mailbox pairing for a test that needs one for a device, with fresh keys on both ends.
#pragma once

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <string>

namespace vellumar::test {

inline movrane::MailboxPairing mailboxPairingFor(std::string deviceID,
    const movrane::MailboxPublicKey& macKey = movrane::MailboxIdentity::generate().publicKey())
{
    return movrane::MailboxPairing::make(movrane::MailboxZoneName::make(), "mac-1", std::move(deviceID),
        macKey, movrane::MailboxIdentity::generate().publicKey());
}

}
