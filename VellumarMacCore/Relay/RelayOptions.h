// The two menu switches that the routine and terminal areas read on every request.
#pragma once

#include <mutex>

namespace vellumar {

// Any thread; each read takes the switch anew, so a change applies to the next request.
class RelayOptions {
public:
    bool routines() const;
    void setRoutines(bool enabled);
    bool terminal() const;
    void setTerminal(bool enabled);

private:
    mutable std::mutex m_lock;
    bool m_routines = false;
    bool m_terminal = true;
};

}
