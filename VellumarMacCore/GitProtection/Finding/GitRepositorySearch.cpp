#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderListing.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderRecord.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <deque>
#include <dirent.h>
#include <exception>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace vellumar::GitRepositorySearch {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // What this run judged of each path, so that a repository both recorded and met by the walk is
    // judged once per run; nothing of it outlives the run.
    class Judged {
    public:
        bool isGitFolder(const fs::path& folder)
        {
            auto [at, added] = m_gitFolders.try_emplace(folder.native(), false);
            if (added)
                at->second = GitFolderDefinition::isGitFolder(folder);
            return at->second;
        }

        // The Git folder that the ".git" file in `folder` names; absent when there is no such file or it
        // names none.
        std::optional<fs::path> namedGitFolder(const fs::path& folder)
        {
            auto [at, added] = m_named.try_emplace(folder.native());
            if (added)
                at->second = namedGitFolderAt(folder);
            return at->second;
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

        // Judges ahead, on a few threads, what `isGitFolder` and `namedGitFolder` would be asked one by one:
        // each of `gitFolders`, and the ".git" file in each of `gitFileFolders` where it is one. A later
        // run meets a thousand repositories, each some reads of its own; the walk finds them judged.
        // Past `until` the rest is left to be judged when asked.
        void judgeAhead(const Paths& gitFolders, const Paths& gitFileFolders,
            std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max())
        {
            std::vector<std::optional<bool>> isGitFolder(gitFolders.size());
            std::vector<std::optional<std::optional<fs::path>>> named(gitFileFolders.size());
            parallelEach(gitFolders.size() + gitFileFolders.size(), [&](std::size_t index) {
                if (std::chrono::steady_clock::now() >= until)
                    return;
                if (index < gitFolders.size()) {
                    isGitFolder[index] = GitFolderDefinition::isGitFolder(gitFolders[index]);
                    return;
                }
                index -= gitFolders.size();
                std::error_code error;
                if (fs::symlink_status(gitFileFolders[index] / ".git", error).type()
                    == fs::file_type::regular)
                    named[index] = namedGitFolderAt(gitFileFolders[index]);
            });
            for (std::size_t index = 0; index < gitFolders.size(); ++index) {
                if (isGitFolder[index])
                    m_gitFolders.try_emplace(gitFolders[index].native(), *isGitFolder[index]);
            }
            for (std::size_t index = 0; index < gitFileFolders.size(); ++index) {
                if (named[index])
                    m_named.try_emplace(gitFileFolders[index].native(), std::move(*named[index]));
            }
        }

    private:
        static std::optional<fs::path> namedGitFolderAt(const fs::path& folder)
        {
            auto location = GitFolders::located(folder);
            if (location && location->gitFile)
                return std::move(location->gitFolder);
            return std::nullopt;
        }

        std::unordered_map<std::string, bool> m_gitFolders;
        std::unordered_map<std::string, std::optional<fs::path>> m_named;
    };

    // Whether a folder between `place` and `path` is now a link.
    bool reachedThroughLink(const fs::path& place, const fs::path& path)
    {
        for (fs::path folder = path.parent_path(); folder != place && isPathInside(folder, place);
             folder = folder.parent_path()) {
            struct stat status { };
            if (::lstat(folder.c_str(), &status) != 0 || S_ISLNK(status.st_mode))
                return true;
        }
        return false;
    }

    // A folder the walk has yet to list, and what is kept of it. Its path is text, as the listing takes
    // it (`GitFolderListing::read`).
    struct LeftFolder {
        std::string path;
        SearchedFolders::Folder* kept;
        // Which may be a link, unlike any folder below it.
        bool isPlace = false;
    };
    using Left = std::deque<LeftFolder>;

    // The recorded folders of `place` that lie in no other of them: the walk from that one reaches them,
    // and what is kept of a folder is replaced when the folder above it is listed again.
    Paths outermost(const fs::path& place, Paths folders)
    {
        std::unordered_set<std::string> recorded;
        for (const auto& folder : folders)
            recorded.insert(folder.native());
        auto liesInAnother = [&](fs::path folder) {
            while (folder != place && folder != folder.parent_path()) {
                folder = folder.parent_path();
                if (recorded.contains(folder.native()))
                    return true;
            }
            return false;
        };
        Paths kept;
        std::unordered_set<std::string> taken;
        for (auto& folder : folders) {
            // A record names folders of its own place only.
            if ((folder == place || isPathInside(folder, place)) && !liesInAnother(folder)
                && taken.insert(folder.native()).second)
                kept.push_back(std::move(folder));
        }
        return kept;
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
                // Held for the place's whole step, so that two runs starting at once neither list its
                // folders twice nor write its record over each other.
                SearchedFolders searched(place, GitFolderRecord::listingsFile(m_options.dataFolder, place));
                GitFolderRecord::Record record = GitFolderRecord::recorded(m_options.dataFolder, place);
                judgeAhead(record.repositories);
                for (auto& repository : record.repositories)
                    addRecorded(place, std::move(repository));
                m_resolvedPlace = resolvingSymlinks(place);
                Left left;
                for (auto& folder : outermost(place, m_whole ? Paths {} : std::move(record.unwalked))) {
                    SearchedFolders::Folder& kept = searched.at(folder.lexically_relative(place));
                    left.push_back({ folder.native(), &kept, folder == place });
                }
                if (left.empty())
                    left.push_back({ place.native(), &searched.place(), true });
                walk(place, searched, left);
                if (!left.empty())
                    m_found.unfinished.push_back(place);
                searched.keep();
                Paths unwalked;
                for (auto& folder : left)
                    unwalked.emplace_back(std::move(folder.path));
                GitFolderRecord::record(m_options.dataFolder, place,
                    { .repositories = m_placeRepositories, .unwalked = std::move(unwalked) });
            }
            std::sort(m_found.gitFiles.begin(), m_found.gitFiles.end());
            return std::move(m_found);
        }

    private:
        // What `addRecorded` will judge of each recorded repository, judged ahead.
        void judgeAhead(const std::vector<Repository>& repositories)
        {
            Paths gitFolders;
            Paths workTrees;
            for (const auto& repository : repositories) {
                gitFolders.push_back(repository.gitFolder);
                if (repository.workTree)
                    workTrees.push_back(*repository.workTree);
            }
            m_judged.judgeAhead(gitFolders, workTrees);
        }

        // What the walk will judge in the folders whose kept listing holds in this walk (`FolderStamps`),
        // judged ahead within its time. One path is grown and cut back as the kept tree is gone through:
        // a large tree keeps a hundred thousand folders, and a path made for each would cost more than
        // judging the few that hold a ".git".
        void judgeAhead(const Left& left, std::uint64_t walk, std::chrono::steady_clock::time_point until)
        {
            Paths gitFolders;
            Paths gitFileFolders;
            struct Step {
                const SearchedFolders::Folder* folder;
                std::size_t pathSize;
                std::size_t next = 0;
            };
            std::vector<Step> steps;
            for (const auto& top : left) {
                std::string path = top.path;
                auto enter = [&](const SearchedFolders::Folder& folder) {
                    if (!folder.trusted || folder.heldAtWalk != walk || FolderStamps::isQuiet(folder, walk))
                        return;
                    if (folder.dotGitType == DT_DIR || folder.dotGitType == DT_LNK)
                        gitFolders.push_back(GitFolderListing::pathIn(path, ".git"));
                    else if (folder.dotGitType == DT_REG)
                        gitFileFolders.push_back(path);
                    if (folder.mayBeGitFolder)
                        gitFolders.push_back(path);
                    steps.push_back({ &folder, path.size() });
                };
                enter(*top.kept);
                while (!steps.empty()) {
                    Step& step = steps.back();
                    if (step.next == step.folder->subfolders.size()) {
                        steps.pop_back();
                        continue;
                    }
                    const SearchedFolders::Folder& subfolder = *step.folder->subfolders[step.next++];
                    // What a Git folder keeps there the walk does not enter.
                    if (step.folder->mayBeGitFolder
                        && (subfolder.name == "objects" || subfolder.name == "refs"))
                        continue;
                    path.resize(step.pathSize);
                    if (!path.ends_with('/'))
                        path.push_back('/');
                    path.append(subfolder.name);
                    enter(subfolder);
                }
            }
            m_judged.judgeAhead(gitFolders, gitFileFolders, until);
        }

        void addRecorded(const fs::path& place, Repository repository)
        {
            // The walk enters no link below the place, so neither does what it recorded: a folder swapped
            // for a link since would lead to a repository elsewhere.
            if (!m_judged.isGitFolder(repository.gitFolder) || reachedThroughLink(place, repository.gitFolder)
                || (repository.workTree && reachedThroughLink(place, *repository.workTree / ".git")))
                return;
            if (repository.workTree) {
                std::error_code error;
                fs::path dotGit = *repository.workTree / ".git";
                auto type = fs::symlink_status(dotGit, error).type();
                if (type == fs::file_type::regular && m_judged.namedGitFolder(*repository.workTree))
                    addGitFile(dotGit);
                else if (type == fs::file_type::not_found)
                    repository.workTree.reset();
            }
            addRepository(std::move(repository));
        }

        // A Git folder met on a whole walk, which is the only one to ask for them all. `gitFolder` was
        // reached from `place` through no link when `type` says it is a folder.
        void addGitFolder(const fs::path& place, const fs::path& gitFolder, unsigned char type = DT_LNK)
        {
            if (!m_whole || !m_resolvedPlace)
                return;
            auto resolved = type == DT_DIR
                ? std::optional(*m_resolvedPlace / gitFolder.lexically_relative(place))
                : resolvingSymlinks(gitFolder);
            if (resolved && isPathCoveredBy(*resolved, *m_resolvedPlace)
                && m_gitFolders.insert(resolved->native()).second)
                m_found.gitFolders.push_back(std::move(*resolved));
        }

        void addRepository(Repository repository)
        {
            auto [at, added]
                = m_indexByGitFolder.try_emplace(repository.gitFolder.native(), m_found.repositories.size());
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
            if (m_gitFiles.insert(gitFile.native()).second)
                m_found.gitFiles.push_back(gitFile);
        }

        void addDotGit(const fs::path& place, const fs::path& folder, unsigned char type)
        {
            fs::path dotGit = folder / ".git";
            if (type == DT_DIR || type == DT_LNK) {
                if (m_judged.isGitFolder(dotGit)) {
                    addRepository({ dotGit, folder });
                    addGitFolder(place, dotGit, type);
                }
                return;
            }
            if (type != DT_REG)
                return;
            auto target = m_judged.namedGitFolder(folder);
            if (!target)
                return;
            addGitFile(dotGit);
            if (!m_resolvedPlace || !isPathCoveredBy(*target, *m_resolvedPlace))
                return;
            addGitFolder(place, *target);
            if (!m_judged.liesInGitFolder(*target))
                addRepository({ *target, folder });
        }

        // Whether `folder`, come to past the listing bound and never listed before, may be what commands
        // made: it is then handed back unlisted. A place is always listed, and so is a folder an earlier
        // walk listed, which was there before this run's commands or was judged at an earlier run's end.
        bool leftUnlisted(const fs::path& place, const std::string& folder,
            const SearchedFolders::Folder& kept, bool isPlace)
        {
            const ListingBound& bound = m_options.listingBound;
            if (isPlace || !bound.madeByCommands || !m_resolvedPlace || kept.trusted)
                return false;
            fs::path resolved = *m_resolvedPlace / fs::path(folder).lexically_relative(place);
            if (!bound.leavesUnlisted(resolved))
                return false;
            m_found.unlisted.push_back(std::move(resolved));
            return true;
        }

        // Walks from the folders in `left`, breadth first so that when the walk stops early what it
        // missed lies deepest, and leaves there what it did not reach. A folder is listed again only
        // where its stamp moved (`SearchedFolders`); what it holds is judged again at every run.
        void walk(const fs::path& place, SearchedFolders& searched, Left& left)
        {
            const bool bounded = m_options.budgetPerPlace != unbudgeted;
            const auto deadline = bounded ? m_options.clock() + m_options.budgetPerPlace
                                          : std::chrono::steady_clock::time_point::max();
            // A place may be a link; below it, a folder swapped for one since it was listed is not
            // entered.
            using GitFolderListing::Link;
            const GitFolderListing::Options placeListing { .link = Link::follow,
                .settling = m_options.settling,
                .permissionBackSince = m_options.permissionBackSince,
                .afterReading = m_options.afterListing };
            GitFolderListing::Options belowListing = placeListing;
            belowListing.link = Link::refuse;
            // Which kept folders still hold, all looked up at once before the walk goes through them, by
            // the time the budget gives: a walk whose clock is a test's reads it no more often.
            std::vector<FolderStamps::Top> tops;
            for (const auto& folder : left)
                tops.push_back(
                    { folder.path, folder.kept, folder.isPlace ? placeListing.link : belowListing.link });
            const auto until = bounded ? std::chrono::steady_clock::now() + m_options.budgetPerPlace
                                       : std::chrono::steady_clock::time_point::max();
            FolderStamps::mark(tops, searched.walk(), until);
            judgeAhead(left, searched.walk(), until);
            std::size_t walked = 0;
            while (!left.empty() && (walked == 0 || !bounded || m_options.clock() < deadline)) {
                auto [folder, kept, isPlace] = std::move(left.front());
                left.pop_front();
                if (FolderStamps::isQuiet(*kept, searched.walk())
                    || leftUnlisted(place, folder, *kept, isPlace))
                    continue;
                ++walked;
                if (!searched.refresh(*kept, folder, isPlace ? placeListing : belowListing))
                    continue;
                if (kept->dotGitType != DT_UNKNOWN)
                    addDotGit(place, folder, kept->dotGitType);
                // Git works in a Git folder of any name, whatever its configuration says of it, as a
                // repository of its own unless it lies in another one (a linked worktree's, a
                // submodule's).
                bool isGitFolderItself = kept->mayBeGitFolder && m_judged.isGitFolder(folder);
                if (isGitFolderItself) {
                    addGitFolder(place, folder, DT_DIR);
                    if (!m_judged.liesInGitFolder(folder))
                        addRepository({ folder, std::nullopt });
                }
                for (const auto& subfolder : kept->subfolders) {
                    // What a Git folder keeps there is no repository; elsewhere such a name is a folder
                    // like any other.
                    if ((isGitFolderItself && (subfolder->name == "objects" || subfolder->name == "refs"))
                        || FolderStamps::isQuiet(*subfolder, searched.walk()))
                        continue;
                    left.push_back({ GitFolderListing::pathIn(folder, subfolder->name), subfolder.get() });
                }
            }
            if (!left.empty())
                platform::logError("Looking for Git repositories in " + place.string()
                    + " is not finished within its budget: this search walked " + std::to_string(walked)
                    + " folders and leaves " + std::to_string(left.size()) + " to go on from.");
        }

        const Paths& m_places;
        const Options& m_options;
        std::vector<Repository> m_placeRepositories;
        // By path text: every path here is built the one way, and a thousand paths compared element by
        // element cost a walk milliseconds.
        std::unordered_map<std::string, std::size_t> m_indexByGitFolder;
        std::unordered_set<std::string> m_gitFiles;
        std::unordered_set<std::string> m_gitFolders;
        const bool m_whole = m_options.budgetPerPlace == unbudgeted;
        std::optional<fs::path> m_resolvedPlace; // of the place being walked
        GitEntries m_found;
        Judged m_judged;
    };

}

GitEntries gitEntries(const Paths& places, const Options& options)
{
    try {
        return Search(places, options).run();
    } catch (const std::exception&) {
        // Out of memory: the run goes on with what the other lists deny.
        if (options.outOfMemory == Options::OutOfMemory::thrown)
            throw;
        return {};
    }
}

}
