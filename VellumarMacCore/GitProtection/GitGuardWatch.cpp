#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/OpenForWriting.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
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
    // In a folder Git's configuration names, also each write there by name: a file made again or put
    // back is a new inode, which no file watch is on before its writer begins.
    constexpr std::uint32_t kWholeFolderEvents = kFolderEvents | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
    // What ends a write at a name: its writer closed it, or what is there now is another file.
    constexpr std::uint32_t kWriteEnded
        = IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    // What leaves whole bytes at a name: a writer's close, a change of mode, a file brought there.
    constexpr std::uint32_t kMadeWhole = IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO;

    // The key, among a folder's names, of the units every name there concerns (a folder Git's
    // configuration names): no file's name holds a slash.
    constexpr std::string_view kEveryName = "/";
    // The key of the units each of Git's hook names in the folder concerns (their "hooks").
    constexpr std::string_view kHookNames = "/hooks";
    // The name under which `NewGitFolderWatch` is concerned with a folder it watches.
    constexpr std::string_view kNewGitFolders = "//";

    std::vector<fs::path> resolvedPlaces(const std::vector<fs::path>& places)
    {
        std::vector<fs::path> resolved;
        for (const auto& place : places) {
            if (auto path = resolvingSymlinks(place))
                resolved.push_back(std::move(*path));
        }
        return resolved;
    }

    // The place whose way down to `folder` is watched: the first that holds it.
    std::optional<fs::path> placeHolding(const fs::path& folder, const std::vector<fs::path>& places)
    {
        auto place = std::find_if(places.begin(), places.end(),
            [&](const fs::path& candidate) { return isStandardizedPathInside(folder, candidate); });
        return place != places.end() ? std::optional(*place) : std::nullopt;
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
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> limit;
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
        watch->m_heldWithoutWatch.clear();
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
            addUnitsOf(at, touched);
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
            addUnitsOf(at, touched);
        for (const auto& [path, held] : m_heldWithoutWatch)
            touched.insert(held.unit);
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

NewGitFolderWatch::Watches GitGuardWatch::newFolderWatches()
{
    // Concerned as no unit is, so that a unit letting go of the folder leaves its watch set.
    static const fs::path newGitFolders;
    return { .add =
                 [this](const fs::path& folder, std::uint32_t events) {
                     int descriptor = addWatch(folder, events);
                     if (descriptor >= 0)
                         m_concerns.insert({ { descriptor, std::string(kNewGitFolders) }, &newGitFolders });
                     return descriptor;
                 },
        .release =
            [this](int descriptor) {
                if (m_watches.contains(descriptor))
                    release({ descriptor, std::string(kNewGitFolders) }, &newGitFolders);
            },
        .isUnit = [this](const fs::path& gitFolder) { return m_units.contains(gitFolder); } };
}

void GitGuardWatch::tookAside(const std::vector<GitGuard::MovedChange>& moved)
{
    if (!moved.empty() && m_onMovedAside)
        m_onMovedAside(moved);
}

std::optional<fs::path> GitGuardWatch::addWayDown(
    const fs::path& folder, std::map<fs::path, std::set<std::string>>& folders) const
{
    auto place = placeHolding(folder, m_places);
    if (!place)
        return place;
    fs::path above = *place;
    for (auto name = std::next(folder.begin(), std::distance(place->begin(), place->end()));
         name != folder.end(); ++name) {
        folders[above].insert(name->string());
        above /= *name;
    }
    return place;
}

bool GitGuardWatch::leadsDownAlike(const fs::path& key) const
{
    auto unit = m_unitWatches.find(key);
    return unit != m_unitWatches.end()
        && std::all_of(unit->second.waysDown.begin(), unit->second.waysDown.end(), [&](const WayDown& way) {
               auto place = placeHolding(way.first, m_places);
               return place ? way.second == place->native() : !way.second;
           });
}

int GitGuardWatch::addWatch(const fs::path& path, std::uint32_t events)
{
    // Added to what the inode is watched for already: a folder named by the configuration of one unit
    // may lie on another's way down.
    int descriptor = ::inotify_add_watch(m_events.get(), path.c_str(), events | IN_MASK_ADD);
    if (descriptor < 0)
        return descriptor;
    if (!m_watches.contains(descriptor)) {
        if (m_watches.size() >= m_watchBudget) {
            ::inotify_rm_watch(m_events.get(), descriptor);
            errno = ENOSPC;
            return -1;
        }
        // Counted at once; the caller registers the unit there.
        m_watches.insert(descriptor);
    }
    // Where the folder is now, renamed or not, for the names that come in it.
    if (events & IN_ONLYDIR)
        m_folderPaths.insert_or_assign(descriptor, path);
    return descriptor;
}

int GitGuardWatch::watchUnits()
{
    int firstError = m_events.get() < 0 ? errno : 0;
    for (const auto& [key, unit] : m_units) {
        if (m_events.get() < 0) {
            m_unwatched.insert(key);
            continue;
        }
        if (m_guard->takenAsKept(unit) && !m_changed.contains(key) && m_unitWatches.contains(key)
            && leadsDownAlike(key))
            continue;
        int error = watchUnit(key);
        firstError = firstError != 0 ? firstError : error;
    }
    return firstError;
}

void GitGuardWatch::releaseKeptOnly(bool all)
{
    std::vector<fs::path> released;
    for (auto kept = m_kept.begin(); kept != m_kept.end();) {
        if (m_units.contains(kept->first)) {
            kept->second = 0;
            ++kept;
            continue;
        }
        if (!all && !m_changed.contains(kept->first) && ++kept->second <= keptRuns) {
            ++kept;
            continue;
        }
        releaseUnit(kept->first);
        released.push_back(kept->first);
        kept = m_kept.erase(kept);
    }
    GitGuard::forgetKept(released);
}

int GitGuardWatch::watchUnit(const fs::path& key)
{
    GitGuard::Watched watched = m_guard->watched(m_units.at(key));
    std::map<fs::path, std::set<std::string>> folders = watched.folders;
    // Made first: the unit's concerns point at its key here. Until its watches are set, as where memory
    // runs out midway, it is compared periodically and not vouched for.
    auto& [interned, current] = *m_unitWatches.try_emplace(key).first;
    m_unwatched.insert(key);
    current.waysDown.clear();
    for (const auto& [folder, names] : watched.folders) {
        auto place = addWayDown(folder, folders);
        current.waysDown.emplace_back(folder.native(), place ? std::optional(place->native()) : std::nullopt);
    }
    std::vector<Registration> registered;
    int firstError = 0;
    auto add = [&](const fs::path& path, std::uint32_t events, const std::set<std::string>& names) {
        int descriptor = addWatch(path, events);
        if (descriptor >= 0) {
            registered.emplace_back(descriptor, std::string());
            for (const auto& name : names)
                registered.emplace_back(descriptor, name);
            return descriptor;
        }
        // What is not there is seen arriving by its folder's watch.
        if (errno != ENOENT && errno != ENOTDIR)
            firstError = firstError != 0 ? firstError : errno;
        return descriptor;
    };
    for (const auto& [folder, names] : folders) {
        int descriptor = add(folder, kFolderEvents, names);
        if (descriptor >= 0
            && std::find(watched.hookFolders.begin(), watched.hookFolders.end(), folder)
                != watched.hookFolders.end())
            registered.emplace_back(descriptor, std::string(kHookNames));
    }
    for (const auto& file : watched.files) {
        // A folder watched with a file's events would report every write inside it.
        struct stat status { };
        if (::stat(file.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
            const std::size_t known = m_watches.size();
            if (int descriptor = add(file, kFileEvents, {}); descriptor >= 0) {
                m_files[descriptor].insert(file);
                // Another file than before, brought there whole: whatever changes it from now on shows.
                if (m_watches.size() > known)
                    m_wholeAt.insert_or_assign(file, ++m_ticks);
            }
        }
    }
    for (const auto& folder : watched.wholeFolders) {
        if (int descriptor = add(folder, kWholeFolderEvents, {}); descriptor >= 0) {
            registered.emplace_back(descriptor, std::string(kEveryName));
            m_wholeFolders[descriptor].insert(folder);
        }
    }
    std::sort(registered.begin(), registered.end());
    registered.erase(std::unique(registered.begin(), registered.end()), registered.end());
    // Listed before they are made, so that the unit's release finds each concern pointing at its key
    // even where memory runs out midway.
    std::vector<Registration> listed;
    std::set_union(current.registrations.begin(), current.registrations.end(), registered.begin(),
        registered.end(), std::back_inserter(listed));
    std::vector<Registration> before = std::exchange(current.registrations, std::move(listed));
    for (const auto& registration : registered)
        m_concerns.emplace(registration, &interned);
    for (const auto& registration : before) {
        if (!std::binary_search(registered.begin(), registered.end(), registration))
            release(registration, &interned);
    }
    current.registrations = std::move(registered);
    if (firstError == 0)
        m_unwatched.erase(key);
    return firstError;
}

void GitGuardWatch::release(const Registration& registration, const fs::path* unit)
{
    const int descriptor = registration.first;
    if (!m_watches.contains(descriptor) || m_concerns.erase({ registration, unit }) == 0)
        return;
    auto concernedAt = [&](const Registration& at) {
        auto first = m_concerns.lower_bound({ at, nullptr });
        return first != m_concerns.end() && first->first.first == descriptor
            && (at.second.empty() || first->first.second == at.second);
    };
    if (registration.second == kEveryName && !concernedAt(registration))
        m_wholeFolders.erase(descriptor);
    if (!concernedAt({ descriptor, std::string() })) {
        ::inotify_rm_watch(m_events.get(), descriptor);
        forgetWatch(descriptor);
    }
}

void GitGuardWatch::forgetWatch(int descriptor)
{
    m_watches.erase(descriptor);
    m_concerns.erase(m_concerns.lower_bound({ { descriptor, std::string() }, nullptr }),
        m_concerns.lower_bound({ { descriptor + 1, std::string() }, nullptr }));
    m_folderPaths.erase(descriptor);
    m_newGitFolders.forget(descriptor);
    m_files.erase(descriptor);
    m_wholeFolders.erase(descriptor);
    std::erase_if(m_writing, [&](const auto& write) { return write.first.first == descriptor; });
}

void GitGuardWatch::releaseUnit(const fs::path& key)
{
    if (auto unit = m_unitWatches.find(key); unit != m_unitWatches.end()) {
        for (const auto& registration : unit->second.registrations)
            release(registration, &unit->first);
        m_unitWatches.erase(unit);
    }
    m_unwatched.erase(key);
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

int GitGuardWatch::millisecondsUntilDue() const
{
    using std::chrono::steady_clock;
    std::optional<steady_clock::time_point> due;
    if (!m_unwatched.empty())
        due = m_nextPeriodicComparison;
    for (const auto& [at, write] : m_writing) {
        if (!write.overdue && (!due || write.began + comparisonInterval < *due))
            due = write.began + comparisonInterval;
    }
    if (!m_heldWithoutWatch.empty() && (!due || steady_clock::now() + kHeldRecheck < *due))
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
    for (auto& [at, write] : m_writing) {
        if (!write.overdue && now >= write.began + comparisonInterval) {
            write.overdue = true;
            addUnitsOf(at, touched);
        }
    }
    for (auto held = m_heldWithoutWatch.begin(); held != m_heldWithoutWatch.end();) {
        // Overdue, and the comparison since did not look at it: gone from its name.
        if (held->second.overdue) {
            held = m_heldWithoutWatch.erase(held);
            continue;
        }
        touched.insert(held->second.unit);
        held->second.overdue = now >= held->second.began + comparisonInterval;
        ++held;
    }
}

void GitGuardWatch::addConcerned(const Registration& at, std::set<fs::path>& touched) const
{
    for (auto concern = m_concerns.lower_bound({ at, nullptr });
         concern != m_concerns.end() && concern->first == at; ++concern)
        touched.insert(*concern->second);
}

void GitGuardWatch::addUnitsOf(const Registration& at, std::set<fs::path>& touched) const
{
    addConcerned(at, touched);
    if (at.second.empty())
        return;
    addConcerned({ at.first, std::string(kEveryName) }, touched);
    if (WhatGitRuns::isHookName(at.second))
        addConcerned({ at.first, std::string(kHookNames) }, touched);
}

std::set<fs::path> GitGuardWatch::pathsAt(const Registration& at) const
{
    if (at.second.empty()) {
        auto file = m_files.find(at.first);
        return file != m_files.end() ? file->second : std::set<fs::path> {};
    }
    std::set<fs::path> paths;
    if (auto folders = m_wholeFolders.find(at.first); folders != m_wholeFolders.end()) {
        for (const auto& folder : folders->second)
            paths.insert(folder / at.second);
    }
    return paths;
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

bool GitGuardWatch::isBeingWritten(const fs::path& path)
{
    // Asked before the queue is read: a writer done by then has its writes' events queued.
    const bool heldOpen = isOpenForWriting(path);
    readQueued();
    bool writing = false;
    for (const auto& [at, write] : m_writing) {
        if (!pathsAt(at).contains(path))
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
    auto held = m_heldWithoutWatch.find(path);
    if (auto at = watchOf(path)) {
        if (held != m_heldWithoutWatch.end())
            m_heldWithoutWatch.erase(held);
        m_writing.try_emplace(*at, Write { now });
        return true;
    }
    // No watch sees this file closed, as one made where nothing was noted: looked at again shortly.
    if (held != m_heldWithoutWatch.end() && held->second.overdue) {
        m_heldWithoutWatch.erase(held);
        return false;
    }
    if (!heldOpen) {
        if (held == m_heldWithoutWatch.end())
            return false;
        // Let go since it was last found held, perhaps after these bytes were read: read again.
        m_pending.insert(std::move(held->second.unit));
        m_heldWithoutWatch.erase(held);
        return true;
    }
    if (held == m_heldWithoutWatch.end() && m_comparing)
        m_heldWithoutWatch.emplace(path, HeldWithoutWatch { now, *m_comparing });
    return true;
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
