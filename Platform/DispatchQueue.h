// A serial queue for work that waits on descriptors and child processes: one named thread running an
// event loop, with delayed work and sources that fire while a descriptor is readable or writable or
// once a child process has ended.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

namespace vellumar::platform {

class DispatchQueue {
public:
    // Starts the thread; it carries `label` as its name, cut to the 15 bytes Linux keeps.
    explicit DispatchQueue(std::string_view label);
    // Any thread, its own included: the thread stops after the work item it runs, and work, timers and
    // cancel handlers that never ran are destroyed without running.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Any thread: runs `work` on the queue after the work queued before it.
    void async(std::function<void()> work);
    // Any thread: runs `work` on the queue once `delay` has passed.
    void after(std::chrono::duration<double> delay, std::function<void()> work);

    struct Loop;

private:
    friend class DispatchSource;
    std::shared_ptr<Loop> m_loop;
};

// Fires its handler on the queue, again and again while it is resumed and its condition holds
// (level-triggered), until it is suspended or cancelled. Created suspended. Used only on its queue.
class DispatchSource {
public:
    enum class Kind {
        readable, // `identifier` is a descriptor the source does not own
        writable, // the same
        processExit, // `identifier` is the pid of a child; the source never reaps it
    };

    // Throws std::system_error when the queue cannot watch the identifier.
    DispatchSource(DispatchQueue& queue, Kind kind, int identifier, std::function<void()> handler,
        std::function<void()> cancelHandler = {});
    // Stops watching; closes only what the source opened itself and runs no cancel handler.
    ~DispatchSource();
    DispatchSource(const DispatchSource&) = delete;
    DispatchSource& operator=(const DispatchSource&) = delete;

    void resume();
    void suspend();
    // Stops the handler for good; the cancel handler then runs once, as work queued on the queue.
    void cancel();

    struct State;

private:
    std::shared_ptr<DispatchQueue::Loop> m_loop;
    std::shared_ptr<State> m_state;
};

}
