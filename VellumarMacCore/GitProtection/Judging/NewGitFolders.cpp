#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Judging/SettingsTakenOut.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <system_error>

namespace vellumar::NewGitFolders {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;

    // What takes the place of a "commondir" that goes aside: Git's own "../.." in a linked worktree's
    // Git folder, which leads back to the one whose "worktrees/" holds it; nothing elsewhere.
    NotedFile commonDirInstead(const fs::path& gitFolder)
    {
        if (gitFolder.parent_path().filename() == "worktrees")
            return { NotedFile::Kind::file, "../..\n", 0644 };
        return {};
    }

    // What an empty repository holds that the everyday list does not name: "git init" writes core.bare,
    // true for a bare one.
    std::vector<GitCountedSettings::Setting> emptyBeside(
        const std::vector<GitCountedSettings::Setting>& settings)
    {
        std::vector<GitCountedSettings::Setting> empty;
        for (const auto& setting : settings) {
            if (setting.key == "core.bare")
                empty.push_back(setting);
        }
        return empty;
    }

    // The settings of a configuration's bytes; absent where Git cannot read them.
    std::optional<std::vector<GitCountedSettings::Setting>> settingsIn(
        std::string_view configuration, const GitCountedSettings::Repository& repository)
    {
        auto listing = repository.settings(configuration);
        return listing ? std::optional(GitCountedSettings::settingsOf(*listing)) : std::nullopt;
    }

    // What counts in a configuration file's bytes as `found` holds them.
    std::optional<Counted> judgedConfiguration(
        const fs::path& file, const NotedFile& found, const GitCountedSettings::Repository& repository)
    {
        if (found.kind == NotedFile::Kind::absent)
            return std::nullopt;
        if (found.kind == NotedFile::Kind::large)
            return Counted { file, "the configuration is larger than the guard judges", {}, true };
        if (found.kind != NotedFile::Kind::file)
            return Counted { file, "the configuration is no plain file", {}, true };
        auto settings = settingsIn(found.content, repository);
        if (!settings)
            return Counted { file, "Git cannot read the configuration", {}, true };
        const auto empty = emptyBeside(*settings);
        auto keys = GitCountedSettings::countedKeys(empty, *settings, repository);
        if (keys.empty())
            return std::nullopt;
        Counted counted { file, GitCountedSettings::reasonFor(keys), {}, true };
        // So that Git goes on working there with the everyday settings.
        if (auto kept = SettingsTakenOut::withoutCounted(found.content, keys, empty, repository)) {
            counted.instead = { NotedFile::Kind::file, std::move(kept->configuration), found.mode };
            counted.takenOut = std::move(kept->takenOut);
        }
        return counted;
    }

    // The top of a new Git folder's work tree where Git finds it by its ".git": a linked worktree's
    // "gitdir" and a submodule's "core.worktree" tell theirs when the configuration is read.
    std::optional<fs::path> workTreeOf(const fs::path& gitFolder)
    {
        if (gitFolder.filename() != ".git")
            return std::nullopt;
        auto location = GitFolders::located(gitFolder.parent_path());
        return location && location->gitFolder == gitFolder ? location->workTree : std::nullopt;
    }

    GitCountedSettings::Repository repositoryOf(const fs::path& gitFolder, const Judging& judging)
    {
        return { gitFolder, workTreeOf(gitFolder), judging.isKnownGitFolder, judging.settings,
            [&windows = judging.windows](const fs::path& path) { return windows.holds(path); } };
    }

}

NotedFile keptOf(const Counted& counted, const NotedFile& now)
{
    auto kept = now.kind == NotedFile::Kind::file
        ? SettingsTakenOut::configurationWithout(now.content, counted.takenOut)
        : std::nullopt;
    return kept ? NotedFile { NotedFile::Kind::file, std::move(*kept), now.mode } : NotedFile {};
}

std::optional<Counted> judgedAsItWentAside(
    const fs::path& gitFolder, const fs::path& file, const NotedFile& wentAside, const Judging& judging)
{
    return judgedConfiguration(file, wentAside, repositoryOf(gitFolder, judging));
}

bool changedDuringCommands(const fs::path& path, const Judging& judging)
{
    return judging.windows.couldHaveWritten(path);
}

std::vector<Counted> counted(const fs::path& gitFolder, const BeneathPlaces& places, const Judging& judging)
{
    std::vector<Counted> found;
    // Asked before anything is read or judged: what no command could have changed is the user's.
    auto changed = [&](const fs::path& path) { return changedDuringCommands(path, judging); };
    // An empty repository's hooks folder is a folder of samples. A link goes aside unfollowed.
    std::error_code error;
    auto hooks = fs::symlink_status(gitFolder / "hooks", error).type();
    if (hooks == fs::file_type::directory) {
        // A folder renamed into place takes its entries' old stamps with it: its own stamp tells.
        const bool hooksChanged = changed(gitFolder / "hooks");
        for (const auto& name : GitNotedFiles::entriesBeneath(places, gitFolder / "hooks")) {
            if (WhatGitRuns::isHookName(name) && (hooksChanged || changed(gitFolder / "hooks" / name)))
                found.push_back({ gitFolder / "hooks" / name, "the hook " + name + " was added" });
        }
    } else if (hooks != fs::file_type::not_found && hooks != fs::file_type::none
        && changed(gitFolder / "hooks")) {
        found.push_back({ gitFolder / "hooks", "the hooks folder is no folder" });
    }
    // A linked worktree's "commondir" sends Git to the shared configuration and hooks: gitrepository-
    // layout(5) has it lead back to the Git folder whose "worktrees/" holds it.
    if (changed(gitFolder / "commondir")) {
        const bool inWorktrees = gitFolder.parent_path().filename() == "worktrees";
        const fs::path holder = gitFolder.parent_path().parent_path();
        auto location = GitFolders::locatedGitFolder(gitFolder);
        if (location && location->commonFolder != gitFolder
            && !(inWorktrees && location->commonFolder == holder)
            && !(GitFolderDefinition::isGitFolder(location->commonFolder)
                && judging.isKnownGitFolder(location->commonFolder)))
            found.push_back({ gitFolder / "commondir", "the commondir leads into no Git folder known before",
                commonDirInstead(gitFolder) });
    }
    const auto repository = repositoryOf(gitFolder, judging);
    for (const char* name : { "config", "config.worktree" }) {
        if (!changed(gitFolder / name))
            continue;
        if (auto judged = judgedConfiguration(gitFolder / name,
                GitNotedFiles::noteFile(gitFolder / name, GitNotedFiles::maxConfigurationBytes), repository))
            found.push_back(std::move(*judged));
    }
    return found;
}

std::vector<Counted> closed(const fs::path& gitFolder, const Judging& judging,
    const std::function<bool(const fs::path&)>& isPassedOver, const std::string& reason)
{
    auto changed = [&](const fs::path& path) { return changedDuringCommands(path, judging); };
    std::vector<Counted> found;
    auto close = [&](const fs::path& path, bool counts, NotedFile instead = {}) {
        if (counts && !isPassedOver(path))
            found.push_back(
                { .path = path, .reason = reason, .instead = std::move(instead), .unknownBefore = true });
    };
    const fs::path hooks = gitFolder / "hooks";
    bool hooksChanged = changed(hooks);
    for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::hook))
        hooksChanged = hooksChanged || changed(hooks / name);
    close(hooks, hooksChanged);
    for (const char* name : { "config", "config.worktree" })
        close(gitFolder / name, changed(gitFolder / name));
    close(gitFolder / "commondir", changed(gitFolder / "commondir"), commonDirInstead(gitFolder));
    for (auto name : WhatGitRuns::namesOf(WhatGitRuns::Kind::sequencerState))
        close(gitFolder / name, changed(gitFolder / name));
    return found;
}

std::vector<Counted> closedUnit(const GitNotedFiles::NotedUnit& noted, const BeneathPlaces& places,
    const Judging& judging, const std::function<bool(const fs::path&)>& isPassedOver,
    const std::string& reason)
{
    using Kind = NotedFile::Kind;
    auto changed = [&](const fs::path& path) { return changedDuringCommands(path, judging); };
    std::vector<Counted> found;
    // What goes aside whole: nothing below it is looked at.
    std::vector<fs::path> whole;
    auto close = [&](const fs::path& path, NotedFile instead) {
        if (isPassedOver(path))
            return;
        const bool isNoted = instead.kind == Kind::file || instead.kind == Kind::link;
        found.push_back({ path, reason, isNoted ? std::move(instead) : NotedFile {}, false, {}, isNoted });
        whole.push_back(path);
    };
    auto isBelowWhole = [&](const fs::path& path) {
        return std::ranges::any_of(whole, [&](const fs::path& folder) { return isPathInside(path, folder); });
    };
    auto isFolder = [](const fs::path& path) {
        std::error_code error;
        return fs::symlink_status(path, error).type() == fs::file_type::directory;
    };
    // By path, so each folder comes before what it holds.
    for (const auto& [path, before] : noted.files) {
        if (isBelowWhole(path) || !changed(path))
            continue;
        if (before.kind == Kind::other || before.kind == Kind::namedFolder
            || before.kind == Kind::searchedFolder) {
            if (!isFolder(path)) {
                close(path, {});
                continue;
            }
            const bool isHooks = noted.gitFolder && path == *noted.gitFolder / "hooks";
            if (before.kind == Kind::other && !isHooks)
                continue;
            for (const auto& name : GitNotedFiles::entriesBeneath(places, path)) {
                const fs::path entry = path / name;
                const bool counts
                    = isHooks ? WhatGitRuns::isHookName(name) : before.isNamed() || changed(entry);
                if (counts && !noted.files.contains(entry))
                    close(entry, {});
            }
        } else if (noted.isHead(path)) {
            auto reached = places.reach(path);
            if (reached && !reached->throughLink
                && !GitNotedFiles::gitReadsAsHead(
                    GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes)))
                close(path, before);
        } else {
            close(path, before);
        }
    }
    return found;
}
}
