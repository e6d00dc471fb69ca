#include "VellumarMacCore/GitProtection/Judging/HookPathEntries.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/GitProgramSettings.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/Finding/PlainGitSettings.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <system_error>

namespace vellumar::HookPathEntries {

namespace {

    namespace fs = std::filesystem;
    using Kind = GitNotedFiles::NotedFile::Kind;
    using GitCountedSettings::Setting;

    // Whether PATH's search could run what is at `path`: a link, which may lead to a program, or an
    // executable file.
    bool mayRun(const fs::path& path)
    {
        struct stat status { };
        return ::lstat(path.c_str(), &status) == 0
            && (S_ISLNK(status.st_mode) || (S_ISREG(status.st_mode) && (status.st_mode & 0111) != 0));
    }

    // The value Git takes of `key`, where one is written.
    std::optional<std::string> valueOf(const std::vector<Setting>& settings, std::string_view key)
    {
        const Setting* setting = GitCountedSettings::lastOf(settings, key);
        return setting ? setting->value : std::nullopt;
    }

    struct WhereHooksRun {
        std::vector<Setting> settings;
        // Each of those files that sets "core.hooksPath".
        std::vector<fs::path> settingHooksPath;
    };

    // The settings of the configuration Git reads in `location`'s repository that may say where its
    // hooks run and which: the shared "config", then its own "config.worktree". Read only where a file
    // names "worktree" or "hooksPath", and by `git` only where it is not plain (`PlainGitSettings`), so
    // that a thousand repositories cost no `git` each.
    WhereHooksRun whereHooksRun(const GitFolders::Location& location, const NewGitFolders::Judging& judging)
    {
        WhereHooksRun where;
        for (const auto& file :
            { location.commonFolder / "config", location.gitFolder / "config.worktree" }) {
            std::string bytes = BoundedFile::start(file, GitNotedFiles::maxCopiedBytes);
            const std::string lowered = detail::asciiLowercased(bytes);
            if (lowered.find("worktree") == std::string::npos
                && lowered.find("hookspath") == std::string::npos)
                continue;
            std::vector<Setting> settings;
            if (auto plain = bytes.size() < GitNotedFiles::maxCopiedBytes
                    ? PlainGitSettings::settingsOf(bytes)
                    : std::nullopt) {
                for (auto& [key, value] : *plain)
                    settings.push_back({ std::move(key), std::move(value) });
            } else if (auto listing = judging.settings(bytes))
                settings = GitCountedSettings::settingsOf(*listing);
            if (GitCountedSettings::lastOf(settings, "core.hookspath"))
                where.settingHooksPath.push_back(file);
            std::ranges::move(settings, std::back_inserter(where.settings));
        }
        return where;
    }

    // The folders Git's configuration names for the hooks of `gitFolder` run at each of `tops`, as a run's
    // start reads them for a repository it notes (`GitConfigPaths::configuredPaths`: through every file
    // it includes, whether its condition holds now or not), where the ".git" at the top leads Git there.
    std::vector<std::vector<fs::path>> configuredFolders(
        const fs::path& gitFolder, const std::vector<fs::path>& tops, const fs::path& home)
    {
        std::vector<fs::path> readAt;
        for (const auto& top : tops) {
            if (auto location = GitFolders::located(top); location && location->gitFolder == gitFolder)
                readAt.push_back(top);
        }
        const char* searchPath = std::getenv("PATH");
        auto named = GitConfigPaths::configuredPaths(
            readAt, { .home = home, .searchPath = searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin" })
                         .paths;
        std::vector<std::vector<fs::path>> folders(tops.size());
        for (std::size_t index = 0; index < readAt.size() && index < named.size(); ++index) {
            auto& at = folders[static_cast<std::size_t>(
                std::find(tops.begin(), tops.end(), readAt[index]) - tops.begin())];
            std::ranges::copy_if(named[index], std::back_inserter(at), [](const fs::path& path) {
                std::error_code error;
                return fs::is_directory(path, error);
            });
        }
        return folders;
    }

    // The folders the scripts of `hookFolders` put first on PATH for hooks run at `top` with `environment`,
    // each relative one wherever it lies below `top` in a place; every folder below it there where their
    // words cannot be followed.
    HookSearchPath::PutFirst foldersPutFirst(const std::vector<fs::path>& hookFolders, const fs::path& top,
        const CommandEnvironment& environment, const BeneathPlaces& places)
    {
        auto [named, unresolved] = HookSearchPath::foldersPutFirst(hookFolders, top, environment);
        HookSearchPath::PutFirst found { {}, std::move(unresolved) };
        std::vector<fs::path> relatives;
        for (auto& folder : named)
            (folder.is_absolute() ? found.folders : relatives).push_back(std::move(folder));
        const auto& paths = places.paths();
        auto place = std::find_if(paths.begin(), paths.end(),
            [&](const fs::path& candidate) { return isPathInside(top, candidate); });
        if (place == paths.end())
            return found;
        std::ranges::move(found.unresolved ? HookSearchPath::foldersBelow(*place, top)
                                           : HookSearchPath::wherePutFirst(*place, top, relatives),
            std::back_inserter(found.folders));
        return found;
    }

}

namespace {

    // Where the hooks of `found` run and which folders hold them, as `counted` takes them.
    struct Hooks {
        std::vector<fs::path> tops;
        // The folders of its hooks at every top: its "commondir"'s "hooks", and those `noted` holds.
        std::vector<fs::path> notedFolders;
        // Where no run noted it, or it is linked, its folders are read from its settings, not from what was
        // noted: "core.hooksPath" among them.
        bool readsSettings = false;
        std::optional<std::string> hooksPath;
        // The configuration files that set it.
        std::vector<fs::path> settingHooksPath;
        // The environment the user's Git runs hooks with, and its HOME.
        CommandEnvironment environment;
        fs::path home;
    };

    Hooks hooksOf(const GitFoldersInPlaces::Found& found, const GitNotedFiles::NotedUnit* noted,
        const NewGitFolders::Judging& judging)
    {
        const fs::path& gitFolder = found.gitFolder;
        const auto location = GitFolders::locatedGitFolder(gitFolder);
        auto [settings, settingHooksPath] = location ? whereHooksRun(*location, judging) : WhereHooksRun {};
        Hooks hooks;
        hooks.notedFolders = { (location ? location->commonFolder : gitFolder) / "hooks" };
        if (noted) {
            for (const auto& [path, file] : noted->files) {
                if (file.kind == Kind::namedFolder)
                    hooks.notedFolders.push_back(path);
            }
        }
        // What no run noted has its hooks folders read here, as a run's start reads a known one's; its own
        // "core.hooksPath" also where no ".git" at a top leads to it, as for a bare repository. So has a
        // linked Git folder, noted or not: its hooks are named by the settings it shares with its common
        // folder, at whatever top its files now give, where what was noted named them at the top it had.
        hooks.readsSettings = !noted || (location && location->commonFolder != location->gitFolder);
        hooks.hooksPath = valueOf(settings, "core.hookspath");
        hooks.settingHooksPath = std::move(settingHooksPath);
        hooks.environment = HookSearchPath::usersEnvironment();
        const auto homeVariable = hooks.environment.find("HOME");
        hooks.home = homeVariable != hooks.environment.end() ? fs::path(homeVariable->second) : fs::path();
        hooks.tops
            = GitFolders::workTreesOf(gitFolder, location, found.gitFiles, valueOf(settings, "core.worktree"))
                  .tops;
        return hooks;
    }

    // Whether `folder` holds one of Git's hooks: listed without following a link where it lies `beneath` a
    // place, else where it is, as no command could write there.
    bool holdsHooks(const BeneathPlaces& places, const fs::path& folder, bool beneath)
    {
        auto isHook = [](const std::string& name) { return WhatGitRuns::isHookName(name); };
        if (beneath)
            return std::ranges::any_of(GitNotedFiles::entriesBeneath(places, folder), isHook);
        std::error_code error;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error)) {
            if (isHook(entry->path().filename().string()))
                return true;
        }
        return false;
    }

    // The ".git" file at `top` that sends Git to `gitFolder`; empty where none does.
    fs::path sentThereFrom(const fs::path& top, const fs::path& gitFolder)
    {
        const auto location = GitFolders::located(top);
        return location && location->gitFile && location->gitFolder == gitFolder ? top / ".git" : fs::path();
    }

    // The folder "core.hooksPath" names for the hooks run at `top`, where it names one.
    std::optional<fs::path> hooksPathAt(const Hooks& hooks, const fs::path& top)
    {
        return hooks.hooksPath ? GitProgramSettings::configuredPath(*hooks.hooksPath, top, hooks.home)
                               : std::nullopt;
    }

}

std::vector<NewGitFolders::Counted> counted(const GitFoldersInPlaces::Found& found,
    const GitNotedFiles::NotedUnit* noted, const BeneathPlaces& places, const NewGitFolders::Judging& judging)
{
    const Hooks hooks = hooksOf(found, noted, judging);
    const auto configured = hooks.readsSettings ? configuredFolders(found.gitFolder, hooks.tops, hooks.home)
                                                : std::vector<std::vector<fs::path>>(hooks.tops.size());
    std::vector<NewGitFolders::Counted> counted;
    for (std::size_t index = 0; index < hooks.tops.size(); ++index) {
        const fs::path& top = hooks.tops[index];
        std::vector<fs::path> hookFolders = hooks.notedFolders;
        hookFolders.insert(hookFolders.end(), configured[index].begin(), configured[index].end());
        if (auto folder = hooks.readsSettings ? hooksPathAt(hooks, top) : std::nullopt) {
            if (auto scripts = GitProgramSettings::hookManagerFolder(*folder, top))
                hookFolders.push_back(std::move(*scripts));
            hookFolders.push_back(std::move(*folder));
        }
        // Made for the first entry it is asked of: resolving and stamping every folder on the user's PATH
        // for each of a thousand tops whose hooks put nothing first took much of a run's end.
        std::optional<HookSearchPath::ShadowedPrograms> programs;
        const auto [folders, unresolved] = foldersPutFirst(hookFolders, top, hooks.environment, places);
        const std::string why = unresolved
            ? "a hook's words may run or put first on PATH what cannot be followed (" + *unresolved
                + "), so every folder of its work tree counts as put first, and there it would run in place"
                  " of the user's "
            : "a hook puts its folder first on PATH, where it would run in place of the user's ";
        for (const auto& folder : folders) {
            if (noted) {
                if (auto at = noted->files.find(folder);
                    at != noted->files.end() && at->second.kind == Kind::searchedFolder)
                    continue;
            }
            const bool holdsHooks
                = std::find(hookFolders.begin(), hookFolders.end(), folder) != hookFolders.end();
            for (const auto& name : GitNotedFiles::entriesBeneath(places, folder)) {
                fs::path entry = folder / name;
                if (!programs)
                    programs.emplace(top, HookSearchPath::usersSearchPath());
                if (!programs->shadows(name) || (noted && noted->files.contains(entry))
                    || (holdsHooks && WhatGitRuns::isHookName(name))
                    || !NewGitFolders::changedDuringCommands(entry, judging) || !mayRun(entry))
                    continue;
                counted.push_back({ std::move(entry), why + name });
            }
        }
    }
    return counted;
}

std::vector<NewGitFolders::Counted> closed(const GitFoldersInPlaces::Found& found,
    const GitNotedFiles::NotedUnit* noted, const BeneathPlaces& places, const NewGitFolders::Judging& judging,
    const std::function<bool(const fs::path&)>& isPassedOver, const std::string& reason)
{
    using Keys = std::set<std::string, std::less<>>;
    const Hooks hooks = hooksOf(found, noted, judging);
    std::vector<NewGitFolders::Counted> counted;
    std::set<fs::path> taken;
    auto close = [&](const fs::path& path, const std::string& why, Keys takenOut) {
        if (!isPassedOver(path) && taken.insert(path).second)
            counted.push_back(
                { .path = path, .reason = why, .takenOut = std::move(takenOut), .unknownBefore = true });
    };
    for (const auto& top : hooks.tops) {
        std::vector<fs::path> read = hooks.notedFolders;
        // Only the folders Git runs hooks from go aside, not the scripts a hook manager's runners there run.
        std::vector<fs::path> running { hooks.notedFolders.front() };
        const auto hooksPath = hooksPathAt(hooks, top);
        if (hooksPath) {
            read.push_back(*hooksPath);
            running.push_back(*hooksPath);
        }
        auto [folders, unresolved] = HookSearchPath::foldersPutFirst(read, top, hooks.environment);
        if (folders.empty() && !unresolved)
            continue;
        for (const auto& folder : running) {
            const bool beneath = isPathCoveredByAny(folder, places.paths());
            if (!holdsHooks(places, folder, beneath))
                continue;
            // One outside every place cannot go aside: the ".git" file at the top that sends Git to it does,
            // and for a ".git" folder each configuration file in a place whose "core.hooksPath" names it,
            // the same file without that setting in its place where what else it holds is the user's:
            // noted (its comparison, done first, settled it) or unchanged while a command could write; else
            // whole.
            const fs::path aside = beneath ? folder : sentThereFrom(top, found.gitFolder);
            if (!aside.empty())
                close(aside, reason, {});
            else if (folder == hooksPath) {
                for (const auto& file : hooks.settingHooksPath) {
                    const bool restIsTheUsers = (noted && noted->files.contains(file))
                        || !NewGitFolders::changedDuringCommands(file, judging);
                    if (isPathCoveredByAny(file, places.paths()))
                        close(file, reason + "; the core.hooksPath it sets names hooks outside every place",
                            restIsTheUsers ? Keys { "core.hookspath" } : Keys {});
                }
            }
        }
    }
    return counted;
}
}
