// The router members a test fills in the same way whatever it checks: the Mac is "mac-1" named
// "Studio" in Europe/Berlin, and nothing listens for pairings or has terminals.
#pragma once

#include "VellumarMacCore/Relay/RelayRouter.h"

#include <memory>
#include <string>

namespace vellumar::test {

inline RelayRouter::Members routerMembers(PairingManager& pairing, DeviceRegistry& devices, JobManager& jobs,
    std::shared_ptr<ReplyRunner> runner, RelayData& data, const RelayOptions& options)
{
    return { .pairing = pairing,
        .devices = devices,
        .jobs = jobs,
        .runner = std::move(runner),
        .data = data,
        .options = options,
        .macID = "mac-1",
        .macName = [] { return std::string("Studio"); },
        .timeZone = [] { return std::string("Europe/Berlin"); } };
}

}
