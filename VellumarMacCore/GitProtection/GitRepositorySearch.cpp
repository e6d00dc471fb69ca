#include "VellumarMacCore/GitProtection/GitRepositorySearch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/GitProtection/GitFolderListing.h"
#include "VellumarMacCore/GitProtection/GitFolderRecord.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
#include "VellumarMacCore/GitProtection/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <deque>
#include <dirent.h>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace vellumar::GitRepositorySearch {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;
    using GitFolders::isGitFolder;

    // The Git folder that the ".git" file in `folder` names; absent when there is no such file or it
    // names none.
    std::optional<fs::path> namedGitFolder(const fs::path& folder)
    {
        auto location = GitFolders::located(folder);
        if (!location || !location->gitFile)
            return std::nullopt;
        return std::move(location->gitFolder);
    }

    // Whether a folder above `gitFolder` is a Git folder: a linked worktree's or a submodule's, which
    // its repository's own protection covers.
    bool liesInGitFolder(const fs::path& gitFolder)
    {
        for (fs::path folder = gitFolder.parent_path(); folder != folder.parent_path();
             folder = folder.parent_path()) {
            if (isGitFolder(folder))
                return true;
        }
        return false;
    }

    class Search {
    public:
        Search(const Paths& places, const Options& options)
            : m_places(places)
            , m_options(options)
        {
        }

        GitEntries run()
        {
            for (const auto& place : m_places) {
                m_placeRepositories.clear();
                GitFolderRecord::Record record = GitFolderRecord::recorded(m_options.dataFolder, place);
                for (auto& repository : record.repositories)
                    addRecorded(std::move(repository));
                std::deque<fs::path> left(record.unwalked.begin(), record.unwalked.end());
                if (left.empty())
                    left.push_back(place);
                walk(place, left);
                GitFolderRecord::record(m_options.dataFolder, place,
                    { .repositories = m_placeRepositories, .unwalked = Paths(left.begin(), left.end()) });
            }
            std::sort(m_found.gitFiles.begin(), m_found.gitFiles.end());
            return std::move(m_found);
        }

    private:
        void addRecorded(Repository repository)
        {
            if (!isGitFolder(repository.gitFolder))
                return;
            if (repository.workTree) {
                std::error_code error;
                fs::path dotGit = *repository.workTree / ".git";
                auto type = fs::symlink_status(dotGit, error).type();
                if (type == fs::file_type::regular && namedGitFolder(*repository.workTree))
                    addGitFile(dotGit);
                else if (type == fs::file_type::not_found)
                    repository.workTree.reset();
            }
            addRepository(std::move(repository));
        }

        void addRepository(Repository repository)
        {
            auto [at, added]
                = m_indexByGitFolder.try_emplace(repository.gitFolder, m_found.repositories.size());
            if (!added) {
                auto& known = m_found.repositories[at->second];
                if (!known.workTree)
                    known.workTree = std::move(repository.workTree);
                return;
            }
            m_placeRepositories.push_back(repository);
            m_found.repositories.push_back(std::move(repository));
        }

        void addGitFile(const fs::path& gitFile)
        {
            if (m_gitFiles.insert(gitFile).second)
                m_found.gitFiles.push_back(gitFile);
        }

        void addDotGit(const fs::path& place, const fs::path& folder, unsigned char type)
        {
            fs::path dotGit = folder / ".git";
            if (type == DT_DIR || type == DT_LNK) {
                if (isGitFolder(dotGit))
                    addRepository({ dotGit, folder });
                return;
            }
            if (type != DT_REG)
                return;
            auto target = namedGitFolder(folder);
            if (!target)
                return;
            addGitFile(dotGit);
            auto resolvedPlace = resolvingSymlinks(place);
            if (resolvedPlace && isPathCoveredBy(*target, *resolvedPlace) && !liesInGitFolder(*target))
                addRepository({ *target, folder });
        }

        // Walks from the folders in `left`, breadth first so that when the walk stops early what it
        // missed lies deepest, and leaves there what it did not reach.
        void walk(const fs::path& place, std::deque<fs::path>& left)
        {
            const auto deadline = m_options.clock() + m_options.budgetPerPlace;
            std::size_t walked = 0;
            while (!left.empty() && (walked == 0 || m_options.clock() < deadline)) {
                fs::path folder = std::move(left.front());
                left.pop_front();
                // A record names folders of its own place only.
                if (folder != place && !isPathInside(folder, place))
                    continue;
                ++walked;
                Paths subfolders;
                Paths bareFolders;
                std::size_t bareEntries = 0;
                // A place may be a link; below it, a folder swapped for one since it was listed is
                // not entered.
                using GitFolderListing::Link;
                for (const auto& [name, type] :
                    GitFolderListing::entries(folder, folder == place ? Link::follow : Link::refuse)) {
                    bool isBareEntry
                        = std::find(m_bareEntries.begin(), m_bareEntries.end(), name) != m_bareEntries.end();
                    bareEntries += isBareEntry;
                    if (name == ".git")
                        addDotGit(place, folder, type);
                    // What a bare repository keeps there is no repository; elsewhere such a name is a
                    // folder like any other.
                    else if (type == DT_DIR && !isBareEntry)
                        subfolders.push_back(folder / name);
                    else if (type == DT_DIR)
                        bareFolders.push_back(folder / name);
                }
                // gitrepository-layout(5): a folder holding HEAD, "objects/" and "refs/" is a Git folder;
                // a bare repository's when its configuration says so and it lies in no other one (a bare
                // one's submodule).
                bool isGitFolderItself = bareEntries == m_bareEntries.size() && isGitFolder(folder);
                if (isGitFolderItself && GitFolders::declaresBare(folder) && !liesInGitFolder(folder))
                    addRepository({ folder, std::nullopt });
                if (!isGitFolderItself)
                    subfolders.insert(subfolders.end(), bareFolders.begin(), bareFolders.end());
                for (auto& subfolder : subfolders)
                    left.push_back(std::move(subfolder));
            }
            if (!left.empty())
                platform::logError("Looking for Git repositories in " + place.string()
                    + " is not finished: this run searched " + std::to_string(walked) + " folders and leaves "
                    + std::to_string(left.size()) + " to go on from at the next runs; the "
                    + std::to_string(m_placeRepositories.size())
                    + " repositories found there so far are guarded, any further down not yet.");
        }

        const std::vector<std::string_view> m_bareEntries
            = WhatGitRuns::namesOf(WhatGitRuns::Kind::bareRepositoryEntry);
        const Paths& m_places;
        const Options& m_options;
        std::vector<Repository> m_placeRepositories;
        std::map<fs::path, std::size_t> m_indexByGitFolder;
        std::set<fs::path> m_gitFiles;
        GitEntries m_found;
    };

}

GitEntries gitEntries(const Paths& places, const Options& options)
{
    try {
        return Search(places, options).run();
    } catch (const std::exception&) {
        // Out of memory: the run goes on with what the other lists deny.
        return {};
    }
}

}
