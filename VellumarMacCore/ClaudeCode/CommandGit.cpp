#include "VellumarMacCore/ClaudeCode/CommandGit.h"

#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <map>
#include <string_view>

namespace vellumar::CommandGit {

namespace {

    namespace fs = std::filesystem;

    std::optional<std::string> globalValue(
        const fs::path& git, const char* key, const GitConfigPaths::Options& options)
    {
        CommandEnvironment environment { { "HOME", options.home.string() }, { "PATH", options.searchPath } };
        // Git's global configuration may live in the XDG file instead.
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
            environment.emplace("XDG_CONFIG_HOME", xdg);
        try {
            CommandResult result = options.run(git, { "config", "--global", "--get", key },
                GitConfigPaths::gitReadOptions(std::move(environment)));
            std::string& value = result.output;
            if (result.timedOut || result.status != 0 || !value.ends_with('\n'))
                return std::nullopt;
            value.pop_back();
            if (value.empty() || value.find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
                return std::nullopt;
            return std::move(value);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // Whether Git would take `folder` for the top of a work tree: its ".git" is a Git folder, or a file
    // naming one. A ".git" file naming none is no repository to Git in the folder above, which then
    // lists what lies below as its own.
    bool isWorkTreeTop(const fs::path& folder)
    {
        auto location = GitFolders::located(folder);
        return location && location->workTree == folder;
    }

    // Finds the nearest work tree top above each path asked for, asking the disk once per folder.
    class WorkTreeTops {
    public:
        std::optional<fs::path> holding(const fs::path& path)
        {
            for (fs::path folder = path.parent_path();; folder = folder.parent_path()) {
                auto [known, added] = m_isTop.try_emplace(folder, false);
                if (added)
                    known->second = isWorkTreeTop(folder);
                if (known->second)
                    return folder;
                if (folder == folder.parent_path())
                    return std::nullopt;
            }
        }

    private:
        std::map<fs::path, bool> m_isTop;
    };

    // gitignore(5): a pattern with a leading "/" matches relative to the repository's top; a backslash
    // makes the next character literal, which keeps wildcards, brackets and trailing blanks as written.
    std::string anchoredPattern(const fs::path& relative)
    {
        std::string pattern = "/";
        for (char c : relative.generic_string()) {
            if (std::string_view("\\*?[ ").find(c) != std::string_view::npos)
                pattern += '\\';
            pattern += c;
        }
        return pattern;
    }

    bool hasGitFolderName(const fs::path& path)
    {
        return std::any_of(path.begin(), path.end(), [](const fs::path& name) { return name == ".git"; });
    }

}

Identity userIdentity(const GitConfigPaths::Options& options)
{
    auto git = GitConfigPaths::gitExecutable(options.searchPath);
    if (!git)
        return {};
    return { globalValue(*git, "user.name", options), globalValue(*git, "user.email", options) };
}

std::string excludePatterns(const std::vector<fs::path>& placeholders)
{
    std::vector<fs::path> sorted = placeholders;
    std::sort(sorted.begin(), sorted.end());
    std::vector<fs::path> named;
    WorkTreeTops tops;
    std::string lines;
    for (const auto& path : sorted) {
        if (hasGitFolderName(path) || path.native().find('\n') != std::string::npos
            || std::any_of(
                named.begin(), named.end(), [&](const fs::path& other) { return isPathInside(path, other); }))
            continue;
        auto top = tops.holding(path);
        if (!top)
            continue;
        named.push_back(path);
        lines += anchoredPattern(path.lexically_relative(*top)) + "\n";
    }
    return lines;
}

JSON environment(const Handover& handover)
{
    JSON::Object variables = { { "GIT_CONFIG_GLOBAL", "/dev/null" } };
    if (const auto& name = handover.identity.name) {
        variables.emplace("GIT_AUTHOR_NAME", *name);
        variables.emplace("GIT_COMMITTER_NAME", *name);
    }
    if (const auto& email = handover.identity.email) {
        variables.emplace("GIT_AUTHOR_EMAIL", *email);
        variables.emplace("GIT_COMMITTER_EMAIL", *email);
    }
    // git-config(1): settings given this way come before the repository's own, which keep their
    // ".gitignore" files and "info/exclude" all the same.
    if (const auto& excludes = handover.excludesFile) {
        variables.emplace("GIT_CONFIG_COUNT", "1");
        variables.emplace("GIT_CONFIG_KEY_0", "core.excludesFile");
        variables.emplace("GIT_CONFIG_VALUE_0", excludes->string());
    }
    return JSON(std::move(variables));
}

}
