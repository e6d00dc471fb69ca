// The inotify watches of `GitGuardWatch`: set on what each unit notes and on the way down to it, and
// which units an event at each of their names concerns.
#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <sys/inotify.h>
#include <sys/stat.h>

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

    // The key, among a folder's names, of the units every name there concerns (a folder Git's
    // configuration names): no file's name holds a slash.
    constexpr std::string_view kEveryName = "/";
    // The key of the units each of Git's hook names in the folder concerns (their "hooks").
    constexpr std::string_view kHookNames = "/hooks";
    // The name under which `NewGitFolderWatch` is concerned with a folder it watches.
    constexpr std::string_view kNewGitFolders = "//";

    // The place whose way down to `folder` is watched: the first that holds it.
    std::optional<fs::path> placeHolding(const fs::path& folder, const std::vector<fs::path>& places)
    {
        auto place = std::find_if(places.begin(), places.end(),
            [&](const fs::path& candidate) { return isStandardizedPathInside(folder, candidate); });
        return place != places.end() ? std::optional(*place) : std::nullopt;
    }

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
        m_folderPaths.insert_or_assign(descriptor, path.native());
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

void GitGuardWatch::addConcerned(const Registration& at, std::set<fs::path>& touched) const
{
    for (auto concern = m_concerns.lower_bound({ at, nullptr });
         concern != m_concerns.end() && concern->first == at; ++concern)
        touched.insert(*concern->second);
}

void GitGuardWatch::addUnitsWriting(
    const Registration& at, const Write& write, std::set<fs::path>& touched) const
{
    if (at.first == kNoWatch)
        touched.insert(write.unit);
    else
        addUnitsOf(at, touched);
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

}
