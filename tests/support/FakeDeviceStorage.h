// A fake device storage: a list in memory that counts its saves and, on demand, fails to load or to
// save the way an unavailable keychain does.
#pragma once

#include "VellumarMacCore/Relay/DeviceStorage.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"

#include <atomic>
#include <vector>

namespace vellumar::test {

// The registry never calls its storage from two threads at once, so the list and count need no lock;
// tests read them while no registry call runs. The failure switches may flip while a server uses it.
class FakeDeviceStorage final : public DeviceStorage {
public:
    explicit FakeDeviceStorage(std::vector<PairedDevice> devices = {})
        : stored(std::move(devices))
    {
    }

    std::vector<PairedDevice> load() override
    {
        ++loads;
        if (failLoad)
            throw KeychainError(platform::KeychainStatus::notAvailable);
        return stored;
    }
    void save(const std::vector<PairedDevice>& devices) override
    {
        if (failSave)
            throw KeychainError(platform::KeychainStatus::io);
        stored = devices;
        ++saves;
    }
    void setAside() override { }

    std::vector<PairedDevice> stored;
    std::atomic<bool> failLoad = false;
    std::atomic<bool> failSave = false;
    int saves = 0;
    int loads = 0;
};

}
