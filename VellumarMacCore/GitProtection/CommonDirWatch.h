// Moves aside a "commondir" the moment a command writes it into a guarded Git folder, for the whole of
// a run: Git outside the sandbox may read the file at any time, not only between two commands.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/CommonDirGuard.h"

#include <filesystem>
#include <map>
#include <stop_token>
#include <thread>

namespace vellumar {

class CommonDirWatch {
public:
    // Watches each of the guard's folders that exists now with inotify, on a thread of its own that
    // calls `CommonDirGuard::moveAsideChangedIn` for each write at the name "commondir". The guard must
    // outlive the watch. Never throws: where inotify cannot be had, the guard's own checks remain.
    explicit CommonDirWatch(CommonDirGuard& guard);
    // Stops the thread and waits for it.
    ~CommonDirWatch();
    CommonDirWatch(const CommonDirWatch&) = delete;
    CommonDirWatch& operator=(const CommonDirWatch&) = delete;

    // How many folders are watched.
    std::size_t watchedCount() const noexcept { return m_folders.size(); }

private:
    void watch(std::stop_token stop);
    void handleEvents();

    CommonDirGuard& m_guard;
    FileDescriptor m_events; // inotify
    FileDescriptor m_wake; // an eventfd written when the watch stops
    std::map<int, std::filesystem::path> m_folders; // by watch descriptor; fixed once the thread runs
    std::jthread m_thread;
};

}
