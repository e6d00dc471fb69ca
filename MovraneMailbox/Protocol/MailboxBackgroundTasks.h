// Work a mailbox end starts and does not wait for (a client's nap timers and background deletions, a
// store's notification calls). Each runs on a thread of its own; the owner's end stops and awaits them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace movrane {

class MailboxBackgroundTasks {
public:
    MailboxBackgroundTasks() = default;
    // Requests a stop of every task still running, then waits for all of them.
    ~MailboxBackgroundTasks();
    MailboxBackgroundTasks(const MailboxBackgroundTasks&) = delete;
    MailboxBackgroundTasks& operator=(const MailboxBackgroundTasks&) = delete;

    // Runs `work` on a new thread with a token that the destructor stops; what it throws is dropped.
    // Answers false, running nothing, once the destructor has begun. Safe from any thread.
    bool start(std::function<void(std::stop_token)> work);

private:
    void finished(std::uint64_t task);

    std::mutex m_lock;
    bool m_closing = false;
    std::uint64_t m_lastTask = 0;
    std::map<std::uint64_t, std::jthread> m_running;
    // Ended tasks whose threads are joined when the next one starts: a thread cannot join itself.
    std::vector<std::uint64_t> m_ended;
};

}
