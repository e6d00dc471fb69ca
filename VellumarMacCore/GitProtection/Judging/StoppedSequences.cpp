#include "VellumarMacCore/GitProtection/Judging/StoppedSequences.h"

#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace vellumar::StoppedSequences {

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

    // Why a state file counts, and what takes its place.
    struct Judged {
        std::string reason;
        NotedFile instead = {};
    };

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
    bool todoLineRuns(std::string_view line)
    {
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        std::string_view command = line.substr(0, line.find_first_of(" \t\r\n"));
        return !command.empty() && !line.starts_with('#')
            && !isOneOf(WhatGitRuns::Kind::sequencerCommand, command);
    }

    // The to-do list without its lines that run a command, and why it counts; absent where none does.
    std::optional<Judged> todoRuns(const NotedFile& todo)
    {
        std::string kept;
        std::string numbers;
        std::size_t number = 1;
        for (std::size_t start = 0; start < todo.content.size(); ++number) {
            std::size_t end = std::min(todo.content.find('\n', start), todo.content.size() - 1) + 1;
            std::string_view line = std::string_view(todo.content).substr(start, end - start);
            if (todoLineRuns(line))
                numbers += (numbers.empty() ? "" : ", ") + std::to_string(number);
            else
                kept += line;
            start = end;
        }
        if (numbers.empty())
            return std::nullopt;
        const bool one = numbers.find(',') == std::string::npos;
        return Judged { (one ? "line " : "lines ") + numbers + " of the to-do list "
                + (one ? "runs a command, or is one" : "run a command, or are ones")
                + " this program does not know, when the user continues; the same list without "
                + (one ? "that line" : "those lines")
                + " takes its place, so that the user can continue or abort as Git would",
            NotedFile { Kind::file, std::move(kept), todo.mode } };
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

    // Why the state file would run something when the user continues, and what takes its place; absent
    // when it would run nothing.
    std::optional<Judged> judged(Holds holds, const NotedFile& file)
    {
        if (file.kind == Kind::absent)
            return std::nullopt;
        if (file.kind != Kind::file)
            return Judged { "it is no file of 1 MiB at most that could be judged" };
        std::optional<std::string> reason;
        switch (holds) {
        case Holds::todo:
            return todoRuns(file);
        case Holds::strategy:
            reason = strategyRuns(file.content);
            break;
        case Holds::options:
            reason = optionsRun(file.content);
            break;
        }
        return reason ? std::optional(Judged { std::move(*reason) }) : std::nullopt;
    }

}

std::vector<NewGitFolders::Counted> counted(
    const fs::path& gitFolder, const BeneathPlaces& places, const NewGitFolders::Judging& judging)
{
    std::vector<NewGitFolders::Counted> found;
    for (auto state : WhatGitRuns::namesOf(WhatGitRuns::Kind::sequencerState)) {
        const fs::path folder = gitFolder / state;
        struct stat status { };
        // Nothing there, whatever lies on the way: no need to reach it beneath the places, which costs a
        // folder opened at each step.
        if (::lstat(folder.c_str(), &status) != 0 && errno == ENOENT)
            continue;
        auto reached = places.reach(folder);
        if (!reached || reached->throughLink || reached->folder.get() < 0
            || ::fstatat(reached->folder.get(), reached->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const bool stateChanged = NewGitFolders::changedDuringCommands(folder, judging);
        if (S_ISLNK(status.st_mode) && stateChanged)
            found.push_back({ folder, "the state of a stopped rebase is a link, which Git follows" });
        if (!S_ISDIR(status.st_mode))
            continue;
        for (const auto& file : kStateFiles) {
            const fs::path path = folder / file.name;
            if (file.folder != state
                || !(stateChanged || NewGitFolders::changedDuringCommands(path, judging)))
                continue;
            auto inState = places.reach(path);
            if (!inState || inState->throughLink)
                continue;
            if (auto judgedFile
                = judged(file.holds, GitNotedFiles::noteReached(*inState, GitNotedFiles::maxCopiedBytes)))
                found.push_back({ path, std::move(judgedFile->reason), std::move(judgedFile->instead) });
        }
    }
    return found;
}

}
