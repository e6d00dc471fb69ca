// Calls handed over to threads of their own, none awaited by the one who starts it, all awaited by the
// owner's end: what a store uses to play the service's push notifications.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace movrane {

class MailboxListenerTasks {
public:
    MailboxListenerTasks() = default;
    // Starts nothing more, then waits for every call already started.
    ~MailboxListenerTasks();
    MailboxListenerTasks(const MailboxListenerTasks&) = delete;
    MailboxListenerTasks& operator=(const MailboxListenerTasks&) = delete;

    // Runs `call` on a new thread; what it throws is dropped there. Does nothing once the destructor
    // has begun, so that a call which starts others cannot keep the owner alive. Safe from any thread.
    void start(std::function<void()> call);

private:
    struct Task {
        std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
        std::jthread thread;
    };

    std::mutex m_lock;
    bool m_closed = false;
    std::list<Task> m_tasks;
};

}
