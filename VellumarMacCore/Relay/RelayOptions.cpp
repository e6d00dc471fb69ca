#include "VellumarMacCore/Relay/RelayOptions.h"

namespace vellumar {

bool RelayOptions::routines() const
{
    std::lock_guard lock(m_lock);
    return m_routines;
}

void RelayOptions::setRoutines(bool enabled)
{
    std::lock_guard lock(m_lock);
    m_routines = enabled;
}

bool RelayOptions::terminal() const
{
    std::lock_guard lock(m_lock);
    return m_terminal;
}

void RelayOptions::setTerminal(bool enabled)
{
    std::lock_guard lock(m_lock);
    m_terminal = enabled;
}

}
