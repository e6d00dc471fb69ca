#include "VellumarMacCore/GitProtection/Finding/GitRepositories.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/Finding/PlainGitSettings.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace vellumar::GitRepositories {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // A configuration file's bytes read to learn whether it names a setting at all.
    constexpr std::size_t kConfigurationBytes = 1024 * 1024;

    struct Repository {
        std::optional<fs::path> workTree; // absent for a bare repository
        fs::path gitFolder; // resolved
        bool isPlace = false;
    };

    // Reads one configuration file at a time as Git does (`git config --file`, no includes), each `git`
    // with `GitConfigPaths::gitReadOptions`, noting where Git did not tell. Any thread.
    class ConfigFileReader {
    public:
        explicit ConfigFileReader(const GitConfigPaths::Options& options)
            : m_options(options)
            , m_git(GitConfigPaths::gitExecutable(options.searchPath))
        {
        }

        // The values of the keys matching `keyPattern` in `file`; none when it is no regular file, Git
        // refuses it, or Git did not tell (`unread`).
        std::vector<std::string> values(const fs::path& file, const char* keyPattern)
        {
            std::error_code error;
            if (!m_git || !fs::is_regular_file(file, error))
                return {};
            try {
                CommandResult result = m_options.run(*m_git,
                    { "config", "-z", "--file", file.string(), "--get-regexp", keyPattern },
                    GitConfigPaths::gitReadOptions(
                        { { "HOME", m_options.home.string() }, { "PATH", m_options.searchPath } }));
                if (auto told = GitConfigPaths::readingOf(result); told != GitConfigPaths::Reading::told) {
                    if (told == GitConfigPaths::Reading::untold)
                        noteUnread(file);
                    return {};
                }
                // "<key>\n<value>\0" for each.
                std::vector<std::string> found;
                const std::string& output = result.output;
                for (std::size_t start = 0, end; start < output.size(); start = end + 1) {
                    end = std::min(output.find('\0', start), output.size());
                    std::size_t newline = output.find('\n', start);
                    if (newline < end)
                        found.push_back(output.substr(newline + 1, end - newline - 1));
                }
                return found;
            } catch (const std::exception&) {
                noteUnread(file);
                return {};
            }
        }

        // The files Git did not tell of in time, or could not be started for.
        Paths unread() const
        {
            std::lock_guard lock(m_lock);
            return m_unread;
        }

    private:
        void noteUnread(const fs::path& file)
        {
            std::lock_guard lock(m_lock);
            m_unread.push_back(file);
        }

        const GitConfigPaths::Options& m_options;
        const std::optional<fs::path> m_git;
        mutable std::mutex m_lock;
        Paths m_unread;
    };

    // The guarded repositories by their Git folders, standardized, each to the first that has it.
    using GuardedByGitFolder = std::unordered_map<std::string, std::size_t>;

    GuardedByGitFolder byGitFolder(const std::vector<GuardedRepository>& guarded)
    {
        GuardedByGitFolder indexes;
        for (std::size_t index = 0; index < guarded.size(); ++index)
            indexes.try_emplace(standardizedPath(guarded[index].gitFolder).native(), index);
        return indexes;
    }

    // The first guarded repository whose Git folder is `folder` or lies above it: looked up for each
    // folder on the way up, since with a thousand repositories and a hundred ".git" files a comparison of
    // each pair would cost the run's start more than the rest of the search.
    std::optional<std::size_t> firstHolding(const GuardedByGitFolder& guarded, const fs::path& folder)
    {
        std::optional<std::size_t> first;
        for (fs::path at = standardizedPath(folder);; at = at.parent_path()) {
            if (auto found = guarded.find(at.native()); found != guarded.end())
                first = std::min(first.value_or(found->second), found->second);
            if (at == at.parent_path())
                return first;
        }
    }

    class Builder {
    public:
        Builder(const Paths& places, const GitConfigPaths::Options& options)
            : m_places(places)
            , m_options(options)
            , m_reader(m_options)
        {
            for (const auto& place : places) {
                if (auto resolved = resolvingSymlinks(place))
                    m_resolvedPlaces.push_back(std::move(*resolved));
            }
        }

        // What the sandbox denies, with the repositories the guard takes as yet without what only it
        // needs (`guardPart`).
        Protection sandboxPart()
        {
            // What an earlier program read of Git's files, for this run to read only what changed since.
            if (!m_options.dataFolder.empty())
                GitReadCache::readKept(m_options.dataFolder);
            for (const auto& place : m_places) {
                std::error_code error;
                if (fs::is_directory(place, error))
                    m_existing.push_back(place);
            }
            m_entries = GitRepositorySearch::gitEntries(m_existing,
                { .dataFolder = m_options.dataFolder, .budgetPerPlace = m_options.searchBudgetPerPlace });
            m_repositories = repositoriesOf(m_entries, m_places);
            // A place's Git folder even before it holds a HEAD: a command could add one.
            for (const auto& place : m_places) {
                auto gitFolder = resolvingSymlinks(place / ".git");
                std::error_code error;
                if (gitFolder && fs::is_directory(*gitFolder, error)
                    && m_guardedGitFolders.insert(*gitFolder).second)
                    m_protection.guarded.push_back({ *gitFolder, place });
            }
            guard(m_repositories);

            std::size_t places = static_cast<std::size_t>(std::count_if(m_repositories.begin(),
                m_repositories.end(), [](const Repository& repository) { return repository.isPlace; }));
            std::size_t used = reservedPaths;
            Paths wholeGitFolders;
            for (std::size_t index = 0; index < places; ++index) {
                const Repository& repository = m_repositories[index];
                // What stays set aside for the places' repositories after this one, one path each.
                std::size_t after = places - index - 1;
                std::size_t left
                    = used + after < GitFolders::gitPathBudget ? GitFolders::gitPathBudget - used - after : 1;
                if (auto paths = protectedPaths(repository, left)) {
                    used += paths->size();
                    appendAll(*paths);
                    m_protection.gitFolders.push_back(repository.gitFolder);
                } else {
                    used += 1;
                    appendAll({ repository.gitFolder });
                    wholeGitFolders.push_back(repository.gitFolder);
                }
            }
            if (!wholeGitFolders.empty())
                platform::logError(std::to_string(wholeGitFolders.size())
                    + " Git repositories in the writable places, the first at "
                    + wholeGitFolders.front().string()
                    + ", are more than the sandbox has room to protect one by one; commands may change"
                      " nothing in their Git folders in this run.");
            guardGitFiles(m_entries.gitFiles);
            appendAll(sequencerState(m_repositories));
            // With no repository to take what the configuration names, the sandbox denies it.
            if (m_protection.guarded.empty())
                guardConfiguredPaths();
            return m_protection;
        }

        // The whole protection, once `sandboxPart` has found its part: each guarded repository's linked
        // folders, what the configuration names and what the hooks put first on PATH, and the latter for
        // the ".git" files whose Git folder no guarded repository holds.
        Protection guardPart()
        {
            searchTheRest();
            std::vector<GuardedRepository>& guardedRepositories = m_protection.guarded;
            parallelEach(guardedRepositories.size(), [&](std::size_t index) {
                GuardedRepository& repository = guardedRepositories[index];
                repository.linkedFolders
                    = GitFoldersInPlaces::linkedGitFolders(repository.gitFolder, m_places);
            });
            if (!guardedRepositories.empty())
                guardConfiguredPaths();
            parallelEach(guardedRepositories.size(), [&](std::size_t index) {
                GuardedRepository& repository = guardedRepositories[index];
                repository.searchedFirst
                    = searchedFirstAtWorkTrees(repository.gitFolder, repository.gitFolder / "hooks",
                        repository.workTree ? Paths { *repository.workTree / ".git" } : Paths {},
                        repository.workTree.value_or(repository.gitFolder));
            });
            Paths gitFiles = m_entries.gitFiles;
            gitFiles.insert(gitFiles.end(), m_recordedGitFiles.begin(), m_recordedGitFiles.end());
            const GuardedByGitFolder guardedByGitFolder = byGitFolder(guardedRepositories);
            std::vector<std::optional<SearchedFirstOfOwner>> ofGitFiles(gitFiles.size());
            parallelEach(gitFiles.size(), [&](std::size_t index) {
                ofGitFiles[index] = searchedFirstOf(gitFiles[index], guardedByGitFolder);
            });
            for (std::size_t index = 0; index < gitFiles.size(); ++index) {
                auto& ofGitFile = ofGitFiles[index];
                if (!ofGitFile)
                    continue;
                auto& owned = ofGitFile->owner
                    ? guardedRepositories[*ofGitFile->owner].searchedFirst
                    : m_protection.searchedFirstOfGitFiles[resolvingSymlinks(gitFiles[index])
                                                               .value_or(gitFiles[index])];
                for (auto& folder : ofGitFile->folders) {
                    if (std::find(owned.begin(), owned.end(), folder) == owned.end())
                        owned.push_back(std::move(folder));
                }
            }
            if (!m_options.dataFolder.empty())
                GitReadCache::writeKept(m_options.dataFolder);
            Paths unread = m_reader.unread();
            std::ranges::move(m_unread, std::back_inserter(unread));
            if (!unread.empty())
                stopForUnread(unread);
            return std::move(m_protection);
        }

    private:
        // Guards each of `repositories` whose Git folder no guarded one has.
        void guard(const std::vector<Repository>& repositories)
        {
            for (const auto& repository : repositories) {
                if (m_guardedGitFolders.insert(repository.gitFolder).second)
                    m_protection.guarded.push_back({ repository.gitFolder, repository.workTree });
            }
        }

        // Guards each of `gitFiles` inside the places that the sandbox does not deny, once.
        void guardGitFiles(const Paths& gitFiles)
        {
            for (auto& gitFile : keptInside(gitFiles)) {
                if (!m_denied.contains(gitFile) && m_guardedGitFiles.insert(gitFile.native()).second)
                    m_protection.guardedGitFiles.push_back(std::move(gitFile));
            }
        }

        // Walks to their end, before any command runs, the places whose search the start's budget left
        // unfinished: what a run guards does not depend on the machine's speed. The sandbox denies
        // nothing of what is found only now (the sequencer's state included), which the guard notes as it
        // does every repository below a place.
        void searchTheRest()
        {
            if (m_entries.unfinished.empty())
                return;
            auto rest = GitRepositorySearch::gitEntries(m_entries.unfinished,
                { .dataFolder = m_options.dataFolder,
                    .budgetPerPlace = GitRepositorySearch::unbudgeted,
                    .outOfMemory = GitRepositorySearch::Options::OutOfMemory::thrown });
            std::vector<Repository> found = repositoriesOf(rest, {});
            std::erase_if(found, [&](const Repository& repository) {
                return m_guardedGitFolders.contains(repository.gitFolder);
            });
            guard(found);
            std::ranges::move(found, std::back_inserter(m_repositories));
            std::unordered_set<std::string> known;
            for (const auto& gitFile : m_entries.gitFiles)
                known.insert(gitFile.native());
            for (const auto& gitFile : rest.gitFiles) {
                if (known.insert(gitFile.native()).second)
                    m_entries.gitFiles.push_back(gitFile);
            }
            guardGitFiles(rest.gitFiles);
        }

        // Where Git did not tell what a configuration names, the run stops before its first command, with
        // one log line: nothing it names may be left for commands to change.
        [[noreturn]] static void stopForUnread(const Paths& unread)
        {
            std::string message = "Git did not tell what its configuration at " + unread.front().string()
                + " names"
                + (unread.size() > 1 ? " (nor at " + std::to_string(unread.size() - 1) + " more places)" : "")
                + ": it stopped getting on, ran past "
                + std::to_string(static_cast<int>(GitConfigPaths::gitTimeLimitSeconds))
                + " s or could not start; the run stops before any command could change it.";
            platform::logError(message);
            throw std::runtime_error(message);
        }

        // The "core.worktree" Git takes in the own configuration files of the Git folder at `location`
        // (`GitFolders::locatedGitFolder`), each read only where its bytes name it, and by `git` only where
        // they are not plain (`PlainGitSettings`), so that a thousand repositories cost no `git` each.
        std::optional<std::string> workTreeSetting(const std::optional<GitFolders::Location>& location)
        {
            if (!location)
                return std::nullopt;
            std::optional<std::string> setting;
            for (const auto& file :
                { location->commonFolder / "config", location->gitFolder / "config.worktree" }) {
                const std::string bytes = BoundedFile::start(file, kConfigurationBytes + 1);
                if (detail::asciiLowercased(bytes).find("worktree") == std::string::npos)
                    continue;
                if (auto plain = bytes.size() <= kConfigurationBytes ? PlainGitSettings::settingsOf(bytes)
                                                                     : std::nullopt) {
                    if (auto value = PlainGitSettings::lastValue(*plain, "core.worktree"))
                        setting = std::move(value);
                } else if (auto values = m_reader.values(file, "^core\\.worktree$"); !values.empty()) {
                    setting = std::move(values.back());
                }
            }
            return setting;
        }

        // What the hooks in `hooks` put first on PATH at each work tree Git would use for `gitFolder`
        // (`GitFolders::workTreesOf`, `gitFiles` among the ".git" that send Git there), with the folders
        // the configuration read at `readAt` names. Any thread.
        Paths searchedFirstAtWorkTrees(
            const fs::path& gitFolder, const fs::path& hooks, const Paths& gitFiles, const fs::path& readAt)
        {
            Paths found;
            const auto location = GitFolders::locatedGitFolder(gitFolder);
            for (const auto& top :
                GitFolders::workTreesOf(gitFolder, location, gitFiles, workTreeSetting(location)).tops) {
                for (auto& folder : searchedFirst({ hooks }, top, readAt)) {
                    if (std::find(found.begin(), found.end(), folder) == found.end())
                        found.push_back(std::move(folder));
                }
            }
            return found;
        }

        // The folders that the hooks Git runs for the work tree (or bare repository) `top` may put first
        // on PATH, as they are now: named by the scripts in `hookFolders` and in the folders that the
        // configuration read at `readAt` names, each relative folder wherever it lies below `top`.
        Paths searchedFirst(Paths hookFolders, const fs::path& top, const fs::path& readAt)
        {
            if (auto named = m_configuredAt.find(readAt.native()); named != m_configuredAt.end()) {
                for (const auto& path : named->second) {
                    std::error_code error;
                    if (fs::is_directory(path, error))
                        hookFolders.push_back(path);
                }
            }
            auto place = std::find_if(m_places.begin(), m_places.end(),
                [&](const fs::path& candidate) { return isPathInside(top, candidate); });
            Paths found;
            Paths relatives;
            // Where the hooks' words cannot be followed, the run's end judges every folder below `top`.
            for (auto& folder :
                HookSearchPath::foldersPutFirst(hookFolders, top, HookSearchPath::usersEnvironment()).folders)
                (folder.is_absolute() ? found : relatives).push_back(std::move(folder));
            // A work tree outside every place has nothing below it that commands could write.
            if (place != m_places.end())
                std::ranges::move(
                    HookSearchPath::wherePutFirst(*place, top, relatives), std::back_inserter(found));
            return keptInside(found);
        }

        struct SearchedFirstOfOwner {
            // In the guarded repositories; absent for the ".git" file's own unit.
            std::optional<std::size_t> owner;
            Paths folders;
        };

        // A linked worktree or a submodule runs hooks for its own work tree, the folder of `gitFile`, with
        // its own configuration: what they put first on PATH is guarded with the repository whose Git
        // folder holds its own, which is returned with them, or, where its Git folder lies outside every
        // place, with the ".git" file. Any thread.
        std::optional<SearchedFirstOfOwner> searchedFirstOf(
            const fs::path& gitFile, const GuardedByGitFolder& guardedByGitFolder)
        {
            const fs::path workTree = gitFile.parent_path();
            auto location = GitFolders::located(workTree);
            if (!location)
                return std::nullopt;
            auto owner = firstHolding(guardedByGitFolder, location->commonFolder);
            if (owner ? m_protection.guarded[*owner].workTree == workTree
                      : !keptInside({ location->gitFolder }).empty())
                return std::nullopt;
            // A linked worktree's hooks are those of the folder it shares with the others.
            return SearchedFirstOfOwner { owner,
                searchedFirstAtWorkTrees(
                    location->gitFolder, location->commonFolder / "hooks", { gitFile }, workTree) };
        }

        // Those of `places`' own first, then what the walk met; a Git folder reached twice counts once.
        static std::vector<Repository> repositoriesOf(
            const GitRepositorySearch::GitEntries& entries, const Paths& places)
        {
            std::vector<GitRepositorySearch::Repository> candidates;
            for (const auto& place : places)
                candidates.push_back({ place / ".git", place });
            candidates.insert(candidates.end(), entries.repositories.begin(), entries.repositories.end());
            // Resolved on a few threads: a thousand Git folders cost a lookup each.
            std::vector<std::optional<fs::path>> gitFolders(candidates.size());
            parallelEach(candidates.size(), [&](std::size_t index) {
                // The search judged its own a moment ago.
                const bool isPlace = index < places.size();
                if (!isPlace || GitFolderDefinition::isGitFolder(candidates[index].gitFolder))
                    gitFolders[index] = resolvingSymlinks(candidates[index].gitFolder);
            });
            std::vector<Repository> repositories;
            std::set<fs::path> seen;
            for (std::size_t index = 0; index < candidates.size(); ++index) {
                if (auto& gitFolder = gitFolders[index]; gitFolder && seen.insert(*gitFolder).second)
                    repositories.push_back(
                        { candidates[index].workTree, std::move(*gitFolder), index < places.size() });
            }
            return repositories;
        }

        // The sequencer's state folders that exist now in the repositories' Git folders and their
        // linked folders, within `maxSequencerPaths`.
        Paths sequencerState(const std::vector<Repository>& repositories)
        {
            // Read on a few threads: with a thousand repositories each reading costs.
            std::vector<Paths> foundIn(repositories.size());
            parallelEach(repositories.size(), [&](std::size_t index) {
                const Repository& repository = repositories[index];
                auto known = m_linked.find(repository.gitFolder.native());
                Paths gitFolders = known != m_linked.end()
                    ? known->second.folders
                    : GitFolders::linkedFoldersOfGitFolder(repository.gitFolder).folders;
                gitFolders.insert(gitFolders.begin(), repository.gitFolder);
                for (const auto& gitFolder : gitFolders) {
                    for (auto state : WhatGitRuns::namesOf(WhatGitRuns::Kind::sequencerState)) {
                        std::error_code error;
                        if (fs::exists(fs::symlink_status(gitFolder / state, error)))
                            foundIn[index].push_back(gitFolder / state);
                    }
                }
            });
            Paths found;
            for (auto& paths : foundIn)
                std::ranges::move(paths, std::back_inserter(found));
            found = keptInside(found);
            if (found.size() > maxSequencerPaths) {
                platform::logError("More than " + std::to_string(maxSequencerPaths)
                    + " rebases, cherry-picks or reverts stand stopped in the writable places; the state of"
                      " the others stays writable to commands.");
                found.resize(maxSequencerPaths);
            }
            return found;
        }

        // The first form of protection name by name that fits in `left` paths; absent when none does.
        std::optional<Paths> protectedPaths(const Repository& repository, std::size_t left)
        {
            // A place's other own names are denied with its other protected names.
            Paths fixed = { repository.gitFolder / "commondir" };
            if (fixed.size() > left)
                return std::nullopt;
            const GitFolders::Listing& listing = linkedOf(repository.gitFolder);
            Paths recorded = keptInside(recordedGitFiles(repository.workTree, listing));
            std::vector<std::size_t> limits = { 0 };
            if (listing.complete)
                limits.insert(limits.begin(), GitFolders::maxLinkedFolders);
            for (std::size_t limit : limits) {
                Paths paths = fixed;
                for (auto& path :
                    GitFolders::commandProtectedPathsOfGitFolders({ repository.gitFolder }, limit))
                    paths.push_back(std::move(path));
                paths.insert(paths.end(), recorded.begin(), recorded.end());
                if (paths.size() <= left) {
                    m_recordedGitFiles.insert(m_recordedGitFiles.end(), recorded.begin(), recorded.end());
                    return paths;
                }
            }
            return std::nullopt;
        }

        // The ".git" files of the repository's linked worktrees and submodules, as Git's own records
        // name them: what the walk may never reach, past a flood of other ".git" files.
        Paths recordedGitFiles(const std::optional<fs::path>& workTree, const GitFolders::Listing& listing)
        {
            Paths candidates;
            for (const auto& folder : listing.folders) {
                if (auto location = GitFolders::locatedGitFolder(folder); location && location->gitFile) {
                    candidates.push_back(std::move(*location->gitFile));
                    continue;
                }
                for (const auto& value : m_reader.values(folder / "config", "^core\\.worktree$"))
                    candidates.push_back(
                        fs::path(value).is_absolute() ? fs::path(value) / ".git" : folder / value / ".git");
            }
            for (const auto& value : workTree
                    ? m_reader.values(*workTree / ".gitmodules", "^submodule\\..*\\.path$")
                    : std::vector<std::string>())
                candidates.push_back(*workTree / value / ".git");
            Paths gitFiles;
            for (const auto& candidate : candidates) {
                std::error_code error;
                if (fs::symlink_status(candidate, error).type() == fs::file_type::regular)
                    gitFiles.push_back(candidate);
            }
            return gitFiles;
        }

        // Hands what the configuration read at each place, repository and ".git" file's work tree names
        // to the guard, each path once: to the repository read there, or, named only where no
        // repository was read (a place's global settings, a ".git" file's work tree), to the first
        // guarded one. With none to take them, they are denied in the sandbox.
        void guardConfiguredPaths()
        {
            // A place that holds no repository still has Git's global and system files read.
            Paths readAt = m_existing;
            const std::size_t placeCount = m_existing.size();
            for (const auto& repository : m_repositories)
                readAt.push_back(repository.workTree.value_or(repository.gitFolder));
            for (const auto& gitFile : m_entries.gitFiles)
                readAt.push_back(gitFile.parent_path());
            for (const auto& gitFile : m_recordedGitFiles)
                readAt.push_back(gitFile.parent_path());
            std::map<fs::path, std::size_t> guardedAt;
            for (std::size_t index = 0; index < m_protection.guarded.size(); ++index) {
                auto& guarded = m_protection.guarded[index];
                guardedAt.emplace(guarded.workTree.value_or(guarded.gitFolder), index);
            }
            Paths unique;
            // By their bytes: a thousand repositories' paths compared pairwise would cost the run's
            // start more than reading their configuration.
            std::unordered_set<std::string> seen;
            for (const auto& folder : readAt) {
                if (seen.insert(folder.native()).second)
                    unique.push_back(folder);
            }
            auto [named, unread] = GitConfigPaths::configuredPaths(unique, m_options);
            std::ranges::move(unread, std::back_inserter(m_unread));
            std::set<fs::path> taken;
            Paths unguarded;
            for (std::size_t index = 0; index < named.size(); ++index) {
                auto owner = index < placeCount ? guardedAt.end() : guardedAt.find(unique[index]);
                if (owner == guardedAt.end() && !m_protection.guarded.empty())
                    owner = guardedAt.find(m_protection.guarded.front().workTree.value_or(
                        m_protection.guarded.front().gitFolder));
                const Paths& kept = m_configuredAt[unique[index].native()] = keptInside(named[index]);
                for (auto path : kept) {
                    if (!taken.insert(path).second)
                        continue;
                    if (owner == guardedAt.end())
                        unguarded.push_back(std::move(path));
                    else
                        m_protection.guarded[owner->second].configured.push_back(std::move(path));
                }
            }
            if (unguarded.size() > maxUnguardedConfiguredPaths) {
                platform::logError("Git's configuration names more than "
                    + std::to_string(maxUnguardedConfiguredPaths)
                    + " files and folders in writable places that hold no repository; the others stay"
                      " writable to commands.");
                unguarded.resize(maxUnguardedConfiguredPaths);
            }
            appendAll(unguarded);
        }

        // Each path as the kernel resolves it, once, when it lies inside a place; what the kernel cannot
        // resolve, Git cannot open either.
        Paths keptInside(const Paths& candidates) const
        {
            Paths kept;
            std::unordered_set<std::string> seen;
            for (const auto& candidate : candidates) {
                auto resolved = resolvingSymlinks(candidate);
                if (resolved && isPathCoveredByAny(*resolved, m_resolvedPlaces)
                    && seen.insert(resolved->native()).second)
                    kept.push_back(std::move(*resolved));
            }
            return kept;
        }

        void appendAll(const Paths& paths)
        {
            auto& denied = m_protection.deniedPaths;
            for (const auto& path : paths) {
                if (m_denied.insert(path).second)
                    denied.push_back(path);
            }
        }

        // Kept from the first part for the second, which runs later.
        const Paths m_places;
        const GitConfigPaths::Options m_options;
        ConfigFileReader m_reader;
        Paths m_resolvedPlaces;
        Paths m_existing;
        GitRepositorySearch::GitEntries m_entries;
        std::vector<Repository> m_repositories;
        // Each Git folder's linked folders, read once in a run: the protection, the sequencer's state
        // and the guard's units all go by them, and with a thousand repositories each reading costs.
        const GitFolders::Listing& linkedOf(const fs::path& gitFolder)
        {
            auto [at, added] = m_linked.try_emplace(gitFolder.native());
            if (added)
                at->second = GitFolders::linkedFoldersOfGitFolder(gitFolder);
            return at->second;
        }

        Paths m_recordedGitFiles;
        std::set<fs::path> m_guardedGitFolders;
        std::unordered_set<std::string> m_guardedGitFiles;
        // Where Git did not tell what the configuration names (`GitConfigPaths::Named::unread`).
        Paths m_unread;
        // What the configuration read at each folder names, inside the places, by the folder.
        std::map<std::string, Paths> m_configuredAt;
        std::set<fs::path> m_denied;
        std::map<std::string, GitFolders::Listing> m_linked;
        Protection m_protection;
    };

}

// Kept by the protection whose guard's part is still to be found.
class GuardPart {
public:
    explicit GuardPart(std::unique_ptr<Builder> builder)
        : m_builder(std::move(builder))
    {
    }

    const Protection& completed()
    {
        std::lock_guard lock(m_lock);
        if (!m_found) {
            // A part that failed half way is not found again from what it left.
            if (!m_builder)
                throw std::runtime_error("What the Git protection's guard needs could not be found.");
            auto builder = std::move(m_builder);
            m_found = builder->guardPart();
        }
        return *m_found;
    }

private:
    std::mutex m_lock;
    std::unique_ptr<Builder> m_builder;
    std::optional<Protection> m_found;
};

Protection sandboxPart(const std::vector<fs::path>& places, const GitConfigPaths::Options& options)
{
    try {
        auto builder = std::make_unique<Builder>(places, options);
        Protection protection = builder->sandboxPart();
        protection.guardPart = std::make_shared<GuardPart>(std::move(builder));
        return protection;
    } catch (const std::exception&) {
        // Out of memory: the run goes on with what the other lists deny.
        return {};
    }
}

const Protection& forGuard(const Protection& protection)
{
    return protection.guardPart ? protection.guardPart->completed() : protection;
}

Protection commandProtection(const std::vector<fs::path>& places, const GitConfigPaths::Options& options)
{
    try {
        return forGuard(sandboxPart(places, options));
    } catch (const std::exception&) {
        return {};
    }
}

}
