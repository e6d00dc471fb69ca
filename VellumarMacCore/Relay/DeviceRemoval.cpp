#include "VellumarMacCore/Relay/DeviceRemoval.h"

#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/TerminalRegistry.h"

namespace vellumar {

std::optional<PairedDevice> removeDeviceClosingTerminals(
    DeviceRegistry& devices, TerminalRegistry* terminals, const std::string& deviceID)
{
    auto closeTerminals = [&] {
        if (terminals)
            terminals->closeSessions(deviceID, kDeviceRemovedCloseCode, "");
    };
    std::optional<PairedDevice> removed;
    try {
        removed = devices.remove(deviceID);
    } catch (...) {
        closeTerminals();
        throw;
    }
    closeTerminals();
    return removed;
}

void forgetMailboxPairing(MailboxRegistrar* mailbox, const std::optional<PairedDevice>& removed,
    MailboxRegistrar::ForgetTiming timing)
{
    if (mailbox && removed && removed->mailbox)
        mailbox->forget(*removed->mailbox, timing);
}

}
