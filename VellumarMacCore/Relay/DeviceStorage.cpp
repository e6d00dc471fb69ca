#include "VellumarMacCore/Relay/DeviceStorage.h"

namespace vellumar {

MemoryDeviceStorage::MemoryDeviceStorage(std::vector<PairedDevice> devices)
    : m_devices(std::move(devices))
{
}

std::vector<PairedDevice> MemoryDeviceStorage::load()
{
    std::lock_guard lock(m_lock);
    return m_devices;
}

void MemoryDeviceStorage::save(const std::vector<PairedDevice>& devices)
{
    std::lock_guard lock(m_lock);
    m_devices = devices;
}

}
