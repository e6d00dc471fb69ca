// Tells when the machine's network changed (links, IPv4 or IPv6 addresses), as a path monitor does:
// the kernel's route notifications, or a poll of the interface list where they cannot be had.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace vellumar::platform {

class NetworkPath {
public:
    using Update = std::function<void()>;

    struct Options {
        // Notifications that follow each other within this time are told as one update.
        std::chrono::milliseconds coalesce { 100 };
        // How often the interface list is compared when the kernel's notifications cannot be had.
        std::chrono::milliseconds pollInterval { 5000 };
        // Off only to use the poll where the notifications would work.
        bool kernelNotifications = true;
    };

    // Starts a thread named "vellumar.path" that calls `update` once at once and then once per change
    // (a burst of changes counts once). `update` runs on that thread and must not throw; it may be
    // called for a change that left the addresses as they were. Starting the thread is the only
    // failure, and it throws std::system_error.
    explicit NetworkPath(Update update, Options options);
    explicit NetworkPath(Update update)
        : NetworkPath(std::move(update), Options {})
    {
    }
    // Stops and joins the thread; no update runs after it returns.
    ~NetworkPath();
    NetworkPath(const NetworkPath&) = delete;
    NetworkPath& operator=(const NetworkPath&) = delete;

    // Whether the kernel's notifications are used rather than the poll.
    bool followsKernel() const noexcept;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}
