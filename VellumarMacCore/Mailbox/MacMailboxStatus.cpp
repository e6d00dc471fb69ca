#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include <array>

namespace vellumar {

namespace {

    using Kind = movrane::MailboxError::Kind;
    using Reason = movrane::MailboxPairingAnswer::Reason;

    std::optional<Reason> reasonOf(const std::optional<std::string>& code)
    {
        constexpr std::array reasons { Reason::differentAccount, Reason::deviceNoICloud, Reason::macNoICloud,
            Reason::macICloudUnavailable, Reason::unsupportedVersion };
        if (!code)
            return std::nullopt;
        for (Reason reason : reasons)
            if (movrane::rawValue(reason) == *code)
                return reason;
        return std::nullopt;
    }

    bool isServing(const MacMailboxStatus& status)
    {
        const auto* account = std::get_if<movrane::MailboxAccountState>(&status.availability);
        return status.running && account && *account == movrane::MailboxAccountState::available;
    }

}

std::optional<movrane::MailboxError> MacMailboxStatus::primaryError() const
{
    for (Kind kind : { Kind::quotaExceeded, Kind::misconfigured, Kind::busy, Kind::network })
        for (const auto& [zone, error] : zoneErrors)
            if (error.kind() == kind)
                return error;
    return std::nullopt;
}

DeviceMailboxState mailboxState(const MacMailboxStatus& status, const MailboxDeviceFacts& device)
{
    if (!device.mailbox)
        return { DeviceMailboxState::LanOnly { reasonOf(device.mailboxReasonCode) } };
    if (!isServing(status))
        return { DeviceMailboxState::Paused {} };
    auto error = status.zoneErrors.find(device.mailbox->zoneName);
    if (error != status.zoneErrors.end()) {
        switch (error->second.kind()) {
        case Kind::zoneMissing:
        case Kind::encryptedDataReset:
            return { DeviceMailboxState::NeedsSameWiFi {} };
        case Kind::changeTokenExpired:
        case Kind::alreadyExists:
        case Kind::cancelled:
            break;
        default:
            return { DeviceMailboxState::Problem { error->second } };
        }
    }
    return { DeviceMailboxState::On { status.recentDevices.contains(device.id) } };
}

}
