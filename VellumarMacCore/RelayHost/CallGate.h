// Keeps calls from outlasting what they use: calls pass while the gate is open, a closed gate refuses
// new ones, and its owner can wait until those under way have left.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vellumar {

// Any thread.
class CallGate {
public:
    // Reopens a closed gate.
    void open()
    {
        std::lock_guard lock(m_lock);
        m_open = true;
    }

    // Refuses calls from now on; the ones under way go on.
    void close()
    {
        std::lock_guard lock(m_lock);
        m_open = false;
    }

    // Returns once no call is under way.
    void waitUntilIdle()
    {
        std::unique_lock lock(m_lock);
        m_idle.wait(lock, [&] { return m_underWay == 0; });
    }

    // Runs `call` when the gate is open and answers its result, else answers `refused()`.
    template <typename Call, typename Refused> auto pass(Call&& call, Refused&& refused)
    {
        {
            std::lock_guard lock(m_lock);
            if (!m_open)
                return refused();
            ++m_underWay;
        }
        struct Leave {
            CallGate& gate;
            ~Leave()
            {
                std::lock_guard lock(gate.m_lock);
                if (--gate.m_underWay == 0)
                    gate.m_idle.notify_all();
            }
        } leave { *this };
        return call();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_idle;
    bool m_open = false;
    int m_underWay = 0;
};

}
