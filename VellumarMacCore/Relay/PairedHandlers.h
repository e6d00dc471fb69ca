// Callbacks for one device event (a new pairing, or a used pairing code presented again).
#pragma once

#include "VellumarMacCore/Relay/PairedDevice.h"

#include <functional>
#include <mutex>
#include <vector>

namespace vellumar {

// Any thread. Handlers run outside the lock, so one may register further handlers; a handler
// registered during a notification is first called by the next one.
class PairedHandlers {
public:
    using Handler = std::function<void(const PairedDevice&)>;

    void append(Handler handler);
    // Calls each handler with the device, in registration order, on the calling thread.
    void notify(const PairedDevice& device) const;

private:
    mutable std::mutex m_lock;
    std::vector<Handler> m_handlers;
};

}
