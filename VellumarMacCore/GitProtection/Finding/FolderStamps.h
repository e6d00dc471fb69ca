// The stamps of a walk's folders, taken a batch at a time on a few threads that last as long as the
// walk: a walk of a large tree whose folders are unchanged spends most of its time in the kernel's
// look-ups of them, and a thread started for each batch would often start late on a busy machine, with
// the whole batch waiting for its share.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vellumar {

class FolderStamps {
public:
    struct Wanted {
        // Read until the batch is taken, or the stamps go.
        const std::string* folder;
        GitFolderListing::Link link;
    };

    FolderStamps() = default;
    // Waits for the threads, which leave a batch not taken unfinished.
    ~FolderStamps();
    FolderStamps(const FolderStamps&) = delete;
    FolderStamps& operator=(const FolderStamps&) = delete;

    // Has the threads take the stamps of `folders` (`GitFolderListing::stampOf`), while the caller
    // goes on; the batch started before must have been taken. The threads start with the first batch
    // large enough to be worth them.
    void start(std::vector<Wanted> folders);
    // The stamps of the batch started last, in its order, with the caller's thread taking a share. Never
    // throws but for memory.
    std::vector<std::optional<GitFolderListing::Stamp>> taken();

private:
    void takeShare();
    void serve();

    std::mutex m_lock;
    std::condition_variable m_started;
    std::condition_variable m_done;
    std::vector<Wanted> m_folders;
    std::vector<std::optional<GitFolderListing::Stamp>> m_stamps;
    std::atomic<std::size_t> m_next = 0;
    std::atomic<std::size_t> m_left = 0;
    std::atomic<bool> m_stopping = false;
    unsigned m_batch = 0;
    // Threads taking a share of the current batch; none touches the batch unless it counts here.
    unsigned m_sharing = 0;
    std::vector<std::jthread> m_threads;
};

}
