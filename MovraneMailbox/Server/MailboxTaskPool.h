// A bounded set of worker threads for the work the mailbox server hands off (handling requests, starting
// watches): at most `maxThreads` items run at once and the rest wait their turn in order, so no flood
// of envelopes can start an unbounded number of threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace movrane {

class MailboxTaskPool {
public:
    // Each item gets the pool's stop token, which `close` requests.
    using Work = std::function<void(std::stop_token)>;

    // `maxThreads` of 0 counts as 1. Threads start only as work arrives.
    explicit MailboxTaskPool(std::size_t maxThreads);
    // Closes the pool.
    ~MailboxTaskPool();
    MailboxTaskPool(const MailboxTaskPool&) = delete;
    MailboxTaskPool& operator=(const MailboxTaskPool&) = delete;

    // Any thread. Runs `work` on a worker once one is free; what it throws is dropped. Work posted
    // after `close` is dropped.
    void post(Work work);
    // Any thread but a worker's: requests stop, drops the work that has not begun and waits for the
    // items that are running. Later calls do nothing.
    void close();

private:
    void workerLoop(std::stop_token stop);

    const std::size_t m_maxThreads;
    std::mutex m_lock;
    std::condition_variable_any m_ready;
    std::deque<Work> m_queue;
    std::vector<std::jthread> m_threads;
    std::size_t m_idle = 0;
    bool m_closed = false;
};

}
