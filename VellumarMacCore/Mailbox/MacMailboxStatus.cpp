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
    auto found = deviceStates.find(device.id);
    if (found == deviceStates.end())
        return DeviceMailboxState::LanOnly {};
    return found->second;
}

}
