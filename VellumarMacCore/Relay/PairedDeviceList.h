// An unchanging list of paired phones that any number of threads may hold at once: the device registry
// hands one to its observers after each change, and the list made after a change shares every device
// that the change left alone, so a request that only marks one phone seen copies one device, not all.
#pragma once

#include "VellumarMacCore/Relay/PairedDevice.h"

#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

namespace vellumar {

class PairedDeviceList {
public:
    using Entries = std::vector<std::shared_ptr<const PairedDevice>>;

    // Reads the devices in list order.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = PairedDevice;
        using difference_type = std::ptrdiff_t;
        using pointer = const PairedDevice*;
        using reference = const PairedDevice&;

        Iterator() = default;
        explicit Iterator(Entries::const_iterator position)
            : m_position(position)
        {
        }
        reference operator*() const { return **m_position; }
        pointer operator->() const { return m_position->get(); }
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
        Entries::const_iterator m_position;
    };

    PairedDeviceList() = default;
    explicit PairedDeviceList(const std::vector<PairedDevice>& devices);

    // This list with the device at `index` (which must be valid) replaced by `device`; the other devices
    // are shared with this list, not copied.
    PairedDeviceList replacing(std::size_t index, const PairedDevice& device) const;

    std::size_t size() const noexcept { return m_entries.size(); }
    bool empty() const noexcept { return m_entries.empty(); }
    const PairedDevice& operator[](std::size_t index) const { return *m_entries[index]; }
    const PairedDevice& front() const { return *m_entries.front(); }
    Iterator begin() const { return Iterator(m_entries.begin()); }
    Iterator end() const { return Iterator(m_entries.end()); }

    // The devices copied out, in order.
    std::vector<PairedDevice> values() const;

    friend bool operator==(const PairedDeviceList& list, const std::vector<PairedDevice>& devices);

private:
    Entries m_entries;
};

}
