// Has the guard compare a Git folder the moment something there changes, for the whole of a run: Git
// outside the sandbox may run a hook or read a configuration at any time, not only between two
// commands.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vellumar {

class GitGuardWatch {
public:
    // Given what one comparison moved aside (`GitGuard::compare`'s paths), on the thread that compared.
    using MovedAsideHandler = std::function<void(const std::vector<std::filesystem::path>&)>;

    // How often the units whose watch cannot be set are compared instead.
    static constexpr std::chrono::milliseconds comparisonInterval { 2000 };

    struct Options {
        // The run's writable places: every folder from each down to what a unit notes is watched for
        // the name on the way, so that a folder renamed or swapped anywhere there shows at once.
        std::vector<std::filesystem::path> places;
        // The most inotify watches the watch takes; past it, units are compared every
        // `comparisonInterval`. By default a half of the user's limit, which other programs share.
        std::size_t watchBudget = defaultWatchBudget();
        // Told what each comparison moves aside, the watch's own and `compareAll`'s; it must not block
        // for long.
        MovedAsideHandler onMovedAside = {};
    };

    // Watches what each of the guard's units notes (`GitGuard::watched`) with inotify, and compares a
    // unit on its own thread at each change there; a unit whose watch cannot be set (no inotify, or
    // past the budget) is compared every `comparisonInterval` instead, with one log line, and a queue
    // that overflowed has every unit compared. The guard must outlive the watch. Never throws.
    GitGuardWatch(GitGuard& guard, Options options);
    // Stops the thread and waits for it; logs how many older moved-aside files were removed, if any.
    ~GitGuardWatch();
    GitGuardWatch(const GitGuardWatch&) = delete;
    GitGuardWatch& operator=(const GitGuardWatch&) = delete;

    // Whether its thread runs: otherwise only the caller's own comparisons are left.
    bool running() const noexcept { return m_thread.joinable(); }
    // How many folders and files are watched when the watch starts.
    std::size_t watchedCount() const noexcept { return m_startCount; }
    // How many units are compared every `comparisonInterval` when the watch starts.
    std::size_t unwatchedCount() const noexcept { return m_startUnwatched; }

    // Compares every unit now (`GitGuard::compareAll`), as after each command where the thread does not
    // run, and tells `onMovedAside` what went aside. Call
    // it only where the thread does not run or after `finish`. Never throws.
    void compareAll();
    // For the run's end: stops the thread, then compares every unit once more, since what changed just
    // before, where no watch could be set, waits for no interval. Never throws.
    void finish();

    // A half of /proc/sys/fs/inotify/max_user_watches (8192 where it cannot be read).
    static std::size_t defaultWatchBudget();

private:
    // One inotify watch: the units that an event at each name in a folder concerns; under the empty
    // name, every unit that watches it, which the folder's or file's own events concern.
    using Target = std::map<std::string, std::set<std::size_t>>;
    using Registration = std::pair<int, std::string>;

    // Sets the unit's watches as what it notes is now, and lets go of those it no longer needs. A unit
    // some of whose watches cannot be set goes to `m_unwatched`. Returns the error of the first that
    // could not be set, or 0.
    int watchUnit(std::size_t unit);
    // The watch of `path`, or -1 with `errno` set; counted against the budget.
    int addWatch(const std::filesystem::path& path, std::uint32_t events);
    void release(const Registration& registration, std::size_t unit);
    // Every folder from the place holding `folder` down to it, each with the name below it on the way.
    void addWayDown(const std::filesystem::path& folder,
        std::map<std::filesystem::path, std::set<std::string>>& folders) const;
    void run(std::stop_token stop);
    // Reads one batch of events and compares the units they touch.
    void handleEvents();
    void compareAndWatch(const std::set<std::size_t>& units);
    // Tells `onMovedAside`.
    void tookAside(const std::vector<std::filesystem::path>& moved);
    void stop();

    GitGuard& m_guard;
    std::vector<std::filesystem::path> m_places; // resolved
    std::size_t m_watchBudget;
    const MovedAsideHandler m_onMovedAside;
    FileDescriptor m_events; // inotify
    FileDescriptor m_wake; // an eventfd written when the watch stops
    // Touched only by the thread once it runs.
    std::map<int, Target> m_targets;
    std::map<std::size_t, std::set<Registration>> m_registrations;
    std::set<std::size_t> m_unwatched;
    std::size_t m_startCount = 0;
    std::size_t m_startUnwatched = 0;
    std::jthread m_thread;
};

}
