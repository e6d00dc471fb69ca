// Has the guard compare a Git folder the moment something there changes, for the whole of a run: Git
// outside the sandbox may run a hook or read a configuration at any time, not only between two
// commands.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace vellumar {

class GitGuardWatch {
public:
    // Given what one comparison moved aside, on the watch's thread.
    using MovedAsideHandler = std::function<void(const std::vector<std::filesystem::path>&)>;

    // How often the units whose watch cannot be set are compared instead.
    static constexpr std::chrono::milliseconds comparisonInterval { 2000 };

    // Watches what each of the guard's units notes (`GitGuard::watched`) with inotify, and compares a
    // unit on its own thread at each change there; a unit whose watch cannot be set (no inotify, or
    // past the user's watch limit) is compared every `comparisonInterval` instead, with one log line,
    // and a queue that overflowed has every unit compared. What a comparison moved aside goes to
    // `onMovedAside`, which must not block for long. The guard must outlive the watch. Never throws.
    explicit GitGuardWatch(GitGuard& guard, MovedAsideHandler onMovedAside = {});
    // Stops the thread and waits for it.
    ~GitGuardWatch();
    GitGuardWatch(const GitGuardWatch&) = delete;
    GitGuardWatch& operator=(const GitGuardWatch&) = delete;

    // Whether its thread runs: otherwise only the caller's own comparisons are left.
    bool running() const noexcept { return m_thread.joinable(); }
    // How many folders and files are watched when the watch starts.
    std::size_t watchedCount() const noexcept { return m_startCount; }
    // How many units are compared every `comparisonInterval` when the watch starts.
    std::size_t unwatchedCount() const noexcept { return m_startUnwatched; }

private:
    struct Target {
        std::set<std::size_t> units;
        // What matters in a folder; empty for a file, where every event does.
        std::set<std::string> names;
    };

    // Adds the unit's watches; a unit some of whose watches cannot be set goes to `m_unwatched`.
    // Returns the error of the first that could not be set, or 0.
    int watchUnit(std::size_t unit);
    void run(std::stop_token stop);
    // Reads one batch of events and compares the units they touch.
    void handleEvents();
    void compareAndWatch(const std::set<std::size_t>& units);

    GitGuard& m_guard;
    const MovedAsideHandler m_onMovedAside;
    FileDescriptor m_events; // inotify
    FileDescriptor m_wake; // an eventfd written when the watch stops
    // Touched only by the thread once it runs.
    std::map<int, Target> m_targets;
    std::set<std::size_t> m_unwatched;
    std::size_t m_startCount = 0;
    std::size_t m_startUnwatched = 0;
    std::jthread m_thread;
};

}
