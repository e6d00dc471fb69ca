// The events `GitGuardWatch` reads, and the files it finds held open for writing, whose comparison waits
// for their writer's close, or is due once they have been held `comparisonInterval`.
#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "VellumarMacCore/Foundations/OpenForWriting.h"

#include <algorithm>
#include <array>
#include <sys/inotify.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // What ends a write at a name: its writer closed it, or what is there now is another file.
    constexpr std::uint32_t kWriteEnded
        = IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    // What leaves whole bytes at a name: a writer's close, a change of mode, a file brought there.
    constexpr std::uint32_t kMadeWhole = IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO;

}

int GitGuardWatch::millisecondsUntilDue() const
{
    using std::chrono::steady_clock;
    std::optional<steady_clock::time_point> due;
    if (!m_unwatched.empty())
        due = m_nextPeriodicComparison;
    bool heldWithoutWatch = false;
    for (const auto& [at, write] : m_writing) {
        heldWithoutWatch = heldWithoutWatch || at.first == kNoWatch;
        if (at.first != kNoWatch && !write.overdue && (!due || write.began + comparisonInterval < *due))
            due = write.began + comparisonInterval;
    }
    if (heldWithoutWatch && (!due || steady_clock::now() + kHeldRecheck < *due))
        due = steady_clock::now() + kHeldRecheck;
    if (!due)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - steady_clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, comparisonInterval.count()));
}

void GitGuardWatch::addDue(std::set<fs::path>& touched)
{
    const auto now = std::chrono::steady_clock::now();
    // Whatever events come meanwhile: a stream of them in other units must not hold these off.
    if (!m_unwatched.empty() && now >= m_nextPeriodicComparison) {
        touched.insert(m_unwatched.begin(), m_unwatched.end());
        m_nextPeriodicComparison = now + comparisonInterval;
    }
    // A writer holding a file open cannot keep it from being judged.
    for (auto write = m_writing.begin(); write != m_writing.end();) {
        auto& [at, held] = *write;
        if (at.first != kNoWatch) {
            if (!held.overdue && now >= held.began + comparisonInterval) {
                held.overdue = true;
                addUnitsOf(at, touched);
            }
        } else if (held.overdue) {
            // Overdue, and the comparison since did not look at it: gone from its name.
            write = m_writing.erase(write);
            continue;
        } else {
            touched.insert(held.unit);
            held.overdue = now >= held.began + comparisonInterval;
        }
        ++write;
    }
}

bool GitGuardWatch::readEvents(std::set<fs::path>& touched)
{
    alignas(inotify_event) std::array<char, 16 * 1024> buffer {};
    bool overflowed = false;
    ssize_t count = ::read(m_events.get(), buffer.data(), buffer.size());
    for (std::size_t offset = 0; count > 0 && offset + sizeof(inotify_event) <= std::size_t(count);) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
        offset += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
            overflowed = true;
            continue;
        }
        if (!m_watches.contains(event->wd))
            continue;
        // The name is padded with zeros to its length.
        const Registration at { event->wd, event->len > 0 ? std::string(event->name) : std::string() };
        ++m_ticks;
        if (auto folder = m_folderPaths.find(event->wd); !at.second.empty() && folder != m_folderPaths.end())
            m_newGitFolders.saw(event->wd, folder->second, at.second, event->mask);
        // A file's own watch, or an entry of a folder the configuration names.
        if (at.second.empty() ? m_files.contains(event->wd) : m_wholeFolders.contains(event->wd)) {
            if (event->mask & (IN_MODIFY | IN_CLOSE_WRITE))
                m_writtenDuringComparison.merge(pathsAt(at));
            if (event->mask & kMadeWhole) {
                for (const auto& path : pathsAt(at))
                    m_wholeAt.insert_or_assign(path, m_ticks);
            }
            // Its bytes may be cut short, as by a truncation before they are written again, until its
            // writer closes it; a file just made is empty until then.
            if (event->mask & IN_MODIFY) {
                m_writing.try_emplace(at, Write { std::chrono::steady_clock::now() });
                continue;
            }
            if ((event->mask & IN_CREATE) && !(event->mask & IN_ISDIR))
                m_writing.try_emplace(at, Write { std::chrono::steady_clock::now() });
            // Closed, or no longer at its name: what is there is judged now.
            if (event->mask & kWriteEnded)
                m_writing.erase(at);
        }
        addUnitsOf(at, touched);
        // The folder or file is gone: the comparison's new watches replace it.
        if (event->mask & IN_IGNORED)
            forgetWatch(event->wd);
    }
    // Events were lost: any unit may have changed.
    if (overflowed) {
        for (const auto& [key, watches] : m_unitWatches)
            touched.insert(key);
        for (const auto& [key, unit] : m_units)
            touched.insert(key);
    }
    return count > 0;
}

bool GitGuardWatch::isBeingWritten(const fs::path& path)
{
    // Asked before the queue is read: a writer done by then has its writes' events queued.
    const bool heldOpen = isOpenForWriting(path);
    readQueued();
    bool writing = false;
    for (const auto& [at, write] : m_writing) {
        if (at.first == kNoWatch || !pathsAt(at).contains(path))
            continue;
        if (write.overdue)
            return false;
        writing = true;
    }
    if (writing || m_writtenDuringComparison.contains(path))
        return true;
    // The kernel shows a truncation a moment before it queues the event, even a truncation at a file's
    // opening: bytes that no close or arrival read since the unit's comparison before this one accounts
    // for are being written, until their events come or `comparisonInterval` has passed. A file made in
    // place gets its watch, and so an arrival, before its writer has written: the kernel tells that one.
    if (auto whole = m_wholeAt.find(path);
        !heldOpen && whole != m_wholeAt.end() && whole->second > m_previousComparison)
        return false;
    const auto now = std::chrono::steady_clock::now();
    const Registration unwatched { kNoWatch, path.native() };
    auto held = m_writing.find(unwatched);
    if (auto at = watchOf(path)) {
        if (held != m_writing.end())
            m_writing.erase(held);
        m_writing.try_emplace(*at, Write { now });
        return true;
    }
    // No watch sees this file closed, as one made where nothing was noted: looked at again shortly.
    if (held != m_writing.end() && held->second.overdue) {
        m_writing.erase(held);
        return false;
    }
    if (!heldOpen) {
        if (held == m_writing.end())
            return false;
        // Let go since it was last found held, perhaps after these bytes were read: read again.
        m_pending.insert(std::move(held->second.unit));
        m_writing.erase(held);
        return true;
    }
    if (held == m_writing.end() && m_comparing)
        m_writing.emplace(unwatched, Write { now, false, *m_comparing });
    return true;
}

}
