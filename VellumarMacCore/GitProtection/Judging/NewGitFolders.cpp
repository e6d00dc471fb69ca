#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Judging/WhatGitRuns.h"

#include <optional>
#include <system_error>

namespace vellumar::NewGitFolders {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;

    std::optional<Counted> judgedConfiguration(
        const fs::path& file, const GitCountedSettings::Repository& repository)
    {
        NotedFile found = GitNotedFiles::noteFile(file);
        if (found.kind == NotedFile::Kind::absent)
            return std::nullopt;
        if (found.kind != NotedFile::Kind::file)
            return Counted { file, "the configuration is no plain file", {}, true };
        auto listing = repository.settings(found.content);
        if (!listing)
            return Counted { file, "Git cannot read the configuration", {}, true };
        auto after = GitCountedSettings::settingsOf(*listing);
        // What an empty repository holds that the everyday list does not name: "git init" writes
        // core.bare, true for a bare one.
        std::vector<GitCountedSettings::Setting> empty;
        for (const auto& setting : after) {
            if (setting.key == "core.bare")
                empty.push_back(setting);
        }
        if (auto reason = GitCountedSettings::judged(empty, after, repository))
            return Counted { file, *reason, {}, true };
        return std::nullopt;
    }

}

std::vector<Counted> counted(const fs::path& gitFolder, const BeneathPlaces& places, const Judging& judging)
{
    std::vector<Counted> found;
    // Asked before anything is read or judged: what no command could have changed is the user's.
    auto changed = [&](const fs::path& path) { return judging.windows.couldHaveWritten(path); };
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
            && !(GitFolders::isGitFolder(location->commonFolder)
                && judging.isKnownGitFolder(location->commonFolder)))
            found.push_back({ gitFolder / "commondir", "the commondir leads into no Git folder known before",
                inWorktrees ? NotedFile { NotedFile::Kind::file, "../..\n", 0644 } : NotedFile {} });
    }
    const GitCountedSettings::Repository repository { gitFolder, std::nullopt, judging.isKnownGitFolder,
        judging.settings };
    for (const char* name : { "config", "config.worktree" }) {
        if (!changed(gitFolder / name))
            continue;
        if (auto judged = judgedConfiguration(gitFolder / name, repository))
            found.push_back(std::move(*judged));
    }
    return found;
}

}
