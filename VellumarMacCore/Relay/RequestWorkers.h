// A fixed set of threads that run request handlers away from the listener's queue. The relay sizes
// it to its connection limit, so handlers that wait (long polls) never starve the others.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vellumar {

class RequestWorkers {
public:
    explicit RequestWorkers(std::size_t threadCount);
    // Waits for the handlers that are running; work not started yet is dropped.
    ~RequestWorkers();
    RequestWorkers(const RequestWorkers&) = delete;
    RequestWorkers& operator=(const RequestWorkers&) = delete;

    // Any thread. `work` must not throw.
    void submit(std::function<void()> work);

private:
    void run();

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_pending;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}
