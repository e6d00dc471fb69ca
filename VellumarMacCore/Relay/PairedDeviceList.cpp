#include "VellumarMacCore/Relay/PairedDeviceList.h"

#include <algorithm>

namespace vellumar {

PairedDeviceList::PairedDeviceList(const std::vector<PairedDevice>& devices)
    : m_built(std::make_shared<const std::vector<PairedDevice>>(devices))
{
    m_devices.reserve(m_built->size());
    for (const PairedDevice& device : *m_built)
        m_devices.push_back(&device);
}

PairedDeviceList PairedDeviceList::replacing(std::size_t index, const PairedDevice& device) const
{
    PairedDeviceList changed = *this;
    auto replacement = std::make_shared<const PairedDevice>(device);
    changed.m_devices[index] = replacement.get();
    auto earlier = std::find_if(changed.m_replaced.begin(), changed.m_replaced.end(),
        [&](const auto& replaced) { return replaced.first == index; });
    if (earlier != changed.m_replaced.end())
        earlier->second = std::move(replacement);
    else
        changed.m_replaced.emplace_back(index, std::move(replacement));
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
