// An unchanging list of paired phones that any number of threads may hold at once: the device registry
// hands one to its observers after each change, and the list made after a change shares every device
// that the change left alone, so a request that only marks one phone seen copies one device, not all,
// and counts references to the devices replaced since the list was last built whole, not to each.
#pragma once

#include "VellumarMacCore/Relay/PairedDevice.h"

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace vellumar {

class PairedDeviceList {
    using Positions = std::vector<const PairedDevice*>;

public:
    // Reads the devices in list order.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = PairedDevice;
        using difference_type = std::ptrdiff_t;
        using pointer = const PairedDevice*;
        using reference = const PairedDevice&;

        Iterator() = default;
        explicit Iterator(Positions::const_iterator position)
            : m_position(position)
        {
        }
        reference operator*() const { return **m_position; }
        pointer operator->() const { return *m_position; }
        Iterator& operator++()
        {
            ++m_position;
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator before = *this;
            ++m_position;
            return before;
        }
        friend bool operator==(const Iterator&, const Iterator&) = default;

    private:
        Positions::const_iterator m_position;
    };

    PairedDeviceList() = default;
    explicit PairedDeviceList(const std::vector<PairedDevice>& devices);

    // This list with the device at `index` (which must be valid) replaced by `device`; the other devices
    // are shared with this list, not copied.
    PairedDeviceList replacing(std::size_t index, const PairedDevice& device) const;

    std::size_t size() const noexcept { return m_devices.size(); }
    bool empty() const noexcept { return m_devices.empty(); }
    const PairedDevice& operator[](std::size_t index) const { return *m_devices[index]; }
    const PairedDevice& front() const { return *m_devices.front(); }
    Iterator begin() const { return Iterator(m_devices.begin()); }
    Iterator end() const { return Iterator(m_devices.end()); }

    // The devices copied out, in order.
    std::vector<PairedDevice> values() const;

    friend bool operator==(const PairedDeviceList& list, const std::vector<PairedDevice>& devices);

private:
    // The devices as they were when a list was last built whole; shared by every list made from it since.
    std::shared_ptr<const std::vector<PairedDevice>> m_built;
    // The devices replaced since, by position, at most one each.
    std::vector<std::pair<std::size_t, std::shared_ptr<const PairedDevice>>> m_replaced;
    // Each device in list order, in `m_built` or `m_replaced`.
    Positions m_devices;
};

}
