// The two menu switches that the routine and terminal areas read on every request.
#pragma once

#include <atomic>

namespace vellumar {

// Any thread; each read takes the switch anew, so a change applies to the next request. Reads write
// nothing shared, so the request threads do not pass a lock between their CPUs for them.
class RelayOptions {
public:
    bool routines() const { return m_routines.load(std::memory_order_acquire); }
    void setRoutines(bool enabled) { m_routines.store(enabled, std::memory_order_release); }
    bool terminal() const { return m_terminal.load(std::memory_order_acquire); }
    void setTerminal(bool enabled) { m_terminal.store(enabled, std::memory_order_release); }

private:
    std::atomic<bool> m_routines = false;
    std::atomic<bool> m_terminal = true;
};

}
