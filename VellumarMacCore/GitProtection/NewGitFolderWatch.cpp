#include "VellumarMacCore/GitProtection/NewGitFolderWatch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/Foundations/OpenForWriting.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/FileIdentity.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <system_error>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // A name coming: a folder made or moved in, or what makes a folder a Git folder.
    constexpr std::uint32_t kMade = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;
    // In a new Git folder and its hooks, also a file written in place.
    constexpr std::uint32_t kWritten = kMade | IN_CLOSE_WRITE;

    // What Git reads in a Git folder to run something, and the folders that hold other Git folders.
    constexpr std::string_view kJudgedNames[] = { "hooks", "config", "config.worktree", "commondir" };
    constexpr std::string_view kHolders[] = { "worktrees", "modules" };

    bool isOneOf(std::string_view name, const auto& names)
    {
        return std::find(std::begin(names), std::end(names), name) != std::end(names);
    }

}

NewGitFolderWatch::NewGitFolderWatch(GitGuard& guard, Watches watches)
    : m_guard(&guard)
    , m_watches(std::move(watches))
{
}

void NewGitFolderWatch::start(const std::vector<fs::path>& places, const std::vector<fs::path>& gitFolders)
{
    m_places = places;
    m_seen.clear();
    for (const auto& place : m_places)
        watch(place, Kind::plain);
    // Looked up on a few threads, then watched in order: a thousand Git folders cost a look-up for each
    // holder, and most have none.
    constexpr std::size_t holderCount = std::size(kHolders);
    std::vector<std::array<bool, holderCount>> held(gitFolders.size());
    parallelEach(gitFolders.size(), [&](std::size_t index) {
        for (std::size_t holder = 0; holder < holderCount; ++holder) {
            std::error_code error;
            held[index][holder] = fs::is_directory(gitFolders[index] / kHolders[holder], error);
        }
    });
    for (std::size_t index = 0; index < gitFolders.size(); ++index) {
        for (std::size_t holder = 0; holder < holderCount; ++holder) {
            if (held[index][holder])
                watch(gitFolders[index] / kHolders[holder], Kind::holder);
        }
    }
}

void NewGitFolderWatch::saw(int descriptor, const fs::path& folder, std::string_view name, std::uint32_t mask)
{
    auto kind = m_kinds.find(descriptor);
    const bool made = mask & (IN_CREATE | IN_MOVED_TO);
    bool matters = false;
    if (kind != m_kinds.end() && kind->second == Kind::hooks)
        matters = WhatGitRuns::isHookName(name);
    else if (kind != m_kinds.end() && kind->second == Kind::gitFolder)
        matters = isOneOf(name, kJudgedNames) || isOneOf(name, kHolders);
    else
        matters = made && ((mask & IN_ISDIR) || name == ".git" || GitFolderDefinition::isDefiningName(name));
    // A file just made here and still held by its writer may be read cut short; its close, which these
    // folders are watched for, tells when it is whole.
    const bool closeWatched
        = kind != m_kinds.end() && (kind->second == Kind::hooks || kind->second == Kind::gitFolder);
    if (matters && closeWatched && (mask & IN_CREATE) && !(mask & IN_ISDIR)
        && isOpenForWriting(folder / name))
        return;
    // What the guard itself moved aside is told by its identity when judged (`MovedAsideByGuard`), not
    // by a name a command can give any folder.
    if (matters)
        m_seen.push_back({ descriptor, folder, std::string(name), mask });
}

std::vector<GitGuard::MovedChange> NewGitFolderWatch::judgeSeen()
{
    m_taken.clear();
    m_toJudge.clear();
    for (const auto& seen : std::exchange(m_seen, {}))
        classify(seen);
    while (!m_toTake.empty()) {
        auto [folder, kind, again] = std::move(m_toTake.front());
        m_toTake.pop_front();
        take(folder, kind, again);
    }
    std::vector<GitFoldersInPlaces::Found> found;
    for (auto& [path, folder] : m_toJudge)
        found.push_back(std::move(folder));
    return found.empty() ? std::vector<GitGuard::MovedChange> {} : m_guard->judge(found);
}

void NewGitFolderWatch::classify(const Seen& seen)
{
    auto at = m_kinds.find(seen.descriptor);
    const std::optional<Kind> kind = at != m_kinds.end() ? std::optional(at->second) : std::nullopt;
    const fs::path path = seen.folder / seen.name;
    const bool folderMade = (seen.mask & IN_ISDIR) && (seen.mask & (IN_CREATE | IN_MOVED_TO));
    // Moved in whole, perhaps from a folder watched here: gone through again, whatever was watched.
    const bool again = seen.mask & IN_MOVED_TO;
    if (kind == Kind::hooks) {
        auto gitFolder = m_hooksOf.find(seen.descriptor);
        auto known = gitFolder != m_hooksOf.end() ? m_gitFolders.find(gitFolder->second) : m_gitFolders.end();
        if (known != m_gitFolders.end())
            m_toJudge.insert_or_assign(known->second.gitFolder, known->second);
        return;
    }
    if (kind == Kind::gitFolder) {
        auto known = m_gitFolders.find(seen.descriptor);
        if (folderMade && isOneOf(seen.name, kHolders))
            m_toTake.emplace_back(path, Kind::holder, again);
        else if (known != m_gitFolders.end())
            m_toJudge.insert_or_assign(known->second.gitFolder, known->second);
        if (folderMade && seen.name == "hooks" && known != m_gitFolders.end())
            if (int hooks = watch(path, Kind::hooks); hooks >= 0)
                m_hooksOf.insert_or_assign(hooks, seen.descriptor);
        return;
    }
    // Below a Git folder only the folders holding other Git folders are looked at: the rest is what Git
    // keeps there. One that may yet become a Git folder counts: Git's own test fails on a HEAD made
    // empty until it is written, which only the watch of a Git folder's writes shows.
    if (GitFolderDefinition::mayBeGitFolder(seen.folder)) {
        if (kind)
            found(seen.folder);
        else if (folderMade && isOneOf(seen.name, kHolders))
            m_toTake.emplace_back(path, Kind::holder, again);
        return;
    }
    // What a Git folder keeps, but the folders that hold other Git folders.
    if (kind == Kind::dotGit
        || (GitFolderDefinition::mayBeGitFolder(seen.folder.parent_path())
            && !(kind == Kind::holder && isOneOf(seen.folder.filename().native(), kHolders))))
        return;
    if (seen.name == ".git")
        takeDotGit(path, again);
    else if (folderMade)
        m_toTake.emplace_back(path, kind == Kind::holder ? Kind::holder : Kind::plain, again);
}

void NewGitFolderWatch::take(const fs::path& folder, Kind kind, bool again)
{
    if (!inPlace(folder))
        return;
    // Watched before what it holds is read, so that nothing made in between goes unseen; one watched
    // here since it was gone through shows what is made in it by its own events.
    bool watchedBefore = false;
    const int descriptor = watch(folder, kind, &watchedBefore);
    if (descriptor >= 0 && !m_taken.insert(descriptor).second)
        return;
    if (GitFolderDefinition::mayBeGitFolder(folder)) {
        found(folder);
        return;
    }
    if (kind == Kind::dotGit || (watchedBefore && !again))
        return;
    auto listing = GitFolderListing::read(folder.native(), {});
    if (!listing)
        return;
    if (kind == Kind::plain && listing->dotGitType != DT_UNKNOWN)
        takeDotGit(folder / ".git", again);
    for (const auto& name : listing->subfolders)
        m_toTake.emplace_back(folder / name, kind, again);
}

void NewGitFolderWatch::takeDotGit(const fs::path& dotGit, bool again)
{
    std::error_code error;
    auto type = fs::symlink_status(dotGit, error).type();
    if (type == fs::file_type::directory) {
        m_toTake.emplace_back(dotGit, Kind::dotGit, again);
        return;
    }
    // A ".git" file or link: the Git folder it names, where that lies in a place.
    if (auto location = GitFolders::located(dotGit.parent_path()))
        found(location->gitFolder);
}

void NewGitFolderWatch::found(const fs::path& gitFolder)
{
    if (!inPlace(gitFolder) || m_watches.isUnit(gitFolder))
        return;
    std::string identity = FileIdentity::at(gitFolder);
    if (identity.empty())
        return;
    GitFoldersInPlaces::Found folder { gitFolder, std::move(identity) };
    // Watched before it is judged, so that nothing written in between goes unseen.
    if (int descriptor = watch(gitFolder, Kind::gitFolder); descriptor >= 0) {
        m_gitFolders.insert_or_assign(descriptor, folder);
        std::error_code error;
        if (fs::is_directory(fs::symlink_status(gitFolder / "hooks", error)))
            if (int hooks = watch(gitFolder / "hooks", Kind::hooks); hooks >= 0)
                m_hooksOf.insert_or_assign(hooks, descriptor);
    }
    std::error_code error;
    for (auto holder : kHolders) {
        if (fs::is_directory(fs::symlink_status(gitFolder / holder, error)))
            m_toTake.emplace_back(gitFolder / holder, Kind::holder, true);
    }
    m_toJudge.insert_or_assign(gitFolder, std::move(folder));
}

bool NewGitFolderWatch::inPlace(const fs::path& path) const { return isPathCoveredByAny(path, m_places); }

int NewGitFolderWatch::watch(const fs::path& folder, Kind kind, bool* watchedBefore)
{
    if (m_budgetSpent)
        return -1;
    const std::uint32_t events = kind == Kind::gitFolder || kind == Kind::hooks ? kWritten : kMade;
    int descriptor = m_watches.add(folder, events);
    // A command cannot hide what it makes by taking its own permission to read it.
    if (descriptor < 0 && errno == EACCES) {
        FileDescriptor opened(::open(folder.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (opened.get() >= 0 && BeneathPlaces::ownerMayAct(opened.get(), folder))
            descriptor = m_watches.add(folder, events);
    }
    if (descriptor < 0) {
        if (errno == ENOSPC) {
            m_budgetSpent = true;
            platform::logError("The watch of a run's Git folders has spent its budget: folders made from "
                               "now on are not watched for new Git folders, which the run's end judges all "
                               "the same.");
        }
        return descriptor;
    }
    auto [at, added] = m_kinds.try_emplace(descriptor, kind);
    if (watchedBefore)
        *watchedBefore = !added;
    // A folder that becomes a Git folder, or its hooks, stays so; the others take the latest word.
    if (!added && at->second != Kind::gitFolder && at->second != Kind::hooks)
        at->second = kind;
    return descriptor;
}

void NewGitFolderWatch::forget(int descriptor)
{
    m_kinds.erase(descriptor);
    m_gitFolders.erase(descriptor);
    m_hooksOf.erase(descriptor);
}

void NewGitFolderWatch::releaseAll()
{
    std::vector<int> descriptors;
    for (const auto& [descriptor, kind] : m_kinds)
        descriptors.push_back(descriptor);
    for (int descriptor : descriptors)
        m_watches.release(descriptor);
    m_kinds.clear();
    m_gitFolders.clear();
    m_hooksOf.clear();
    m_seen.clear();
}

}
