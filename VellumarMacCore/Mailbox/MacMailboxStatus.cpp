#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include <array>

namespace vellumar {

std::optional<movrane::MailboxError> MacMailboxStatus::primaryError() const
{
    using Kind = movrane::MailboxError::Kind;
    // The order of what the user can act on first.
    for (Kind kind : std::array { Kind::quotaExceeded, Kind::misconfigured, Kind::busy, Kind::network })
        for (const auto& [zone, error] : zoneErrors)
            if (error.kind() == kind)
                return error;
    return std::nullopt;
}

DeviceMailboxState::Value MacMailboxStatus::state(const PairedDevice& device) const
{
    using Kind = movrane::MailboxError::Kind;
    if (!device.mailbox)
        return DeviceMailboxState::LanOnly { device.mailboxReason() };
    if (availability != Availability { movrane::MailboxAccountState::available } || !running)
        return DeviceMailboxState::Paused {};
    if (auto found = zoneErrors.find(device.mailbox->zoneName); found != zoneErrors.end()) {
        switch (found->second.kind()) {
        case Kind::zoneMissing:
        case Kind::encryptedDataReset:
            return DeviceMailboxState::NeedsSameWiFi {};
        case Kind::changeTokenExpired:
        case Kind::alreadyExists:
        case Kind::cancelled:
            break;
        default:
            return DeviceMailboxState::Problem { found->second };
        }
    }
    return DeviceMailboxState::On { .recent = recentDevices.contains(device.id) };
}

}
