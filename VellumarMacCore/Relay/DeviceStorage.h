// Where the list of paired devices lives between runs.
#pragma once

#include "VellumarMacCore/Relay/PairedDevice.h"

#include <mutex>
#include <vector>

namespace vellumar {

// Called by the device registry, never by two threads at once.
class DeviceStorage {
public:
    virtual ~DeviceStorage() = default;

    // The stored list; empty when nothing was ever stored. Throws DeviceListDecodingError when the
    // stored list was read but is not one, and the storage's own error when it could not be read.
    virtual std::vector<PairedDevice> load() = 0;
    // Replaces the stored list with `devices`; throws the storage's error, leaving the old list.
    virtual void save(const std::vector<PairedDevice>& devices) = 0;
    // Moves a stored list that does not decode out of the way, keeping it for the user, so that the
    // next save starts afresh instead of destroying it. Throws the storage's error.
    virtual void setAside() = 0;
};

// A list that lives as long as the process.
class MemoryDeviceStorage final : public DeviceStorage {
public:
    explicit MemoryDeviceStorage(std::vector<PairedDevice> devices = {});

    std::vector<PairedDevice> load() override;
    void save(const std::vector<PairedDevice>& devices) override;
    // Its list always decodes, so there is never anything to set aside.
    void setAside() override { }

private:
    std::mutex m_lock;
    std::vector<PairedDevice> m_devices;
};

}
