#include "VellumarMacCore/GitProtection/CommonDirWatch.h"

#include "Platform/Log.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // Every way a file can come to be at a name, or be rewritten there.
    constexpr std::uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY | IN_ONLYDIR;

}

CommonDirWatch::CommonDirWatch(CommonDirGuard& guard)
    : m_guard(guard)
    , m_events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_events.get() < 0 || m_wake.get() < 0) {
        platform::logError(std::string("A run's Git folders cannot be watched (") + std::strerror(errno)
            + "); a \"commondir\" a command writes is moved aside only after each command.");
        return;
    }
    try {
        for (auto& folder : guard.watchedFolders()) {
            int descriptor = ::inotify_add_watch(m_events.get(), folder.c_str(), kEvents);
            if (descriptor >= 0)
                m_folders.emplace(descriptor, std::move(folder));
        }
        if (!m_folders.empty())
            m_thread = std::jthread([this](std::stop_token stop) { watch(std::move(stop)); });
    } catch (const std::exception&) {
        // No thread: the guard's checks after each command and at the run's end remain.
    }
}

CommonDirWatch::~CommonDirWatch()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

void CommonDirWatch::watch(std::stop_token stop)
{
    std::stop_callback wake(stop, [this] {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_wake.get(), &one, sizeof one);
    });
    while (!stop.stop_requested()) {
        std::array<pollfd, 2> watched { { { m_events.get(), POLLIN, 0 }, { m_wake.get(), POLLIN, 0 } } };
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0)
            return;
        if (watched[0].revents & POLLIN)
            handleEvents();
    }
}

void CommonDirWatch::handleEvents()
{
    try {
        alignas(inotify_event) std::array<char, 16 * 1024> buffer {};
        std::set<fs::path> written;
        bool overflowed = false;
        // One read at a time, so that a stream of events cannot hold off the moves.
        ssize_t count = ::read(m_events.get(), buffer.data(), buffer.size());
        for (std::size_t offset = 0; count > 0 && offset + sizeof(inotify_event) <= std::size_t(count);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += sizeof(inotify_event) + event->len;
            auto folder = m_folders.find(event->wd);
            if (event->mask & IN_Q_OVERFLOW)
                overflowed = true;
            else if (folder != m_folders.end() && event->len > 0
                && std::strcmp(event->name, "commondir") == 0)
                written.insert(folder->second);
        }
        // Events were lost: every folder may hold one.
        if (overflowed)
            m_guard.moveAsideChanged();
        for (const auto& folder : written)
            m_guard.moveAsideChangedIn(folder);
    } catch (const std::exception&) {
        // Out of memory: the next event or check tries again.
    }
}

}
