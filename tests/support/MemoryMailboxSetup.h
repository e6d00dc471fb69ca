// A Mac mailbox set-up for tests: the given store, keys and channel state in memory, the system's clock,
// and a log the test reads and waits on.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxKeyStore.h"
#include "VellumarMacCore/Mailbox/MacMailboxSetup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vellumar::test {

// Any thread may log; the lines are kept in order.
class MailboxLog {
public:
    std::function<void(std::string_view)> sink()
    {
        return [this](std::string_view line) {
            std::lock_guard lock(m_lock);
            m_lines.emplace_back(line);
            m_logged.notify_all();
        };
    }

    std::vector<std::string> lines() const
    {
        std::lock_guard lock(m_lock);
        return m_lines;
    }

    // Waits until the log holds `count` lines equal to `line`.
    bool waitFor(const std::string& line, long count)
    {
        std::unique_lock lock(m_lock);
        return m_logged.wait_for(lock, std::chrono::seconds(15),
            [&] { return std::count(m_lines.begin(), m_lines.end(), line) >= count; });
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_logged;
    std::vector<std::string> m_lines;
};

inline MacMailboxSetup memoryMailboxSetup(std::shared_ptr<movrane::MailboxStore> store, MailboxLog& log)
{
    return {
        .store = std::move(store),
        .keyStore = std::make_shared<movrane::InMemoryMailboxKeyStore>(),
        .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
        .clock = std::make_shared<movrane::SystemMailboxClock>(),
        .log = log.sink(),
    };
}

}
