#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"

#include "Platform/Log.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

namespace vellumar::GitFolders {

namespace {

    namespace fs = std::filesystem;

    // Walks one Git folder's linked folders, each folder once.
    class LinkedWalk {
    public:
        // A link back to `gitFolder` itself is no way in either.
        LinkedWalk(
            const fs::path& gitFolder, const std::function<WalkStep(const std::optional<LinkedEntry>&)>& step)
            : m_step(step)
            , m_entered { resolvingSymlinks(gitFolder).value_or(gitFolder) }
        {
        }

        // Whether the walk goes on after `gitFolder`'s.
        bool inside(const fs::path& gitFolder)
        {
            return read(gitFolder / "worktrees", true) && read(gitFolder / "modules", false);
        }

    private:
        bool read(const fs::path& folder, bool isWorktrees)
        {
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
                auto entry = entryAt(*it, isWorktrees);
                WalkStep step = m_step(entry);
                if (step == WalkStep::stop)
                    return false;
                if (step == WalkStep::passOver || !entry || (isWorktrees && !entry->isGitFolder)
                    || !m_entered.insert(entry->folder).second)
                    continue;
                if (!(entry->isGitFolder ? inside(entry->folder) : read(entry->folder, false)))
                    return false;
            }
            return true;
        }

        static std::optional<LinkedEntry> entryAt(const fs::directory_entry& entry, bool isWorktrees)
        {
            std::error_code error;
            if (!entry.is_directory(error))
                return std::nullopt;
            auto folder = resolvingSymlinks(entry.path());
            if (!folder)
                return std::nullopt;
            const bool isGitFolder = GitFolderDefinition::isGitFolder(*folder);
            return LinkedEntry { std::move(*folder), entry.is_symlink(error), isGitFolder, isWorktrees };
        }

        const std::function<WalkStep(const std::optional<LinkedEntry>&)>& m_step;
        std::set<fs::path> m_entered;
    };

    // As the kernel will resolve it when a command writes there; a path it cannot resolve reaches
    // nothing to protect.
    void appendResolved(std::vector<fs::path>& paths, const fs::path& written)
    {
        if (auto real = resolvingSymlinks(written))
            paths.push_back(std::move(*real));
    }

    void appendLinkedFolderPaths(std::vector<fs::path>& paths, const fs::path& folder)
    {
        std::error_code error;
        if (fs::exists(fs::symlink_status(folder / "commondir", error)))
            appendResolved(paths, folder / "commondir");
        for (const char* name : { "config.worktree", "hooks", "config" })
            appendResolved(paths, folder / name);
    }

    // Git then cannot add a worktree or fetch into a submodule there, but every other command works.
    void appendWholeGitFolders(
        std::vector<fs::path>& paths, const fs::path& gitFolder, const Listing& listing)
    {
        std::size_t first = paths.size();
        for (const char* name : { "worktrees", "modules" }) {
            std::error_code error;
            if (fs::is_directory(gitFolder / name, error))
                appendResolved(paths, gitFolder / name);
        }
        std::size_t wholeEnd = paths.size();
        for (const auto& target : listing.linkTargets) {
            auto from = paths.begin() + static_cast<std::ptrdiff_t>(first);
            auto to = paths.begin() + static_cast<std::ptrdiff_t>(wholeEnd);
            if (std::none_of(from, to, [&](const fs::path& whole) { return isPathInside(target, whole); })
                && std::find(paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end(), target)
                    == paths.end())
                paths.push_back(target);
        }
        platform::logError("The Git folder " + gitFolder.string()
            + " holds more linked worktrees and submodules than the sandbox has room to protect one by one;"
              " commands may change nothing in its \"worktrees\" and \"modules\" folders in this run.");
    }

    // Git's small record files are read no further than this.
    constexpr std::size_t kRecordBytes = 4096;

    constexpr std::string_view kLineEnds = "\r\n";
    // What Git trims from a linked worktree's "gitdir" (isspace(3)).
    constexpr std::string_view kBlanks = " \t\n\v\f\r";

    // gitrepository-layout(5): a ".git" file is "gitdir: <path>".
    std::optional<fs::path> namedGitFolder(const fs::path& gitFile)
    {
        using GitFolderDefinition::recordedPath;
        constexpr std::string_view prefix = "gitdir: ";
        std::string line = recordedPath(BoundedFile::start(gitFile, kRecordBytes), kLineEnds);
        if (!line.starts_with(prefix) || line.size() == prefix.size())
            return std::nullopt;
        auto target = resolvingSymlinks(gitFile.parent_path() / line.substr(prefix.size()));
        if (!target || !GitFolderDefinition::isGitFolder(*target))
            return std::nullopt;
        return target;
    }

    // `gitFolder`, as the kernel resolves it, passed `GitFolderDefinition::isGitFolder`, which found where
    // its "commondir" leads. Only a folder that names another is resolved again: a thousand repositories'
    // paths resolved twice each held the run's end back.
    Location withCommonFolder(const fs::path& gitFolder)
    {
        auto named = GitFolderDefinition::commonFolderOf(gitFolder);
        fs::path common = named ? resolvingSymlinks(*named).value_or(*named) : gitFolder;
        return { gitFolder, std::move(common), std::nullopt, std::nullopt };
    }

}

Listing linkedFolders(const fs::path& place, std::size_t limit)
{
    std::error_code error;
    // A ".git" file points at a Git folder kept elsewhere, whose own place lists it.
    if (!fs::is_directory(place / ".git", error))
        return {};
    return linkedFoldersOfGitFolder(place / ".git", limit);
}

void walkLinkedFolders(
    const fs::path& gitFolder, const std::function<WalkStep(const std::optional<LinkedEntry>&)>& step)
{
    LinkedWalk(gitFolder, step).inside(gitFolder);
}

Listing linkedFoldersOfGitFolder(const fs::path& gitFolder, std::size_t limit)
{
    Listing listing;
    std::size_t read = 0;
    // Goes on past the limit, so that every link among the entries read is known.
    walkLinkedFolders(gitFolder, [&](const std::optional<LinkedEntry>& entry) {
        if (++read > maxScannedEntries) {
            listing.complete = false;
            return WalkStep::stop;
        }
        if (!entry)
            return WalkStep::passOver;
        if (entry->isLink)
            listing.linkTargets.push_back(entry->folder);
        if (entry->isGitFolder && listing.folders.size() >= limit)
            listing.complete = false;
        else if (entry->isGitFolder)
            listing.folders.push_back(entry->folder);
        return WalkStep::enter;
    });
    return listing;
}

std::vector<fs::path> commandProtectedPaths(const std::vector<fs::path>& places, std::size_t limit)
{
    std::vector<fs::path> gitFolders;
    for (const auto& place : places) {
        std::error_code error;
        if (fs::is_directory(place / ".git", error))
            gitFolders.push_back(place / ".git");
    }
    return commandProtectedPathsOfGitFolders(gitFolders, limit);
}

std::vector<fs::path> commandProtectedPathsOfGitFolders(
    const std::vector<fs::path>& gitFolders, std::size_t limit)
{
    std::vector<fs::path> paths;
    std::size_t left = limit;
    // A repository named twice, as two grants or through a link, spends the budget once. A Git
    // folder the kernel cannot resolve is none Git could use.
    std::set<fs::path> seen;
    for (const auto& gitFolder : gitFolders) {
        auto resolved = resolvingSymlinks(gitFolder);
        if (!resolved || !seen.insert(std::move(*resolved)).second)
            continue;
        Listing listing = linkedFoldersOfGitFolder(gitFolder, left);
        if (!listing.complete) {
            appendWholeGitFolders(paths, gitFolder, listing);
            continue;
        }
        left -= listing.folders.size();
        for (const auto& folder : listing.folders)
            appendLinkedFolderPaths(paths, folder);
    }
    return paths;
}

std::optional<Location> located(const fs::path& folder)
{
    const fs::path dotGit = folder / ".git";
    std::error_code error;
    // Git's set-up takes a ".git" file it cannot follow as an error, not as no repository there.
    if (fs::symlink_status(dotGit, error).type() == fs::file_type::regular) {
        auto gitFolder = namedGitFolder(dotGit);
        if (!gitFolder)
            return std::nullopt;
        Location location = withCommonFolder(*gitFolder);
        location.gitFile = dotGit;
        location.workTree = folder;
        return location;
    }
    if (GitFolderDefinition::isGitFolder(dotGit)) {
        Location location = withCommonFolder(resolvingSymlinks(dotGit).value_or(dotGit));
        location.workTree = folder;
        return location;
    }
    return locatedGitFolder(folder);
}

std::optional<Location> locatedGitFolder(const fs::path& gitFolder)
{
    if (!GitFolderDefinition::isGitFolder(gitFolder))
        return std::nullopt;
    Location location = withCommonFolder(resolvingSymlinks(gitFolder).value_or(gitFolder));
    // A hint to where the ".git" file lies, which Git keeps to list and prune its worktrees: its first
    // line is taken, so that whatever follows it cannot hide the file.
    std::error_code error;
    const bool hintIsFile = fs::symlink_status(gitFolder / "gitdir", error).type() == fs::file_type::regular;
    std::string hint = hintIsFile ? BoundedFile::start(gitFolder / "gitdir", kRecordBytes) : "";
    if (std::string named = GitFolderDefinition::recordedPath(hint.substr(0, hint.find('\n')), kBlanks);
        !named.empty()) {
        location.gitFile = gitFolder / named;
        location.workTree = location.gitFile->parent_path();
    }
    return location;
}

WorkTrees workTreesOf(const fs::path& gitFolder, const std::optional<Location>& location,
    const std::vector<fs::path>& gitFiles, const std::optional<std::string>& workTreeSetting)
{
    WorkTrees found;
    std::vector<fs::path>& tops = found.tops;
    auto add = [&](const fs::path& top) {
        if (auto resolved = resolvingSymlinks(top);
            resolved && std::find(tops.begin(), tops.end(), *resolved) == tops.end())
            tops.push_back(std::move(*resolved));
    };
    const bool isCommonFolder = location && location->commonFolder == location->gitFolder;
    if (workTreeSetting && isCommonFolder) {
        add(gitFolder / *workTreeSetting);
    } else {
        if (location && location->gitFile)
            add(location->gitFile->parent_path());
        for (const auto& gitFile : gitFiles)
            add(gitFile.parent_path());
        if (gitFolder.filename() == ".git")
            add(gitFolder.parent_path());
        if (tops.empty())
            tops.push_back(gitFolder);
    }
    if (isCommonFolder) {
        std::size_t linkedCount = 0;
        walkLinkedFolders(gitFolder, [&](const std::optional<LinkedEntry>& entry) {
            if (entry && !entry->isWorktree)
                return WalkStep::stop;
            if (!entry || !entry->isGitFolder)
                return WalkStep::passOver;
            auto linked = locatedGitFolder(entry->folder);
            if (linked && linked->gitFile)
                add(linked->gitFile->parent_path());
            found.complete = found.complete && linked && linked->gitFile && ++linkedCount <= maxLinkedFolders;
            return WalkStep::passOver;
        });
    }
    return found;
}

}
