#include "VellumarMacCore/GitProtection/GitConfigPaths.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitProgramSettings.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vellumar::GitConfigPaths {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // Git's keys are matched with the section and the name in lower case.
    const std::string& configuredKeys()
    {
        static const std::string keys
            = "^(core\\.hookspath|include\\.path|includeif\\..*\\.path)$|" + GitProgramSettings::keyPattern();
        return keys;
    }
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
        Discovery(const Options& options, fs::path git)
            : m_options(options)
            , m_git(std::move(git))
            , m_deadline(std::chrono::steady_clock::now()
                  + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(totalTimeLimitSeconds)))
        {
            m_environment = { { "HOME", options.home.string() }, { "PATH", options.searchPath } };
            if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
                m_environment.emplace("XDG_CONFIG_HOME", xdg);
        }

        Paths found;

        void addRepository(const fs::path& folder)
        {
            std::error_code error;
            std::optional<fs::path> workTree;
            if (fs::exists(fs::symlink_status(folder / ".git", error)))
                workTree = folder;
            else if (auto top = git(folder, { "rev-parse", "--show-toplevel" }); top && !top->empty())
                workTree = fs::path(top->substr(0, top->find('\n')));
            // Git reports the repository's own files relative to where it runs: the work tree's top.
            Context context { workTree.value_or(folder), workTree, {} };
            auto listed = git(folder, { "config", "-z", "--show-origin", "--get-regexp", configuredKeys() });
            if (!listed) {
                logUnread(folder);
                return;
            }
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

        // Git's standard output when it ended with 0, or 1 for "nothing matched"; absent otherwise.
        std::optional<std::string> git(const fs::path& folder, std::vector<std::string> arguments)
        {
            double left
                = std::chrono::duration<double>(m_deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            arguments.insert(arguments.begin(), { "-C", folder.string() });
            try {
                CommandResult result = m_options.run(m_git, arguments,
                    { .environment = m_environment,
                        .workingFolder = std::nullopt,
                        .timeLimitSeconds = std::min(gitTimeLimitSeconds, left) });
                if (result.timedOut || (result.status != 0 && result.status != 1))
                    return std::nullopt;
                return std::move(result.output);
            } catch (const std::exception&) {
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
                if (entry.key == "core.hookspath") {
                    // Outside a repository a relative path names nothing.
                    if (!context.workTree && !value.starts_with("/") && !value.starts_with("~"))
                        continue;
                    if (auto hooks = expanded(value, top)) {
                        found.push_back(*hooks);
                        if (auto scripts = GitProgramSettings::hookManagerFolder(*hooks, top))
                            found.push_back(std::move(*scripts));
                    }
                } else if (entry.key == "include.path"
                    || (entry.key.starts_with("includeif.") && entry.key.ends_with(".path"))) {
                    if (auto origin = originFile(entry, context.base))
                        addInclude(*origin, value, context, depth);
                } else {
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
            auto listed = git(context.base,
                { "config", "-z", "--show-origin", "--no-includes", "--file", file->string(), "--get-regexp",
                    configuredKeys() });
            if (!listed) {
                logUnread(*file);
                return;
            }
            add(parsedEntries(*listed), context, depth + 1);
        }

        static void logUnread(const fs::path& place)
        {
            platform::logError("Git's configuration at " + place.string()
                + " could not be read in time; what it names stays writable to commands.");
        }

        const Options& m_options;
        const fs::path m_git;
        const std::chrono::steady_clock::time_point m_deadline;
        CommandEnvironment m_environment;
    };

    // Whether the ".git" file names a Git folder in its first line ("gitdir: <path>", relative to the
    // file's own folder), as Git reads it.
    bool namesGitFolder(const fs::path& gitFile)
    {
        constexpr std::string_view prefix = "gitdir: ";
        std::string line = firstLine(gitFile);
        if (!line.starts_with(prefix))
            return false;
        fs::path target = line.substr(prefix.size());
        return !target.empty() && isGitFolder(target.is_absolute() ? target : gitFile.parent_path() / target);
    }

}

std::string firstLine(const fs::path& file)
{
    FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status { };
    if (descriptor.get() < 0 || ::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    std::array<char, 4096> bytes {};
    ssize_t count = ::read(descriptor.get(), bytes.data(), bytes.size());
    std::string_view read(bytes.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
    read = read.substr(0, read.find('\n'));
    // Git reads a line ended by "\r\n" the same.
    if (read.ends_with('\r'))
        read.remove_suffix(1);
    return std::string(read);
}

bool isGitFolder(const fs::path& folder)
{
    std::error_code error;
    return fs::is_directory(folder, error) && fs::exists(fs::symlink_status(folder / "HEAD", error));
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

GitEntries gitEntries(const Paths& places)
{
    GitEntries found;
    std::size_t walked = 0;
    bool stopped = false;
    auto take = [&](std::vector<fs::path>& list, std::size_t bound, const fs::path& path) {
        if (list.size() < bound)
            list.push_back(path);
        else
            stopped = true;
    };
    for (const auto& place : places) {
        std::deque<fs::path> folders { place };
        // Breadth first, so that when the walk stops early what it missed lies deepest.
        while (!folders.empty() && !stopped) {
            fs::path folder = std::move(folders.front());
            folders.pop_front();
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end && !stopped;
                 it.increment(error)) {
                if (++walked > maxWalkedNames) {
                    stopped = true;
                    break;
                }
                std::error_code typeError;
                auto type = it->symlink_status(typeError).type();
                if (it->path().filename() != ".git") {
                    if (type == fs::file_type::directory)
                        folders.push_back(it->path());
                } else if (isGitFolder(it->path())) {
                    take(found.gitFolders, maxGitFolders, it->path());
                } else if (type == fs::file_type::regular && namesGitFolder(it->path())) {
                    take(found.gitFiles, maxGitFiles, it->path());
                }
            }
        }
        if (stopped) {
            platform::logError("Looking for Git repositories and \".git\" files in " + place.string()
                + " stopped after " + std::to_string(walked) + " names, "
                + std::to_string(found.gitFolders.size()) + " repositories and "
                + std::to_string(found.gitFiles.size())
                + " files; those further down stay writable to commands.");
            break;
        }
    }
    std::sort(found.gitFiles.begin(), found.gitFiles.end());
    return found;
}

Paths configuredPaths(const Paths& repositories, const Options& options)
{
    try {
        auto git = gitExecutable(options.searchPath);
        if (!git)
            return {};
        Discovery discovery(options, *git);
        for (const auto& repository : repositories)
            discovery.addRepository(repository);
        return std::move(discovery.found);
    } catch (const std::exception&) {
        // Out of memory: the run goes on with what the other lists deny.
        return {};
    }
}

}
