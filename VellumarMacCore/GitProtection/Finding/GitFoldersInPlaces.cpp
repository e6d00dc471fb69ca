#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/FileIdentity.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

namespace vellumar::GitFoldersInPlaces {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    Paths resolvedPlaces(const Paths& places)
    {
        Paths resolved;
        for (const auto& place : places) {
            if (auto path = resolvingSymlinks(place))
                resolved.push_back(std::move(*path));
        }
        return resolved;
    }

    // The identities of the folders met, shared by the threads that go through Git folders at once.
    class Met {
    public:
        // Whether it is met here for the first time.
        bool first(const std::string& identity)
        {
            std::lock_guard lock(m_lock);
            return m_identities.insert(identity).second;
        }

    private:
        std::mutex m_lock;
        std::set<std::string> m_identities;
    };

    // Goes through the Git folders inside each one given, each folder once by identity, so that links
    // cannot loop and a folder that links lead to from many others is read once.
    class Linked {
    public:
        // The places as the kernel resolves them (`resolvedPlaces`); all must outlive it. What lies past
        // `bound` goes into `unlisted`.
        Linked(const Paths& places, Met& met, const GitRepositorySearch::ListingBound& bound, Paths& unlisted)
            : m_places(places)
            , m_met(met)
            , m_bound(bound)
            , m_unlisted(unlisted)
        {
        }

        // `gitFolder` itself and what lies inside it, into `found`, unless it was met before.
        void add(const fs::path& gitFolder, std::vector<Found>& found)
        {
            auto identity = identityOf(gitFolder);
            if (!identity)
                return;
            found.push_back({ gitFolder, std::move(*identity) });
            addCommonFolder(gitFolder, found);
            GitFolders::walkLinkedFolders(
                gitFolder, [&](const std::optional<GitFolders::LinkedEntry>& entry) {
                    // gitrepository-layout(5): Git takes any entry of "worktrees/" that a ".git" file names.
                    if (!entry || !isInPlace(entry->folder) || (entry->isWorktree && !entry->isGitFolder))
                        return GitFolders::WalkStep::passOver;
                    auto met = identityOf(entry->folder);
                    if (!met)
                        return GitFolders::WalkStep::passOver;
                    // Commands can make as many submodule folders as folders anywhere else.
                    if (m_bound.leavesUnlisted(entry->folder)) {
                        m_unlisted.push_back(entry->folder);
                        return GitFolders::WalkStep::passOver;
                    }
                    if (entry->isGitFolder) {
                        found.push_back({ entry->folder, std::move(*met) });
                        addCommonFolder(entry->folder, found);
                    }
                    return GitFolders::WalkStep::enter;
                });
        }

    private:
        // Git runs the hooks and reads the configuration of the folder the "commondir" of `gitFolder`
        // names, which need be no Git folder of its own.
        void addCommonFolder(const fs::path& gitFolder, std::vector<Found>& found)
        {
            if (auto location = GitFolders::locatedGitFolder(gitFolder);
                location && isInPlace(location->commonFolder))
                add(location->commonFolder, found);
        }

        // The folder's identity, the first time it is met.
        std::optional<std::string> identityOf(const fs::path& folder)
        {
            std::string identity = FileIdentity::at(folder);
            if (identity.empty() || !m_met.first(identity))
                return std::nullopt;
            return identity;
        }

        bool isInPlace(const fs::path& path) const { return isPathCoveredByAny(path, m_places); }

        const Paths& m_places;
        Met& m_met;
        const GitRepositorySearch::ListingBound& m_bound;
        Paths& m_unlisted;
    };

}

void (*listingSeam)() = nullptr;

InPlaces found(const Paths& places, const fs::path& dataFolder, const timespec& runBegan,
    const GitRepositorySearch::ListingBound& bound)
{
    if (listingSeam)
        listingSeam();
    auto entries = GitRepositorySearch::gitEntries(places,
        { .dataFolder = dataFolder,
            .budgetPerPlace = GitRepositorySearch::unbudgeted,
            .permissionBackSince = runBegan,
            .listingBound = bound,
            .outOfMemory = GitRepositorySearch::Options::OutOfMemory::thrown });
    // What lies inside a thousand repositories' Git folders is read on a few threads, each folder by the
    // first that meets it.
    const Paths resolved = resolvedPlaces(places);
    Met met;
    std::vector<std::vector<Found>> inside(entries.gitFolders.size());
    std::vector<Paths> unlistedInside(entries.gitFolders.size());
    parallelEach(entries.gitFolders.size(), [&](std::size_t index) {
        Linked(resolved, met, bound, unlistedInside[index]).add(entries.gitFolders[index], inside[index]);
    });
    for (auto& unlisted : unlistedInside)
        std::ranges::move(unlisted, std::back_inserter(entries.unlisted));
    std::vector<Found> found;
    for (auto& folders : inside)
        std::ranges::move(folders, std::back_inserter(found));
    std::map<fs::path, Found*> byGitFolder;
    for (auto& folder : found)
        byGitFolder.emplace(folder.gitFolder, &folder);
    std::vector<Found> outside;
    for (const auto& gitFile : entries.gitFiles) {
        auto location = GitFolders::located(gitFile.parent_path());
        if (!location || !location->gitFile)
            continue;
        if (auto named = byGitFolder.find(location->gitFolder); named != byGitFolder.end())
            named->second->gitFiles.push_back(gitFile);
        else if (!isPathCoveredByAny(location->gitFolder, resolved))
            outside.push_back(
                { location->gitFolder, FileIdentity::at(location->gitFolder), { gitFile }, true });
    }
    // One for each Git folder, with every ".git" file that sends Git there.
    std::ranges::sort(outside, {}, &Found::gitFolder);
    for (auto& folder : outside) {
        if (!found.empty() && found.back().liesOutside && found.back().gitFolder == folder.gitFolder)
            found.back().gitFiles.push_back(folder.gitFiles.front());
        else
            found.push_back(std::move(folder));
    }
    return { std::move(found), std::move(entries.unlisted) };
}

Paths linkedGitFolders(const fs::path& gitFolder, const Paths& places)
{
    std::vector<Found> found;
    const Paths resolved = resolvedPlaces(places);
    Met met;
    Paths unlisted;
    Linked(resolved, met, {}, unlisted).add(gitFolder, found);
    Paths folders;
    for (std::size_t index = 1; index < found.size(); ++index)
        folders.push_back(std::move(found[index].gitFolder));
    return folders;
}

}
