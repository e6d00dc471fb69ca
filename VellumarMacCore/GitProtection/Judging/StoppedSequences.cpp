#include "VellumarMacCore/GitProtection/Judging/StoppedSequences.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/Judging/WhatGitRuns.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using Kind = NotedFile::Kind;

    // What a state file holds that "--continue" acts on, as Git 2.39 writes them.
    enum class Holds { todo, strategy, options };
    struct StateFile {
        std::string_view folder;
        std::string_view name;
        Holds holds;
    };
    constexpr std::array<StateFile, 4> kStateFiles { {
        { "rebase-merge", "git-rebase-todo", Holds::todo },
        { "rebase-merge", "strategy", Holds::strategy },
        { "sequencer", "todo", Holds::todo },
        { "sequencer", "opts", Holds::options },
    } };

    std::string identityOf(const struct stat& status)
    {
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    }

    std::string_view trimmed(std::string_view text)
    {
        constexpr std::string_view blanks = " \t\r\n";
        text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
        return text.substr(0, text.find_last_not_of(blanks) + 1);
    }

    bool isOneOf(WhatGitRuns::Kind kind, std::string_view name)
    {
        auto names = WhatGitRuns::namesOf(kind);
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    // Each line of `text` with its number from 1, until `judge` tells why it counts.
    template <typename Judge> std::optional<std::string> firstCounted(std::string_view text, Judge judge)
    {
        std::size_t number = 1;
        for (std::size_t start = 0; start < text.size(); ++number) {
            std::size_t end = std::min(text.find('\n', start), text.size());
            if (auto reason = judge(text.substr(start, end - start), number))
                return reason;
            start = end + 1;
        }
        return std::nullopt;
    }

    // Git left-trims a to-do line and takes its first word as the command; a blank line and a comment
    // do nothing.
    std::optional<std::string> todoRuns(std::string_view todo)
    {
        return firstCounted(
            todo, [](std::string_view line, std::size_t number) -> std::optional<std::string> {
                line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
                std::string_view command = line.substr(0, line.find_first_of(" \t\r"));
                if (command.empty() || line.starts_with('#')
                    || isOneOf(WhatGitRuns::Kind::sequencerCommand, command))
                    return std::nullopt;
                return "line " + std::to_string(number)
                    + " of the to-do list runs a command, or is one this program does not know, when the user"
                      " continues";
            });
    }

    std::optional<std::string> strategyRuns(std::string_view strategy)
    {
        if (isOneOf(WhatGitRuns::Kind::mergeStrategy, trimmed(strategy)))
            return std::nullopt;
        return "it names a merge strategy that is none of Git's own, which Git runs as a program";
    }

    // A cherry-pick's or revert's options in the form Git writes them: "[options]" and a setting a line.
    // Anything else (a strategy none of Git's own, another section, a setting on a section's line) may
    // name a program in a way this reading does not follow.
    std::optional<std::string> optionsRun(std::string_view options)
    {
        return firstCounted(
            options, [](std::string_view line, std::size_t number) -> std::optional<std::string> {
                line = trimmed(line);
                if (line.empty() || line.starts_with('#') || line.starts_with(';') || line == "[options]")
                    return std::nullopt;
                std::size_t equals = line.find('=');
                std::string key(trimmed(line.substr(0, equals)));
                std::transform(key.begin(), key.end(), key.begin(),
                    [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
                std::string_view value = equals == std::string_view::npos ? "" : line.substr(equals + 1);
                if (!line.starts_with('[') && key != "strategy")
                    return std::nullopt;
                if (key == "strategy" && !strategyRuns(value))
                    return std::nullopt;
                return "line " + std::to_string(number)
                    + " of the options names a merge strategy that is none of Git's own, or is in a form Git "
                      "does"
                      " not write";
            });
    }

    // Why the state file would run something when the user continues; absent when it would not.
    std::optional<std::string> judged(Holds holds, const NotedFile& file)
    {
        if (file.kind == Kind::absent)
            return std::nullopt;
        if (file.kind != Kind::file)
            return "it is no file of 1 MiB at most that could be judged";
        switch (holds) {
        case Holds::todo:
            return todoRuns(file.content);
        case Holds::strategy:
            return strategyRuns(file.content);
        case Holds::options:
            return optionsRun(file.content);
        }
        return std::nullopt;
    }

    // `gathered(folder)` for each Git folder and, as they are now, each of their linked folders (a
    // worktree added during the run keeps its own state), read on a few threads; what each gave, in
    // their order.
    template <typename Item>
    std::vector<Item> gatheredInEach(const std::vector<fs::path>& gitFolders,
        const std::function<std::vector<Item>(const fs::path& folder)>& gathered)
    {
        std::vector<std::vector<Item>> each(gitFolders.size());
        parallelEach(gitFolders.size(), [&](std::size_t index) {
            const fs::path& gitFolder = gitFolders[index];
            each[index] = gathered(gitFolder);
            auto linked
                = GitFolders::linkedFoldersOfGitFolder(gitFolder, std::numeric_limits<std::size_t>::max());
            for (const auto& folder : linked.folders) {
                auto items = gathered(folder);
                std::ranges::move(items, std::back_inserter(each[index]));
            }
        });
        std::vector<Item> all;
        for (auto& items : each)
            std::ranges::move(items, std::back_inserter(all));
        return all;
    }

}

StoppedSequences::StoppedSequences(
    const std::vector<GuardedRepository>& repositories, const std::vector<fs::path>& places)
    : m_places(places)
{
    for (const auto& repository : repositories)
        m_gitFolders.push_back(repository.gitFolder);
    for (auto& identity : gatheredInEach<Identity>(m_gitFolders, [](const fs::path& gitFolder) {
             std::vector<Identity> there;
             for (auto state : WhatGitRuns::namesOf(WhatGitRuns::Kind::sequencerState)) {
                 struct stat status { };
                 if (::lstat((gitFolder / state).c_str(), &status) == 0)
                     there.emplace_back(gitFolder / state, identityOf(status));
             }
             return there;
         }))
        m_atStart.insert(std::move(identity));
}

std::vector<GitGuard::MovedChange> StoppedSequences::judgeNew(
    LiveRuns& liveRuns, const GitGuard::Clock& clock) const
{
    try {
        using Counted = std::pair<fs::path, std::string>;
        auto countedIn = [&](const fs::path& gitFolder) {
            std::vector<Counted> counted;
            for (auto state : WhatGitRuns::namesOf(WhatGitRuns::Kind::sequencerState)) {
                const fs::path folder = gitFolder / state;
                struct stat status { };
                // Nothing there, whatever lies on the way: no need to reach it beneath the places, which
                // costs a folder opened at each step.
                if (::lstat(folder.c_str(), &status) != 0 && errno == ENOENT)
                    continue;
                auto reached = m_places.reach(folder);
                if (!reached || reached->throughLink || reached->folder.get() < 0
                    || ::fstatat(reached->folder.get(), reached->name.c_str(), &status, AT_SYMLINK_NOFOLLOW)
                        != 0
                    || m_atStart.contains({ folder, identityOf(status) }))
                    continue;
                if (S_ISLNK(status.st_mode))
                    counted.emplace_back(
                        folder, "the state of a stopped rebase is a link, which Git follows");
                for (const auto& file : kStateFiles) {
                    auto inState = file.folder == state && S_ISDIR(status.st_mode)
                        ? m_places.reach(folder / file.name)
                        : std::nullopt;
                    if (!inState || inState->throughLink)
                        continue;
                    if (auto reason = judged(
                            file.holds, GitNotedFiles::noteReached(*inState, GitNotedFiles::maxCopiedBytes)))
                        counted.emplace_back(folder / file.name, std::move(*reason));
                }
            }
            return counted;
        };
        std::vector<Counted> counted = gatheredInEach<Counted>(m_gitFolders, countedIn);
        std::vector<GitGuardPutBack::Undone> undone;
        {
            auto locked = liveRuns.locked();
            for (auto& [path, reason] : counted) {
                if (auto done = GitGuardPutBack::undo(liveRuns.folder(),
                        m_places, path, {}, GitNotedFiles::maxCopiedBytes, clock, nullptr)) {
                    done->reason = std::move(reason);
                    undone.push_back(std::move(*done));
                }
            }
        }
        GitGuardPutBack::Settled settled;
        GitGuardPutBack::report(undone, settled);
        return std::move(settled.moved);
    } catch (const std::exception&) {
        // Out of memory: what was left stays, as it would without this judging.
        return {};
    }
}

}
