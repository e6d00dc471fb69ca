// Unpairing one phone: the registry forgets it, its terminals close and its mailbox zone goes, whoever
// asked.
#pragma once

#include "VellumarMacCore/Relay/MailboxRegistrar.h"
#include "VellumarMacCore/Relay/PairedDevice.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vellumar {

class DeviceRegistry;
class TerminalRegistry;

// The WebSocket close code a terminal gets when its phone is unpaired.
inline constexpr std::uint16_t kDeviceRemovedCloseCode = 4001;

// Removes the device (answering it, or none when it was not paired) and closes its terminals with
// 4001, also when there was no such device. When the registry throws, the terminals are closed all the
// same before its error goes on: a failed save has already taken the device out of memory and its token
// no longer passes, so a shell it opened must not outlive it. `terminals` may be null.
std::optional<PairedDevice> removeDeviceClosingTerminals(
    DeviceRegistry& devices, TerminalRegistry* terminals, const std::string& deviceID);

// Has the mailbox forget the removed device's pairing, when there was a device, it had a pairing and
// there is a mailbox. Returns at once; the zone is removed in the background.
void forgetMailboxPairing(MailboxRegistrar* mailbox, const std::optional<PairedDevice>& removed,
    MailboxRegistrar::ForgetTiming timing);

}
