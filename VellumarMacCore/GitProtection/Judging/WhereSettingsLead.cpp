#include "VellumarMacCore/GitProtection/Judging/WhereSettingsLead.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <system_error>

namespace vellumar::WhereSettingsLead {

namespace {

    namespace fs = std::filesystem;
    using GitCountedSettings::lastOf;
    using GitCountedSettings::Repository;
    using GitCountedSettings::Setting;
    using RemoteName = EverydaySettings::Surroundings::RemoteName;

    // A ".gitmodules" past this is not read: no real one comes near it.
    constexpr std::size_t kGitmodulesBytes = 1024 * 1024;

    // `relative` leads strictly below the folder it is relative to, as written.
    bool isBelow(const fs::path& relative)
    {
        return !relative.empty() && relative != "." && *relative.begin() != "..";
    }

    // Where Git runs with this configuration, and so what a relative path is taken from: each top of a
    // work tree Git would use with the Git folder (`GitFolders::workTreesOf`), its linked worktrees' too,
    // which share the configuration. Absent where one is unknown (where nothing leads Git to a work tree
    // but the folder is no bare repository), or past as many linked worktrees as are guarded.
    std::optional<std::vector<fs::path>> topsOf(
        const Repository& repository, const std::vector<Setting>& settings)
    {
        const Setting* workTree = lastOf(settings, "core.worktree");
        const Setting* bare = lastOf(settings, "core.bare");
        std::vector<fs::path> gitFiles;
        if (repository.workTree)
            gitFiles.push_back(*repository.workTree / ".git");
        auto found = GitFolders::workTreesOf(repository.gitFolder,
            GitFolders::locatedGitFolder(repository.gitFolder), gitFiles,
            workTree ? workTree->value : std::nullopt);
        const bool isBare = bare && bare->value && detail::asciiLowercased(*bare->value) == "true";
        if (!found.complete || found.tops.empty() || (found.tops.front() == repository.gitFolder && !isBare))
            return std::nullopt;
        return std::move(found.tops);
    }

    // Whether `path`, resolved as the kernel resolves as much of it as exists, lies outside every place
    // where a command could write.
    bool liesOutside(const Repository& repository, const fs::path& path)
    {
        std::error_code error;
        const fs::path resolved = fs::weakly_canonical(path, error);
        return repository.isWritable && !error && !repository.isWritable(resolved);
    }

    bool isUsers(const Repository& repository, const fs::path& gitFolder)
    {
        return (repository.isKnownGitFolder && repository.isKnownGitFolder(gitFolder))
            || liesOutside(repository, gitFolder);
    }

    // git-receive-pack enters the first of "<path>/.git", "<path>", "<path>.git/.git" and "<path>.git"
    // that is a ".git" file or a Git folder (enter_repo()), and runs the hooks of its common folder. Both
    // must be the user's. A file Git would read as a ".git" file, and a Git folder Git might pass over for
    // the next, count; so does "~", which the guard does not expand. Where Git enters nothing yet, only a
    // path outside every writable place is the user's to make a repository at.
    bool entersOnlyTheUsers(const Repository& repository, const fs::path& path)
    {
        const fs::path withSuffix(path.native() + ".git");
        for (const fs::path& candidate : { path, withSuffix }) {
            if (auto location = GitFolders::located(candidate))
                return isUsers(repository, location->gitFolder)
                    && isUsers(repository, location->commonFolder);
            std::error_code error;
            auto status = fs::status(candidate, error);
            if (fs::exists(status) && !fs::is_directory(status))
                return false;
        }
        return liesOutside(repository, path) && liesOutside(repository, withSuffix);
    }

    // A relative path is taken from each top Git runs at with the configuration.
    bool leadsOnlyToTheUsers(const Repository& repository, const std::optional<std::vector<fs::path>>& tops,
        std::string_view written)
    {
        if (written.empty() || written.starts_with('~'))
            return false;
        const fs::path path(written);
        if (path.is_absolute())
            return entersOnlyTheUsers(repository, path);
        return tops && std::all_of(tops->begin(), tops->end(), [&](const fs::path& top) {
            return entersOnlyTheUsers(repository, top / path);
        });
    }

    // The folder ".gitmodules" at `top` records for the submodule `name`: the last "path" Git reads there.
    std::optional<fs::path> recordedWorkTree(
        const Repository& repository, const fs::path& top, const fs::path& name)
    {
        std::string bytes = BoundedFile::start(top / ".gitmodules", kGitmodulesBytes + 1);
        auto listing = bytes.size() <= kGitmodulesBytes && repository.settings ? repository.settings(bytes)
                                                                               : std::nullopt;
        if (!listing)
            return std::nullopt;
        auto recorded = GitCountedSettings::settingsOf(*listing);
        const Setting* path = lastOf(recorded, "submodule." + name.generic_string() + ".path");
        if (!path || !path->value)
            return std::nullopt;
        return standardizedPath(top / *path->value);
    }

    // A submodule's Git folder "<superproject's Git folder>/modules/<name>" belongs to the work tree that
    // the superproject's ".gitmodules" records for <name>, whose ".git" file names the Git folder back:
    // "git submodule add" writes that file before ".gitmodules", and "deinit" removes it before it
    // unsets "core.worktree", so either tells. The superproject is the repository Git finds above the
    // work tree. Its own only below its top, through no link and in no ".git", where checking it out
    // writes nothing into a Git folder.
    bool namesOwnWorkTree(const Repository& repository, std::string_view value)
    {
        if (value.empty())
            return false;
        const fs::path workTree = standardizedPath(repository.gitFolder / value);
        std::error_code error;
        if (fs::weakly_canonical(workTree, error) != workTree || error)
            return false;
        fs::path top = workTree.parent_path();
        while (!fs::exists(fs::symlink_status(top / ".git", error))) {
            if (top == top.root_path())
                return false;
            top = top.parent_path();
        }
        auto superproject = GitFolders::located(top);
        if (!superproject)
            return false;
        const fs::path inTop = workTree.lexically_relative(top);
        const fs::path name = repository.gitFolder.lexically_relative(superproject->gitFolder / "modules");
        if (!isBelow(inTop) || !isBelow(name)
            || std::any_of(inTop.begin(), inTop.end(), [](const fs::path& part) { return part == ".git"; }))
            return false;
        auto namesBack = GitFolders::located(workTree);
        return (namesBack && namesBack->gitFile && namesBack->gitFolder == repository.gitFolder)
            || recordedWorkTree(repository, top, name) == workTree;
    }

    using Remotes = std::set<std::string, std::less<>>;

    // git-config(1) "remote.<name>.url": a remote with a URL is the one Git takes by that name.
    Remotes remotesOf(const std::vector<Setting>& settings)
    {
        Remotes remotes;
        for (const auto& setting : settings) {
            constexpr std::string_view prefix = "remote.", suffix = ".url";
            if (setting.value && setting.key.size() > prefix.size() + suffix.size()
                && setting.key.starts_with(prefix) && setting.key.ends_with(suffix))
                remotes.insert(
                    setting.key.substr(prefix.size(), setting.key.size() - prefix.size() - suffix.size()));
        }
        return remotes;
    }

    // A remote's name that the configuration gives no URL is read from the common folder's files
    // (read_remotes_file(), read_branches_file()), where it is a nickname: no "/", not "." or "..".
    RemoteName remoteNamed(const Repository& repository, const Remotes& remotes, std::string_view name)
    {
        if (remotes.contains(name))
            return RemoteName::configured;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
            return RemoteName::url;
        auto location = GitFolders::locatedGitFolder(repository.gitFolder);
        const fs::path common = location ? location->commonFolder : repository.gitFolder;
        std::error_code error;
        for (const char* folder : { "remotes", "branches" }) {
            if (fs::exists(fs::symlink_status(common / folder / std::string(name), error)))
                return RemoteName::inFile;
        }
        return RemoteName::url;
    }

}

EverydaySettings::Surroundings surroundingsOf(
    const Repository& repository, const std::vector<Setting>& settings)
{
    auto remotes = std::make_shared<const Remotes>(remotesOf(settings));
    return {
        .remoteNamed
        = [&repository, remotes](std::string_view name) { return remoteNamed(repository, *remotes, name); },
        .leadsOnlyToTheUsers =
            [&repository, &settings](std::string_view path) {
                return leadsOnlyToTheUsers(repository, topsOf(repository, settings), path);
            },
        .namesOwnWorkTree
        = [&repository](std::string_view value) { return namesOwnWorkTree(repository, value); },
    };
}

}
