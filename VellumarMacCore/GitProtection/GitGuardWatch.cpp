#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <charconv>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    std::vector<fs::path> resolvedPlaces(const std::vector<fs::path>& places)
    {
        std::vector<fs::path> resolved;
        for (const auto& place : places) {
            if (auto path = resolvingSymlinks(place))
                resolved.push_back(std::move(*path));
        }
        return resolved;
    }

    // The one watch the program keeps between runs.
    struct KeptWatch {
        std::mutex lock;
        std::unique_ptr<GitGuardWatch> watch;
    };

    // Never destroyed: the kept watch lets go of the guard's registry as it goes, which the program's
    // exit may have destroyed before it.
    KeptWatch& keptWatch()
    {
        static KeptWatch* shared = new KeptWatch;
        return *shared;
    }

}

GitGuardWatch::GitGuardWatch(GitGuard& guard, Options options)
    : GitGuardWatch(guard, std::move(options), nullptr)
{
}

GitGuardWatch::GitGuardWatch(GitGuard& guard, Options options, std::unique_ptr<GitGuardWatch> kept)
    : m_guard(&guard)
    , m_watchBudget(options.watchBudget)
    , m_onMovedAside(std::move(options.onMovedAside))
    , m_poll(std::move(options.poll))
    , m_events(kept ? std::move(kept->m_events) : FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , m_newGitFolders(guard, newFolderWatches())
{
    if (m_wake.get() < 0) {
        platform::logError(std::string("A run's Git folders cannot be watched (") + std::strerror(errno)
            + "); what changes there is compared after each command and at the run's end only.");
        return;
    }
    try {
        if (kept) {
            m_watches = std::move(kept->m_watches);
            m_concerns = std::move(kept->m_concerns);
            m_folderPaths = std::move(kept->m_folderPaths);
            m_files = std::move(kept->m_files);
            m_wholeFolders = std::move(kept->m_wholeFolders);
            m_wholeAt = std::move(kept->m_wholeAt);
            m_comparedFrom = std::move(kept->m_comparedFrom);
            m_ticks = kept->m_ticks;
            m_writing = std::move(kept->m_writing);
            m_unitWatches = std::move(kept->m_unitWatches);
            m_kept = std::exchange(kept->m_kept, {});
            m_changed = std::move(kept->m_changed);
        }
        m_places = resolvedPlaces(options.places);
        for (std::size_t unit = 0; unit < guard.unitCount(); ++unit)
            m_units.emplace(guard.unitKey(unit), unit);
        int firstError = watchUnits();
        releaseKeptOnly(false);
        // The run's own units come before what is kept for later runs.
        if (firstError == ENOSPC && !m_kept.empty()) {
            releaseKeptOnly(true);
            std::set<fs::path> retried = std::exchange(m_unwatched, {});
            for (const auto& key : retried)
                watchUnit(key);
        }
        m_changed.clear();
        std::vector<fs::path> gitFolders;
        for (const auto& [key, unit] : m_units) {
            if (key.is_absolute())
                gitFolders.push_back(key);
        }
        if (m_events.get() >= 0)
            m_newGitFolders.start(m_places, gitFolders);
        m_startCount = m_watches.size();
        m_startUnwatched = m_unwatched.size();
        if (!m_unwatched.empty())
            platform::logError(std::to_string(m_unwatched.size())
                + " of a run's Git folders cannot be watched (" + std::strerror(firstError)
                + "); they are compared every " + std::to_string(comparisonInterval.count())
                + " ms instead.");
        m_nextPeriodicComparison = std::chrono::steady_clock::now() + comparisonInterval;
        m_thread = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
    } catch (const std::exception&) {
        // No thread: the guard's comparisons after each command and at the run's end remain.
    }
}

GitGuardWatch::~GitGuardWatch()
{
    stop();
    try {
        std::vector<fs::path> kept;
        for (const auto& [key, runs] : m_kept)
            kept.push_back(key);
        GitGuard::forgetKept(kept);
    } catch (const std::exception&) {
        // Out of memory: what stays kept is only memory, never taken without this watch's word.
    }
}

std::size_t GitGuardWatch::defaultWatchBudget()
{
    std::size_t limit = 0;
    const std::string text = BoundedFile::start("/proc/sys/fs/inotify/max_user_watches", 32);
    std::from_chars(text.data(), text.data() + text.size(), limit);
    return (limit > 0 ? limit : 8192) / 2;
}

void GitGuardWatch::keep(std::unique_ptr<GitGuardWatch> watch, const fs::path& liveRuns)
{
    // A run that did not end through `finish` may leave a command's change uncompared, which the next
    // run would take for the user's.
    if (!watch || !watch->m_guard || !watch->m_finished)
        return;
    try {
        watch->stop();
        if (watch->m_events.get() < 0)
            return;
        std::vector<std::size_t> newlyKept;
        std::vector<fs::path> unkept;
        for (const auto& [key, unit] : watch->m_units) {
            // Only a noted unit the watch looked at without a break is vouched for later.
            if (!key.is_absolute() || watch->m_unwatched.contains(key)
                || !watch->m_unitWatches.contains(key)) {
                watch->releaseUnit(key);
                if (watch->m_kept.erase(key) > 0)
                    unkept.push_back(key);
                continue;
            }
            auto [held, added] = watch->m_kept.insert_or_assign(key, 0);
            if (added)
                newlyKept.push_back(unit);
        }
        watch->m_newGitFolders.releaseAll();
        watch->m_guard->keepNoted(newlyKept);
        GitGuard::forgetKept(unkept);
        watch->m_guard = nullptr;
        watch->m_units.clear();
        // No unit of a kept watch is compared again until a run takes it.
        std::erase_if(watch->m_writing, [](const auto& write) { return write.first.first == kNoWatch; });
        watch->m_onMovedAside = {};
        watch->m_liveRuns = liveRuns;
        KeptWatch& shared = keptWatch();
        std::unique_ptr<GitGuardWatch> earlier;
        {
            std::lock_guard lock(shared.lock);
            earlier = std::exchange(shared.watch, std::move(watch));
        }
    } catch (const std::exception&) {
        // Out of memory: the watch goes, and the next run notes everything.
    }
}

std::unique_ptr<GitGuardWatch> GitGuardWatch::takeKept(const fs::path& liveRuns)
{
    KeptWatch& shared = keptWatch();
    std::lock_guard lock(shared.lock);
    if (!shared.watch || shared.watch->m_liveRuns != liveRuns)
        return nullptr;
    return std::move(shared.watch);
}

std::set<fs::path> GitGuardWatch::unchangedSinceKept()
{
    std::set<fs::path> unchanged;
    try {
        std::set<fs::path> touched;
        while (readEvents(touched)) { }
        // A write begun and not closed yet is a change too.
        for (const auto& [at, write] : m_writing)
            addUnitsWriting(at, write, touched);
        m_changed.merge(touched);
        for (const auto& [key, runs] : m_kept) {
            if (!m_changed.contains(key))
                unchanged.insert(key);
        }
    } catch (const std::exception&) {
        // Out of memory: every unit is noted again.
        unchanged.clear();
    }
    return unchanged;
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
    const bool threadRan = m_thread.joinable();
    stop();
    if (m_guard)
        m_guard->endBegins();
    if (threadRan && !m_failed && !m_eventsDropped)
        compareLeftOver();
    else
        compareAll();
    if (m_guard)
        tookAside(m_guard->sweep());
    m_finished = true;
}

void GitGuardWatch::compareLeftOver()
{
    try {
        // Every change made in what the units note shows as an event, a write through a mapping too (its
        // file's last close), and the run's processes are gone: what the queue holds now is all that
        // changed since the thread's last comparisons.
        std::set<fs::path> touched = std::exchange(m_pending, {});
        while (readEvents(touched)) { }
        for (const auto& [at, write] : m_writing)
            addUnitsWriting(at, write, touched);
        touched.insert(m_unwatched.begin(), m_unwatched.end());
        for (auto& key : m_guard->comparedAgainAtTheEnd())
            touched.insert(std::move(key));
        compareAndWatch(touched, false);
        // Read while comparing, and never compared: the watch's next run notes them again.
        m_changed.merge(m_pending);
    } catch (const std::exception&) {
        compareAll();
    }
}

void GitGuardWatch::compareAll()
{
    if (m_guard)
        tookAside(m_guard->compareAll());
}

void GitGuardWatch::tookAside(const std::vector<GitGuard::MovedChange>& moved)
{
    if (!moved.empty() && m_onMovedAside)
        m_onMovedAside(moved);
}

void GitGuardWatch::run(std::stop_token stop)
{
    std::stop_callback wake(stop, [this] {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_wake.get(), &one, sizeof one);
    });
    while (!stop.stop_requested()) {
        std::array<pollfd, 2> watched { { { m_events.get(), POLLIN, 0 }, { m_wake.get(), POLLIN, 0 } } };
        int ready = m_poll(watched.data(), watched.size(),
            m_pending.empty() && !m_newGitFolders.hasSeen() ? millisecondsUntilDue() : 0);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            m_failed = true;
            platform::logError(std::string("The watch of a run's Git folders stopped (")
                + std::strerror(error)
                + "); what changes there is compared after each command and at the run's end only.");
            return;
        }
        if (watched[1].revents != 0)
            return;
        try {
            std::set<fs::path> touched = std::exchange(m_pending, {});
            // One read at a time, so that a stream of events cannot hold off the comparisons.
            if (watched[0].revents & POLLIN)
                readEvents(touched);
            addDue(touched);
            compareAndWatch(touched, true);
            tookAside(m_newGitFolders.judgeSeen());
        } catch (const std::exception&) {
            // Out of memory: the next event or interval tries again, and the run's end compares every
            // unit, since what these events touched is lost.
            m_eventsDropped = true;
        }
    }
}

void GitGuardWatch::compareAndWatch(const std::set<fs::path>& touched, bool whileWritten)
{
    for (const auto& key : touched) {
        auto unit = m_units.find(key);
        if (unit == m_units.end()) {
            m_changed.insert(key);
            continue;
        }
        // A folder swapped in, a new hooks folder or file, or one put back, is a new inode to watch;
        // watched before the comparison, so that nothing written in between goes unseen, and what the
        // comparison puts back shows by its own events.
        m_unwatched.erase(key);
        if (m_events.get() >= 0)
            watchUnit(key);
        else
            m_unwatched.insert(key);
        // What was written before the comparison began is in the events read before it.
        readQueued();
        m_writtenDuringComparison.clear();
        m_previousComparison = std::exchange(m_comparedFrom[key], ++m_ticks);
        m_comparing = &unit->first;
        tookAside(m_guard->compare(unit->second,
            whileWritten ? [this](const fs::path& path) { return isBeingWritten(path); }
                         : std::function<bool(const fs::path&)>()));
        m_comparing = nullptr;
    }
}

void GitGuardWatch::readQueued()
{
    // Bounded, so that a stream of events cannot hold a comparison up; what is left is read next.
    constexpr int kBatches = 16;
    for (int batch = 0; batch < kBatches && readEvents(m_pending); ++batch) { }
}

std::optional<GitGuardWatch::Registration> GitGuardWatch::watchOf(const fs::path& path) const
{
    for (const auto& [descriptor, paths] : m_files) {
        if (paths.contains(path))
            return Registration { descriptor, std::string() };
    }
    for (const auto& [descriptor, folders] : m_wholeFolders) {
        if (folders.contains(path.parent_path()))
            return Registration { descriptor, path.filename().string() };
    }
    return std::nullopt;
}

}
