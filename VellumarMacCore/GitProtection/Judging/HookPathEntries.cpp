#include "VellumarMacCore/GitProtection/Judging/HookPathEntries.h"

#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <iterator>
#include <sys/stat.h>

namespace vellumar::HookPathEntries {

namespace {

    namespace fs = std::filesystem;
    using Kind = GitNotedFiles::NotedFile::Kind;

    // Whether PATH's search could run what is at `path`: a link, which may lead to a program, or an
    // executable file.
    bool mayRun(const fs::path& path)
    {
        struct stat status { };
        return ::lstat(path.c_str(), &status) == 0
            && (S_ISLNK(status.st_mode) || (S_ISREG(status.st_mode) && (status.st_mode & 0111) != 0));
    }

}

std::vector<NewGitFolders::Counted> counted(const fs::path& gitFolder, const GitNotedFiles::NotedUnit* noted,
    const BeneathPlaces& places, const NewGitFolders::Judging& judging)
{
    const auto location = GitFolders::locatedGitFolder(gitFolder);
    const fs::path top = location && location->gitFile ? location->gitFile->parent_path()
        : gitFolder.filename() == ".git"               ? gitFolder.parent_path()
                                                       : gitFolder;
    std::vector<fs::path> hookFolders { (location ? location->commonFolder : gitFolder) / "hooks" };
    if (noted) {
        for (const auto& [path, file] : noted->files) {
            if (file.kind == Kind::namedFolder)
                hookFolders.push_back(path);
        }
    }
    std::vector<fs::path> folders;
    std::vector<fs::path> relatives;
    for (auto& folder : HookSearchPath::foldersPutFirst(hookFolders, top))
        (folder.is_absolute() ? folders : relatives).push_back(std::move(folder));
    const auto& paths = places.paths();
    if (auto place = std::find_if(paths.begin(), paths.end(),
            [&](const fs::path& candidate) { return isPathInside(top, candidate); });
        place != paths.end() && !relatives.empty())
        std::ranges::move(HookSearchPath::wherePutFirst(*place, top, relatives), std::back_inserter(folders));
    const GitNotedFiles::NotedUnit project { gitFolder, top, {}, {} };
    std::vector<NewGitFolders::Counted> found;
    for (const auto& folder : folders) {
        if (noted) {
            if (auto at = noted->files.find(folder);
                at != noted->files.end() && at->second.kind == Kind::searchedFolder)
                continue;
        }
        const bool holdsHooks
            = std::find(hookFolders.begin(), hookFolders.end(), folder) != hookFolders.end();
        for (const auto& name : GitNotedFiles::shadowingEntriesBeneath(project, places, folder)) {
            fs::path entry = folder / name;
            if ((noted && noted->files.contains(entry)) || (holdsHooks && WhatGitRuns::isHookName(name))
                || !NewGitFolders::changedDuringCommands(entry, judging) || !mayRun(entry))
                continue;
            found.push_back({ std::move(entry),
                "a hook puts its folder first on PATH, where it would run in place of the user's " + name });
        }
    }
    return found;
}

}
