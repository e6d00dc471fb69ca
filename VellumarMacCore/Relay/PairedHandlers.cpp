#include "VellumarMacCore/Relay/PairedHandlers.h"

namespace vellumar {

void PairedHandlers::append(Handler handler)
{
    std::lock_guard lock(m_lock);
    m_handlers.push_back(std::move(handler));
}

void PairedHandlers::notify(const PairedDevice& device) const
{
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(m_lock);
        handlers = m_handlers;
    }
    for (const Handler& handler : handlers)
        handler(device);
}

}
