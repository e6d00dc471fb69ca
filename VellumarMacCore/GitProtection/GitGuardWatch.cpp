#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "Platform/Log.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace vellumar {

namespace {

    // Every way a file can come to be at a name, be rewritten, made executable or replaced there, and
    // the folder itself moved or removed (a new one then needs a watch of its own).
    constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB
        | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    // A file written through any of its names, or through a link that leads to it.
    constexpr std::uint32_t kFileEvents
        = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

}

GitGuardWatch::GitGuardWatch(GitGuard& guard, MovedAsideHandler onMovedAside)
    : m_guard(guard)
    , m_onMovedAside(std::move(onMovedAside))
    , m_events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_wake.get() < 0) {
        platform::logError(std::string("A run's Git folders cannot be watched (") + std::strerror(errno)
            + "); what changes there is compared after each command and at the run's end only.");
        return;
    }
    try {
        int firstError = m_events.get() < 0 ? errno : 0;
        for (std::size_t unit = 0; unit < guard.unitCount(); ++unit) {
            if (m_events.get() < 0) {
                m_unwatched.insert(unit);
                continue;
            }
            int error = watchUnit(unit);
            firstError = firstError != 0 ? firstError : error;
        }
        m_startCount = m_targets.size();
        m_startUnwatched = m_unwatched.size();
        if (!m_unwatched.empty())
            platform::logError(std::to_string(m_unwatched.size())
                + " of a run's Git folders cannot be watched (" + std::strerror(firstError)
                + "); they are compared every " + std::to_string(comparisonInterval.count())
                + " ms instead.");
        m_thread = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
    } catch (const std::exception&) {
        // No thread: the guard's comparisons after each command and at the run's end remain.
    }
}

GitGuardWatch::~GitGuardWatch()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

int GitGuardWatch::watchUnit(std::size_t unit)
{
    GitGuard::Watched watched = m_guard.watched(unit);
    int firstError = 0;
    auto add
        = [&](const std::filesystem::path& path, std::uint32_t events, const std::set<std::string>& names) {
              int descriptor = ::inotify_add_watch(m_events.get(), path.c_str(), events);
              if (descriptor >= 0) {
                  Target& target = m_targets[descriptor];
                  target.units.insert(unit);
                  target.names.insert(names.begin(), names.end());
                  return;
              }
              // What is not there is seen arriving by its folder's watch.
              if (errno == ENOENT || errno == ENOTDIR)
                  return;
              firstError = firstError != 0 ? firstError : errno;
              m_unwatched.insert(unit);
          };
    for (const auto& folder : watched.folders)
        add(folder, kFolderEvents, watched.names);
    for (const auto& file : watched.files)
        add(file, kFileEvents, {});
    return firstError;
}

void GitGuardWatch::run(std::stop_token stop)
{
    std::stop_callback wake(stop, [this] {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_wake.get(), &one, sizeof one);
    });
    while (!stop.stop_requested()) {
        std::array<pollfd, 2> watched { { { m_events.get(), POLLIN, 0 }, { m_wake.get(), POLLIN, 0 } } };
        int timeout = m_unwatched.empty() ? -1 : static_cast<int>(comparisonInterval.count());
        int ready = ::poll(watched.data(), watched.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0)
            return;
        if (watched[0].revents & POLLIN)
            handleEvents();
        if (ready == 0) {
            try {
                compareAndWatch(std::set<std::size_t>(m_unwatched.begin(), m_unwatched.end()));
            } catch (const std::exception&) {
                // Out of memory: the next interval tries again.
            }
        }
    }
}

void GitGuardWatch::handleEvents()
{
    try {
        alignas(inotify_event) std::array<char, 16 * 1024> buffer {};
        std::set<std::size_t> touched;
        bool overflowed = false;
        // One read at a time, so that a stream of events cannot hold off the comparisons.
        ssize_t count = ::read(m_events.get(), buffer.data(), buffer.size());
        for (std::size_t offset = 0; count > 0 && offset + sizeof(inotify_event) <= std::size_t(count);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                overflowed = true;
                continue;
            }
            auto target = m_targets.find(event->wd);
            if (target == m_targets.end())
                continue;
            const bool named = event->len > 0;
            if (!named || target->second.names.contains(event->name))
                touched.insert(target->second.units.begin(), target->second.units.end());
            // The folder or file is gone: the comparison's new watches replace it.
            if (event->mask & IN_IGNORED)
                m_targets.erase(target);
        }
        // Events were lost: any unit may have changed.
        if (overflowed) {
            for (std::size_t unit = 0; unit < m_guard.unitCount(); ++unit)
                touched.insert(unit);
        }
        compareAndWatch(touched);
    } catch (const std::exception&) {
        // Out of memory: the next event or comparison tries again.
    }
}

void GitGuardWatch::compareAndWatch(const std::set<std::size_t>& units)
{
    for (std::size_t unit : units) {
        // A new hooks folder or file, or one put back, is a new inode to watch; watched before the
        // comparison, so that nothing written in between goes unseen.
        m_unwatched.erase(unit);
        if (m_events.get() >= 0)
            watchUnit(unit);
        else
            m_unwatched.insert(unit);
        auto moved = m_guard.compare(unit);
        if (!moved.empty() && m_onMovedAside)
            m_onMovedAside(moved);
    }
}

}
