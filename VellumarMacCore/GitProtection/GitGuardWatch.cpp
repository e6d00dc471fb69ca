#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // A name coming, going or renamed, and the folder itself moved or removed (a new one then needs a
    // watch of its own). Not every write there: appending to a file at a work tree's top must cost
    // nothing. No link is followed to a folder outside the way down.
    constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
        | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
    // A file written through any of its names, or through a link that leads to it.
    constexpr std::uint32_t kFileEvents
        = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

    // The key, among a folder's names, of the units every name there concerns (a folder Git's
    // configuration names): no file's name holds a slash.
    constexpr std::string_view kEveryName = "/";

    // Whether `path` lies below `folder` or is it, name by name.
    bool isWithin(const fs::path& path, const fs::path& folder)
    {
        return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first == folder.end();
    }

    std::vector<fs::path> resolvedPlaces(const std::vector<fs::path>& places)
    {
        std::vector<fs::path> resolved;
        for (const auto& place : places) {
            if (auto path = resolvingSymlinks(place))
                resolved.push_back(std::move(*path));
        }
        return resolved;
    }

}

GitGuardWatch::GitGuardWatch(GitGuard& guard, Options options)
    : m_guard(guard)
    , m_watchBudget(options.watchBudget)
    , m_onMovedAside(std::move(options.onMovedAside))
    , m_events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_wake.get() < 0) {
        platform::logError(std::string("A run's Git folders cannot be watched (") + std::strerror(errno)
            + "); what changes there is compared after each command and at the run's end only.");
        return;
    }
    try {
        m_places = resolvedPlaces(options.places);
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

GitGuardWatch::~GitGuardWatch() { stop(); }

std::size_t GitGuardWatch::defaultWatchBudget()
{
    std::size_t limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> limit;
    return (limit > 0 ? limit : 8192) / 2;
}

void GitGuardWatch::stop()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

void GitGuardWatch::finish()
{
    stop();
    compareAll();
}

void GitGuardWatch::compareAll() { tookAside(m_guard.compareAll()); }

void GitGuardWatch::tookAside(const std::vector<fs::path>& moved)
{
    if (!moved.empty() && m_onMovedAside)
        m_onMovedAside(moved);
}

void GitGuardWatch::addWayDown(
    const fs::path& folder, std::map<fs::path, std::set<std::string>>& folders) const
{
    auto place = std::find_if(m_places.begin(), m_places.end(),
        [&](const fs::path& candidate) { return isWithin(folder, candidate); });
    if (place == m_places.end())
        return;
    fs::path above = *place;
    for (auto name = std::next(folder.begin(), std::distance(place->begin(), place->end()));
         name != folder.end(); ++name) {
        folders[above].insert(name->string());
        above /= *name;
    }
}

int GitGuardWatch::addWatch(const fs::path& path, std::uint32_t events)
{
    int descriptor = ::inotify_add_watch(m_events.get(), path.c_str(), events);
    if (descriptor < 0 || m_targets.contains(descriptor))
        return descriptor;
    if (m_targets.size() >= m_watchBudget) {
        ::inotify_rm_watch(m_events.get(), descriptor);
        errno = ENOSPC;
        return -1;
    }
    // Counted at once; the caller registers the unit there.
    m_targets.try_emplace(descriptor);
    return descriptor;
}

int GitGuardWatch::watchUnit(std::size_t unit)
{
    GitGuard::Watched watched = m_guard.watched(unit);
    std::map<fs::path, std::set<std::string>> folders = watched.folders;
    for (const auto& [folder, names] : watched.folders)
        addWayDown(folder, folders);
    std::set<Registration> registered;
    int firstError = 0;
    auto add = [&](const fs::path& path, std::uint32_t events, const std::set<std::string>& names,
                   bool everyName = false) {
        int descriptor = addWatch(path, events);
        if (descriptor >= 0) {
            registered.emplace(descriptor, std::string());
            for (const auto& name : names)
                registered.emplace(descriptor, name);
            if (everyName)
                registered.emplace(descriptor, std::string(kEveryName));
            return;
        }
        // What is not there is seen arriving by its folder's watch.
        if (errno == ENOENT || errno == ENOTDIR)
            return;
        firstError = firstError != 0 ? firstError : errno;
    };
    for (const auto& [folder, names] : folders)
        add(folder, kFolderEvents, names);
    for (const auto& file : watched.files) {
        // A folder watched with a file's events would report every write inside it.
        struct stat status { };
        if (::stat(file.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
            add(file, kFileEvents, {});
    }
    for (const auto& folder : watched.wholeFolders)
        add(folder, kFolderEvents, {}, true);
    for (const auto& [descriptor, name] : registered)
        m_targets[descriptor][name].insert(unit);
    auto& current = m_registrations[unit];
    for (const auto& registration : current) {
        if (!registered.contains(registration))
            release(registration, unit);
    }
    current = std::move(registered);
    if (firstError != 0)
        m_unwatched.insert(unit);
    return firstError;
}

void GitGuardWatch::release(const Registration& registration, std::size_t unit)
{
    auto target = m_targets.find(registration.first);
    if (target == m_targets.end())
        return;
    auto units = target->second.find(registration.second);
    if (units != target->second.end() && units->second.erase(unit) > 0 && units->second.empty())
        target->second.erase(units);
    if (target->second.empty()) {
        ::inotify_rm_watch(m_events.get(), target->first);
        m_targets.erase(target);
    }
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
            // The name is padded with zeros to its length.
            const std::string name = event->len > 0 ? std::string(event->name) : std::string();
            for (const auto& key : { name, std::string(name.empty() ? "" : kEveryName) }) {
                auto units = target->second.find(key);
                if (units != target->second.end())
                    touched.insert(units->second.begin(), units->second.end());
            }
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
        // A folder swapped in, a new hooks folder or file, or one put back, is a new inode to watch;
        // watched before the comparison, so that nothing written in between goes unseen, and what the
        // comparison puts back shows by its own events.
        m_unwatched.erase(unit);
        if (m_events.get() >= 0)
            watchUnit(unit);
        else
            m_unwatched.insert(unit);
        tookAside(m_guard.compare(unit));
    }
}

}
