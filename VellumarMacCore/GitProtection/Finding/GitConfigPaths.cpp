#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"

#include "VellumarMacCore/GitProtection/Finding/GitReadCache.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/GitProgramSettings.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vellumar::GitConfigPaths {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // Git itself stops following includes this deep.
    constexpr int kMaxIncludeDepth = 10;

    // One line of `git config -z --show-origin --get-regexp`.
    struct Entry {
        std::string origin;
        std::string key;
        std::optional<std::string> value; // absent for a bare name, which Git reads as true
    };

    std::vector<Entry> parsedEntries(std::string_view output)
    {
        std::vector<Entry> entries;
        std::vector<std::string_view> fields;
        for (std::size_t start = 0, end; start < output.size(); start = end + 1) {
            end = output.find('\0', start);
            if (end == std::string_view::npos)
                end = output.size();
            fields.push_back(output.substr(start, end - start));
        }
        for (std::size_t index = 0; index + 1 < fields.size(); index += 2) {
            std::string_view pair = fields[index + 1];
            std::size_t newline = pair.find('\n');
            Entry entry { std::string(fields[index]), std::string(pair.substr(0, newline)), std::nullopt };
            if (newline != std::string_view::npos)
                entry.value = std::string(pair.substr(newline + 1));
            entries.push_back(std::move(entry));
        }
        return entries;
    }

    class Discovery {
    public:
        Discovery(const Options& options, const fs::path& git, const CommandEnvironment& environment)
            : m_options(options)
            , m_git(git)
            , m_environment(environment)
        {
        }

        Paths found;
        // Where Git did not tell (`Named::unread`).
        Paths unread;

        void addRepository(const fs::path& folder)
        {
            std::error_code error;
            std::optional<fs::path> workTree;
            if (fs::exists(fs::symlink_status(folder / ".git", error)))
                workTree = folder;
            else if (auto top = git(folder, folder, { "rev-parse", "--show-toplevel" }); top && !top->empty())
                workTree = fs::path(top->substr(0, top->find('\n')));
            // Git reports the repository's own files relative to where it runs: the work tree's top.
            Context context { workTree.value_or(folder), workTree, {} };
            auto listed = git(folder, folder,
                { "config", "-z", "--show-origin", "--get-regexp", WhatGitRuns::keyPattern() },
                [&] { return filesReadAt(folder); });
            if (!listed)
                return;
            auto entries = parsedEntries(*listed);
            for (const auto& entry : entries) {
                if (auto file = originFile(entry, context.base))
                    context.read.insert(*file);
            }
            add(entries, context, 0);
        }

    private:
        struct Context {
            fs::path base; // where Git ran
            std::optional<fs::path> workTree;
            std::set<fs::path> read; // configuration files already listed
        };

        // The files `git config` in `folder` reads besides those it names as origins: the system and
        // global files, and the repository's own where `folder` is its work tree or its Git folder (how
        // Git finds them). Absent where Git would look further up for a repository.
        std::optional<Paths> filesReadAt(const fs::path& folder) const
        {
            auto location = GitFolders::located(folder);
            if (!location)
                return std::nullopt;
            auto xdg = m_environment.find("XDG_CONFIG_HOME");
            Paths files = { "/etc/gitconfig", m_options.home / ".gitconfig",
                (xdg != m_environment.end() ? fs::path(xdg->second) : m_options.home / ".config")
                    / "git/config",
                folder / ".git" };
            for (const char* name : { "config", "config.worktree", "commondir", "HEAD" })
                files.push_back(location->gitFolder / name);
            if (location->commonFolder != location->gitFolder)
                files.push_back(location->commonFolder / "config");
            return files;
        }

        // Git's standard output in `folder` where it told (`readingOf`); absent otherwise, and `reading`
        // is unread where it did not tell and did not refuse. With
        // `filesRead`, what an earlier run printed while none of the files it gives, nor any file the
        // output names as an origin, has changed (`GitReadCache`). It is asked only after a miss: what
        // was kept holds only while the files that located the repository are as they were, and
        // locating a thousand repositories at each run would cost more than the cache saves.
        std::optional<std::string> git(const fs::path& folder, const fs::path& reading,
            std::vector<std::string> arguments,
            const std::function<std::optional<Paths>()>& filesRead = nullptr)
        {
            std::string key;
            if (filesRead) {
                std::string joined;
                for (const auto& argument : arguments)
                    joined += '\0' + argument;
                key = m_git.native() + '\0' + m_options.home.native() + '\0' + folder.native() + '\0'
                    + GitReadCache::sharedKeyPart(joined);
                if (auto kept = GitReadCache::cached(key))
                    return kept;
            }
            arguments.insert(arguments.begin(), { "-C", folder.string() });
            const auto readStart = std::chrono::system_clock::now();
            try {
                CommandResult result = m_options.run(m_git, arguments, gitReadOptions(m_environment));
                if (auto told = readingOf(result); told != Reading::told) {
                    if (told == Reading::untold)
                        unread.push_back(reading);
                    return std::nullopt;
                }
                if (auto files = filesRead ? filesRead() : std::nullopt) {
                    for (const auto& entry : parsedEntries(result.output)) {
                        if (auto origin = originFile(entry, folder))
                            files->push_back(std::move(*origin));
                    }
                    GitReadCache::keep(key, result.output, std::move(*files), readStart);
                }
                return std::move(result.output);
            } catch (const std::exception&) {
                unread.push_back(reading);
                return std::nullopt;
            }
        }

        static std::optional<fs::path> originFile(const Entry& entry, const fs::path& base)
        {
            constexpr std::string_view prefix = "file:";
            if (!entry.origin.starts_with(prefix))
                return std::nullopt;
            return standardizedPath(base / entry.origin.substr(prefix.size()));
        }

        std::optional<fs::path> expanded(const std::string& value, const fs::path& relativeTo) const
        {
            return GitProgramSettings::configuredPath(value, relativeTo, m_options.home);
        }

        void add(const std::vector<Entry>& entries, Context& context, int depth)
        {
            for (const auto& entry : entries) {
                if (!entry.value)
                    continue;
                const std::string& value = *entry.value;
                // Git starts its programs and hooks at the work tree's top.
                const fs::path& top = context.workTree.value_or(context.base);
                using enum WhatGitRuns::Reading;
                auto reading = WhatGitRuns::readingOf(entry.key).value_or(none);
                switch (reading) {
                case hooksFolder:
                case templateFolder: {
                    // Outside a repository a relative path names nothing.
                    if (!context.workTree && !value.starts_with("/") && !value.starts_with("~"))
                        break;
                    auto folder = expanded(value, top);
                    if (!folder)
                        break;
                    found.push_back(*folder);
                    if (reading == hooksFolder) {
                        if (auto scripts = GitProgramSettings::hookManagerFolder(*folder, top))
                            found.push_back(std::move(*scripts));
                    }
                    break;
                }
                case include:
                    if (auto origin = originFile(entry, context.base))
                        addInclude(*origin, value, context, depth);
                    break;
                default:
                    for (auto& file : GitProgramSettings::namedFiles(
                             entry.key, value, { .top = top, .home = m_options.home }))
                        found.push_back(std::move(file));
                }
            }
        }

        void addInclude(const fs::path& including, const std::string& value, Context& context, int depth)
        {
            auto file = expanded(value, including.parent_path());
            if (!file)
                return;
            found.push_back(*file);
            // An include whose condition fails today may hold tomorrow (a branch checked out, say), so
            // what it would bring in counts too.
            std::error_code error;
            if (depth + 1 >= kMaxIncludeDepth || !fs::is_regular_file(*file, error)
                || !context.read.insert(*file).second)
                return;
            auto listed = git(context.base, *file,
                { "config", "-z", "--show-origin", "--no-includes", "--file", file->string(), "--get-regexp",
                    WhatGitRuns::keyPattern() },
                [&] { return std::optional(Paths { *file }); });
            if (listed)
                add(parsedEntries(*listed), context, depth + 1);
        }

        const Options& m_options;
        const fs::path& m_git;
        const CommandEnvironment& m_environment;
    };

}

CommandOptions gitReadOptions(CommandEnvironment environment, std::optional<fs::path> workingFolder)
{
    return { .environment = std::move(environment),
        .workingFolder = std::move(workingFolder),
        .timeLimitSeconds = gitTimeLimitSeconds,
        .stallLimitSeconds = gitStallLimitSeconds };
}

Reading readingOf(const CommandResult& result)
{
    if (result.timedOut)
        return Reading::untold;
    switch (result.status) {
    case 0:
    case 1:
        return Reading::told;
    case 128:
        return Reading::refused;
    default:
        return Reading::untold;
    }
}

std::optional<fs::path> gitExecutable(const std::string& searchPath)
{
    for (std::size_t start = 0, end; start <= searchPath.size(); start = end + 1) {
        end = std::min(searchPath.find(':', start), searchPath.size());
        fs::path candidate = fs::path(searchPath.substr(start, end - start)) / "git";
        if (candidate.is_absolute() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

Named configuredPaths(const Paths& repositories, const Options& options)
{
    try {
        auto git = gitExecutable(options.searchPath);
        if (!git || repositories.empty())
            return {};
        CommandEnvironment environment
            = { { "HOME", options.home.string() }, { "PATH", options.searchPath } };
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
            environment.emplace("XDG_CONFIG_HOME", xdg);
        // Each repository's in its own slot, so that the result does not depend on which reader
        // finished first.
        std::vector<Paths> found(repositories.size());
        std::vector<Paths> unread(repositories.size());
        std::vector<char> failed(repositories.size(), false);
        std::atomic<std::size_t> next = 0;
        auto read = [&]() noexcept {
            for (std::size_t index; (index = next++) < repositories.size();) {
                try {
                    Discovery discovery(options, *git, environment);
                    discovery.addRepository(repositories[index]);
                    found[index] = std::move(discovery.found);
                    unread[index] = std::move(discovery.unread);
                } catch (const std::exception&) {
                    // Out of memory: what this repository names is not known.
                    failed[index] = true;
                }
            }
        };
        std::vector<std::thread> readers;
        try {
            for (std::size_t count = 1; count < std::min(parallelGitReads, repositories.size()); ++count)
                readers.emplace_back(read);
        } catch (const std::system_error&) {
            // No thread to spare: the readers already started, and this one, read the rest.
        }
        read();
        for (auto& reader : readers)
            reader.join();
        Named named { std::move(found), {} };
        for (std::size_t index = 0; index < repositories.size(); ++index) {
            if (failed[index])
                named.unread.push_back(repositories[index]);
            std::ranges::move(unread[index], std::back_inserter(named.unread));
        }
        return named;
    } catch (const std::exception&) {
        // Out of memory: nothing is known of what any repository names.
        return { {}, repositories };
    }
}

}
