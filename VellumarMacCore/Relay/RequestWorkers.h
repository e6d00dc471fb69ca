// The threads that run request handlers away from the listener's queues. The relay caps them at what
// its connection limit needs, so handlers that wait (long polls) never starve the others, and starts
// each only when a request finds every running one busy, so an idle relay holds none.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace vellumar {

class RequestWorkers {
public:
    // Each thread carries this name.
    static constexpr std::string_view kThreadName = "relay.worker";

    // Starts no thread yet.
    explicit RequestWorkers(std::size_t maxThreads);
    // Waits for the handlers that are running; work not started yet is dropped.
    ~RequestWorkers();
    RequestWorkers(const RequestWorkers&) = delete;
    RequestWorkers& operator=(const RequestWorkers&) = delete;

    // Any thread. Work that finds no idle thread starts one while there are fewer than the most
    // allowed; beyond that it waits for one to become idle. A thread, once started, stays until the end:
    // what a burst needed, the next burst will need again. `work` must not throw.
    void submit(std::function<void()> work);

private:
    void run();

    const std::size_t m_maxThreads;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_pending;
    // Threads waiting for work, including those woken for work they have not taken yet.
    std::size_t m_idle = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}
