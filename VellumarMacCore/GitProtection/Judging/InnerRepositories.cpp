#include "VellumarMacCore/GitProtection/Judging/InnerRepositories.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Judging/WhatGitRuns.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace vellumar::InnerRepositories {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;

    // git-ls-files(1) "--stage": the mode Git records for a commit of another repository.
    constexpr std::string_view kGitlinkMode = "160000 ";

    // `path` lies strictly below `folder`, both as written.
    bool isBelow(const fs::path& path, const fs::path& folder)
    {
        fs::path relative = path.lexically_relative(folder);
        return !relative.empty() && relative != "." && *relative.begin() != "..";
    }

    // A private folder Git takes for an empty Git folder, removed when this goes.
    class EmptyGitFolder {
    public:
        EmptyGitFolder()
        {
            std::error_code error;
            std::string name = (fs::temp_directory_path(error) / "vellumar-index-XXXXXX").string();
            if (!::mkdtemp(name.data()))
                return;
            m_path = name;
            fs::create_directory(m_path / "objects", error);
            fs::create_directory(m_path / "refs", error);
            std::ofstream(m_path / "HEAD") << "ref: refs/heads/main\n";
        }
        ~EmptyGitFolder()
        {
            std::error_code ignored;
            if (!m_path.empty())
                fs::remove_all(m_path, ignored);
        }
        EmptyGitFolder(const EmptyGitFolder&) = delete;
        EmptyGitFolder& operator=(const EmptyGitFolder&) = delete;

        const fs::path& path() const { return m_path; }

    private:
        fs::path m_path;
    };

    // gitformat-index(5): each entry holds its 32-bit mode big-endian, 0160000 for a gitlink.
    constexpr std::string_view kGitlinkModeBytes { "\0\0\xE0\0", 4 };
    // An index past this is handed to Git unread.
    constexpr std::uintmax_t kScannedIndexBytes = 64 * 1024 * 1024;

    // Whether the index in `gitFolder` may record a gitlink: false when its bytes hold no gitlink mode
    // anywhere, which spares starting Git for nearly every repository.
    bool mayHoldGitlinks(const fs::path& gitFolder)
    {
        std::error_code error;
        auto size = fs::file_size(gitFolder / "index", error);
        if (error)
            return false;
        if (size > kScannedIndexBytes)
            return true;
        std::ifstream file(gitFolder / "index", std::ios::binary);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return !file || bytes.find(kGitlinkModeBytes) != std::string::npos;
    }

    // The paths the index in `gitFolder` records as gitlinks, relative to the work tree's top.
    std::vector<fs::path> gitlinks(const fs::path& gitFolder)
    {
        if (!mayHoldGitlinks(gitFolder))
            return {};
        const char* searchPath = std::getenv("PATH");
        std::string search = searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
        auto git = GitConfigPaths::gitExecutable(search);
        EmptyGitFolder empty;
        if (!git || empty.path().empty())
            return {};
        CommandResult result;
        try {
            result = runCommand(*git, { "ls-files", "--stage", "-z", "--sparse" },
                { .environment = CommandEnvironment { { "PATH", search }, { "HOME", "/nonexistent" },
                      { "GIT_CONFIG_NOSYSTEM", "1" }, { "GIT_DIR", empty.path().string() },
                      { "GIT_INDEX_FILE", (gitFolder / "index").string() } },
                    .workingFolder = empty.path(),
                    .timeLimitSeconds = GitConfigPaths::gitTimeLimitSeconds });
        } catch (const std::exception&) {
            return {};
        }
        if (result.timedOut || result.status != 0)
            return {};
        std::vector<fs::path> paths;
        std::string_view listing = result.output;
        for (std::size_t start = 0; start < listing.size();) {
            std::size_t end = std::min(listing.find('\0', start), listing.size());
            std::string_view entry = listing.substr(start, end - start);
            if (std::size_t tab = entry.find('\t'); entry.starts_with(kGitlinkMode) && tab != entry.npos)
                paths.emplace_back(entry.substr(tab + 1));
            start = end + 1;
        }
        return paths;
    }

    // The Git folders inside the superproject, as the kernel resolves them.
    std::vector<fs::path> innerGitFolders(const fs::path& gitFolder, const fs::path& workTree)
    {
        std::vector<fs::path> folders;
        for (const auto& linked : GitFolders::linkedFoldersOfGitFolder(gitFolder).folders) {
            if (isBelow(linked, gitFolder / "modules"))
                folders.push_back(linked);
        }
        for (const auto& gitlink : gitlinks(gitFolder)) {
            std::error_code error;
            fs::path dotGit = workTree / gitlink / ".git";
            if (!isBelow(dotGit, workTree) || !fs::is_directory(fs::symlink_status(dotGit, error)))
                continue;
            if (auto resolved = fs::canonical(dotGit, error); !error)
                folders.push_back(resolved);
        }
        return folders;
    }

    std::optional<Counted> judgedConfiguration(
        const fs::path& file, const GitCountedSettings::Repository& repository)
    {
        NotedFile found = GitNotedFiles::noteFile(file);
        if (found.kind == NotedFile::Kind::absent)
            return std::nullopt;
        if (found.kind != NotedFile::Kind::file)
            return Counted { file, "the configuration is no plain file" };
        auto listing = repository.settings(found.content);
        if (!listing)
            return Counted { file, "Git cannot read the configuration" };
        auto after = GitCountedSettings::settingsOf(*listing);
        // What an empty repository holds that the everyday list does not name: "git init" writes
        // core.bare.
        std::vector<GitCountedSettings::Setting> empty;
        for (const auto& setting : after) {
            if (setting.key == "core.bare" && setting.value == "false")
                empty.push_back(setting);
        }
        if (auto reason = GitCountedSettings::judged(empty, after, repository))
            return Counted { file, *reason };
        return std::nullopt;
    }

}

std::vector<Counted> counted(const GitNotedFiles::NotedUnit& superproject,
    const std::function<bool(const fs::path&)>& isGuarded, const GitCountedSettings::Reader& settings)
{
    std::vector<Counted> found;
    if (!superproject.gitFolder || !superproject.workTree)
        return found;
    const fs::path& superGitFolder = *superproject.gitFolder;
    for (const auto& gitFolder : innerGitFolders(superGitFolder, *superproject.workTree)) {
        if (isGuarded(gitFolder))
            continue;
        // An empty repository's hooks folder is a folder of samples, and it has no "commondir" (which
        // would send Git to another folder's hooks and configuration). A link goes aside unfollowed.
        std::error_code error;
        auto hooks = fs::symlink_status(gitFolder / "hooks", error).type();
        if (hooks == fs::file_type::directory) {
            for (fs::directory_iterator entry(gitFolder / "hooks", error), end; !error && entry != end;
                 entry.increment(error)) {
                std::string name = entry->path().filename().string();
                if (WhatGitRuns::isHookName(name))
                    found.push_back({ entry->path(), "the hook " + name + " was added" });
            }
        } else if (hooks != fs::file_type::not_found && hooks != fs::file_type::none) {
            found.push_back({ gitFolder / "hooks", "the hooks folder is no folder" });
        }
        if (fs::exists(fs::symlink_status(gitFolder / "commondir", error)))
            found.push_back({ gitFolder / "commondir", "a commondir was added" });
        const GitCountedSettings::Repository repository { gitFolder, std::nullopt, isGuarded, settings };
        for (const char* name : { "config", "config.worktree" }) {
            if (auto judged = judgedConfiguration(gitFolder / name, repository))
                found.push_back(std::move(*judged));
        }
    }
    return found;
}

}
