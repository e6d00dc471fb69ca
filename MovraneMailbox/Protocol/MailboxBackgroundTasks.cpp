#include "MovraneMailbox/Protocol/MailboxBackgroundTasks.h"

namespace movrane {

MailboxBackgroundTasks::~MailboxBackgroundTasks()
{
    std::map<std::uint64_t, std::jthread> running;
    {
        std::lock_guard lock(m_lock);
        m_closing = true;
        running.swap(m_running);
    }
    // Every stop first, so the joins below wait for the slowest task only, not for their sum.
    for (auto& [task, thread] : running)
        thread.request_stop();
}

bool MailboxBackgroundTasks::start(std::function<void(std::stop_token)> work)
{
    std::vector<std::jthread> ended;
    std::lock_guard lock(m_lock);
    if (m_closing)
        return false;
    for (auto task : m_ended) {
        if (auto found = m_running.find(task); found != m_running.end()) {
            ended.push_back(std::move(found->second));
            m_running.erase(found);
        }
    }
    m_ended.clear();
    auto task = ++m_lastTask;
    m_running.emplace(task, std::jthread([this, task, work = std::move(work)](std::stop_token stop) {
        try {
            work(stop);
        } catch (...) {
            // Background work reports through what it changes, never by escaping its thread; the
            // owner and the other tasks go on.
        }
        finished(task);
    }));
    return true;
}

void MailboxBackgroundTasks::finished(std::uint64_t task)
{
    std::lock_guard lock(m_lock);
    if (!m_closing)
        m_ended.push_back(task);
}

}
