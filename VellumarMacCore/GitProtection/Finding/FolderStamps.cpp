#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"

#include <algorithm>
#include <system_error>

namespace vellumar {

namespace {

    // Fewer than this many are looked up on the caller's thread alone: a thread's start would cost more.
    constexpr std::size_t kSharedFrom = 256;
    constexpr unsigned kMostThreads = 4;
    // Claimed at once by a thread: few enough that a thread that starts late leaves its share to the
    // others, rather than the batch waiting for it.
    constexpr std::size_t kClaimed = 64;

}

FolderStamps::~FolderStamps()
{
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_started.notify_all();
    m_threads.clear();
}

void FolderStamps::start(std::vector<Wanted> folders)
{
    std::unique_lock lock(m_lock);
    // A thread that woke for the batch before once it was taken leaves it before it is replaced.
    m_done.wait(lock, [&] { return m_sharing == 0; });
    m_folders = std::move(folders);
    m_stamps.assign(m_folders.size(), std::nullopt);
    m_next = 0;
    m_left = m_folders.size();
    ++m_batch;
    if (m_threads.empty() && m_folders.size() >= kSharedFrom) {
        const unsigned helpers = std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads) - 1;
        try {
            while (m_threads.size() < helpers)
                m_threads.emplace_back([this] { serve(); });
        } catch (const std::system_error&) {
            // No more threads: those that started and the caller's take every batch.
        }
    }
    lock.unlock();
    m_started.notify_all();
}

std::vector<std::optional<GitFolderListing::Stamp>> FolderStamps::taken()
{
    takeShare();
    std::unique_lock lock(m_lock);
    m_done.wait(lock, [&] { return m_left == 0; });
    return std::move(m_stamps);
}

void FolderStamps::takeShare()
{
    const std::size_t count = m_folders.size();
    for (std::size_t first; !m_stopping && (first = m_next.fetch_add(kClaimed)) < count;) {
        const std::size_t end = std::min(count, first + kClaimed);
        for (std::size_t index = first; index < end; ++index)
            m_stamps[index] = GitFolderListing::stampOf(*m_folders[index].folder, m_folders[index].link);
        if (m_left.fetch_sub(end - first) == end - first) {
            // Under the lock, so that the caller cannot miss it between its look at what is left and
            // its wait.
            std::lock_guard lock(m_lock);
            m_done.notify_all();
        }
    }
}

void FolderStamps::serve()
{
    unsigned seen = 0;
    while (true) {
        {
            std::unique_lock lock(m_lock);
            m_started.wait(lock, [&] { return m_stopping || m_batch != seen; });
            if (m_stopping)
                return;
            seen = m_batch;
            ++m_sharing;
        }
        takeShare();
        {
            std::lock_guard lock(m_lock);
            --m_sharing;
        }
        m_done.notify_all();
    }
}

}
