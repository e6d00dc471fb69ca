#include "VellumarMacCore/Relay/PairedDeviceList.h"

#include <algorithm>

namespace vellumar {

PairedDeviceList::PairedDeviceList(const std::vector<PairedDevice>& devices)
{
    m_entries.reserve(devices.size());
    for (const PairedDevice& device : devices)
        m_entries.push_back(std::make_shared<const PairedDevice>(device));
}

PairedDeviceList PairedDeviceList::replacing(std::size_t index, const PairedDevice& device) const
{
    PairedDeviceList changed;
    changed.m_entries = m_entries;
    changed.m_entries[index] = std::make_shared<const PairedDevice>(device);
    return changed;
}

std::vector<PairedDevice> PairedDeviceList::values() const
{
    return std::vector<PairedDevice>(begin(), end());
}

bool operator==(const PairedDeviceList& list, const std::vector<PairedDevice>& devices)
{
    return std::equal(list.begin(), list.end(), devices.begin(), devices.end());
}

}
