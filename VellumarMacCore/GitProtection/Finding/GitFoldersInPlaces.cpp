#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <exception>
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

    // Goes through the Git folders inside each one given, each folder once by identity, so that links
    // cannot loop.
    class Linked {
    public:
        // The places as the kernel resolves them (`resolvedPlaces`), which must outlive it.
        explicit Linked(const Paths& places)
            : m_places(places)
        {
        }

        // `gitFolder` itself and what lies inside it, into `found`, unless it was met before.
        void add(const fs::path& gitFolder, std::vector<Found>& found)
        {
            auto identity = identityOf(gitFolder);
            if (!identity)
                return;
            found.push_back({ gitFolder, std::move(*identity) });
            addInside(gitFolder, found);
        }

    private:
        void addInside(const fs::path& gitFolder, std::vector<Found>& found)
        {
            // gitrepository-layout(5): Git takes any entry of "worktrees/" that a ".git" file names.
            forEachFolder(gitFolder / "worktrees", [&](const fs::path& entry) {
                if (GitFolders::isGitFolder(entry))
                    add(entry, found);
            });
            modules(gitFolder / "modules", found);
        }

        // A folder below "modules" with a HEAD is a submodule's Git folder; any other is one level of a
        // submodule's name with slashes.
        void modules(const fs::path& folder, std::vector<Found>& found)
        {
            forEachFolder(folder, [&](const fs::path& entry) {
                if (GitFolders::isGitFolder(entry))
                    add(entry, found);
                else if (identityOf(entry))
                    modules(entry, found);
            });
        }

        // Each folder in `folder`, resolved, that lies in a place.
        template <typename Visit> void forEachFolder(const fs::path& folder, Visit&& visit)
        {
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
                std::error_code typeError;
                if (!it->is_directory(typeError))
                    continue;
                auto resolved = resolvingSymlinks(it->path());
                if (resolved && isInPlace(*resolved))
                    visit(*resolved);
            }
        }

        // The folder's identity, the first time it is met.
        std::optional<std::string> identityOf(const fs::path& folder)
        {
            std::string identity = GitNotedFiles::noteFile(folder).content;
            if (identity.empty() || !m_met.insert(identity).second)
                return std::nullopt;
            return identity;
        }

        bool isInPlace(const fs::path& path) const
        {
            return std::any_of(m_places.begin(), m_places.end(),
                [&](const fs::path& place) { return isPathCoveredBy(path, place); });
        }

        const Paths& m_places;
        std::set<std::string> m_met;
    };

}

std::vector<Found> found(const Paths& places, const fs::path& dataFolder, const timespec& runBegan)
{
    try {
        auto entries = GitRepositorySearch::gitEntries(places,
            { .dataFolder = dataFolder,
                .budgetPerPlace = GitRepositorySearch::unbudgeted,
                .permissionBackSince = runBegan });
        // What lies inside each Git folder, read on a few threads, then each folder once by identity in
        // the order met: one reached from two Git folders is read twice, but a thousand repositories' are
        // read at once.
        const Paths resolved = resolvedPlaces(places);
        std::vector<std::vector<Found>> inside(entries.gitFolders.size());
        parallelEach(entries.gitFolders.size(),
            [&](std::size_t index) { Linked(resolved).add(entries.gitFolders[index], inside[index]); });
        std::vector<Found> found;
        std::set<std::string> met;
        for (auto& folders : inside) {
            for (auto& folder : folders) {
                if (met.insert(folder.identity).second)
                    found.push_back(std::move(folder));
            }
        }
        return found;
    } catch (const std::exception&) {
        // Out of memory: what the run's own units hold was compared all the same.
        return {};
    }
}

Paths linkedGitFolders(const fs::path& gitFolder, const Paths& places)
{
    std::vector<Found> found;
    const Paths resolved = resolvedPlaces(places);
    Linked(resolved).add(gitFolder, found);
    Paths folders;
    for (std::size_t index = 1; index < found.size(); ++index)
        folders.push_back(std::move(found[index].gitFolder));
    return folders;
}

}
