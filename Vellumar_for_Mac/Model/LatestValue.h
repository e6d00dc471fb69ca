// The newest of a stream of values that one thread hands to another, which takes it when it gets to
// it: a value not yet taken is replaced by a newer one, so the taker wakes once however many came.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

namespace vellumar {

// Any thread.
template <typename Value> class LatestValue {
public:
    // Keeps `value` in place of any waiting one; true when none was waiting, so the caller must have
    // it taken.
    bool replace(Value value)
    {
        std::lock_guard lock(m_lock);
        bool wasEmpty = !m_waiting;
        m_waiting = std::move(value);
        return wasEmpty;
    }

    // The waiting value, leaving none.
    std::optional<Value> take()
    {
        std::lock_guard lock(m_lock);
        return std::exchange(m_waiting, std::nullopt);
    }

private:
    std::mutex m_lock;
    std::optional<Value> m_waiting;
};

}
