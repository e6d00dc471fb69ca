// Mailbox pairings for tests that need one for a device, with fresh keys on both ends.
#pragma once

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"

#include <string>

namespace vellumar::test {

inline movrane::MailboxPairing mailboxPairingFor(std::string deviceID,
    const movrane::MailboxPublicKey& macKey = movrane::MailboxIdentity::generate().publicKey())
{
    return movrane::MailboxPairing::make(movrane::MailboxZoneName::make(), "mac-1", std::move(deviceID),
        macKey, movrane::MailboxIdentity::generate().publicKey());
}

// A pairing for the device, kept by the registry as an enabled registration keeps it.
inline movrane::MailboxPairing storedMailboxPairing(DeviceRegistry& devices, const std::string& deviceID)
{
    auto stored = mailboxPairingFor(deviceID);
    devices.setMailbox(deviceID, stored, std::nullopt);
    return stored;
}

}
