// The PATH of the user's login shell, once the Claude Code check has learned it; shared with the
// reply runner's threads.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace vellumar {

// Any thread.
class LoginPathBox {
public:
    std::optional<std::string> stored() const
    {
        std::lock_guard guard(m_lock);
        return m_stored;
    }
    void store(std::optional<std::string> path)
    {
        std::lock_guard guard(m_lock);
        m_stored = std::move(path);
    }

private:
    mutable std::mutex m_lock;
    std::optional<std::string> m_stored;
};

}
