// A real router over a fresh data folder with one paired phone, a job manager whose runs wait for the
// test, and terminals played by a recording stand-in (the real ones live in a library above the relay).
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "tests/Relay/RouterMembers.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/RecordingTerminals.h"
#include "tests/support/TestSupport.h"

#include <memory>

namespace vellumar::test {

struct RouterHarness {
    TemporaryFolder folder;
    RelayData data { { .folder = folder / "data", .home = folder.path() } };
    std::shared_ptr<ManualJobClock> clock = std::make_shared<ManualJobClock>();
    std::shared_ptr<FakeDeviceStorage> storage = std::make_shared<FakeDeviceStorage>();
    DeviceRegistry devices { storage, [this] { return clock->now(); } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    JobManager jobs { { .runner = runner, .labels = {}, .clock = clock } };
    RelayOptions options;
    PairingManager pairing { {} };
    RecordingTerminals terminals;
    RelayRouter router { [this] {
        auto members = routerMembers(pairing, devices, jobs, runner, data, options);
        members.terminals = &terminals;
        return members;
    }() };
};

}
