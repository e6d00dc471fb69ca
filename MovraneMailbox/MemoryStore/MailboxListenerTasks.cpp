#include "MovraneMailbox/MemoryStore/MailboxListenerTasks.h"

namespace movrane {

MailboxListenerTasks::~MailboxListenerTasks()
{
    std::list<Task> running;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        running.swap(m_tasks);
    }
    // Joined outside the lock: a running call may still try to start another, which must not wait here.
    running.clear();
}

void MailboxListenerTasks::start(std::function<void()> call)
{
    std::list<Task> done;
    std::lock_guard lock(m_lock);
    if (m_closed)
        return;
    // Threads that have ended are joined as new ones start, so that a long-lived store keeps few.
    for (auto task = m_tasks.begin(); task != m_tasks.end();) {
        auto next = std::next(task);
        if (task->finished->load())
            done.splice(done.end(), m_tasks, task);
        task = next;
    }
    auto& task = m_tasks.emplace_back();
    task.thread = std::jthread([call = std::move(call), finished = task.finished] {
        try {
            call();
        } catch (...) {
            // A listener's failure is its own; the store and the other listeners go on.
        }
        finished->store(true);
    });
}

}
