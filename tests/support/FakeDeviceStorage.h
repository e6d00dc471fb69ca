// A fake device storage: a list in memory that counts its saves and, on demand, fails to load or to
// save the way an unavailable keychain does.
#pragma once

#include "VellumarMacCore/Relay/DeviceStorage.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace vellumar::test {

class FakeDeviceStorage final : public DeviceStorage {
public:
    explicit FakeDeviceStorage(std::vector<PairedDevice> devices = {})
        : m_stored(std::move(devices))
    {
    }

    std::vector<PairedDevice> load() override
    {
        if (failLoad)
            throw KeychainError(platform::KeychainStatus::notAvailable);
        return stored();
    }
    void save(const std::vector<PairedDevice>& devices) override
    {
        if (failSave)
            throw KeychainError(platform::KeychainStatus::io);
        std::lock_guard lock(m_lock);
        m_stored = devices;
        ++saves;
    }
    void setAside() override { }

    std::vector<PairedDevice> stored()
    {
        std::lock_guard lock(m_lock);
        return m_stored;
    }

    std::atomic<bool> failLoad = false;
    std::atomic<bool> failSave = false;
    std::atomic<int> saves = 0;

private:
    std::mutex m_lock;
    std::vector<PairedDevice> m_stored;
};

}
