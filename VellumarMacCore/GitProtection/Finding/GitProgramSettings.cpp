#include "VellumarMacCore/GitProtection/Finding/GitProgramSettings.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <pwd.h>
#include <set>
#include <system_error>

namespace vellumar::GitProgramSettings {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // What Git takes for a boolean.
    bool isBoolean(std::string_view value)
    {
        static const std::set<std::string, std::less<>> words
            = { "", "true", "false", "yes", "no", "on", "off" };
        return words.contains(detail::asciiLowercased(value))
            || std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
    }

    // One word of a command as the shell reads it, its quotes removed.
    struct Word {
        std::string text;
        // The word names the program of its command: the first one, or the first after ";", "&", "|",
        // "(", ")" or a line end.
        bool program = false;
        // The word starts with an unquoted "~", which the shell expands.
        bool expandsHome = false;
        // Some of the word was quoted: it may hold more shell code, as the argument of "sh -c" does.
        bool quoted = false;
    };

    // The words of `command`: split at unquoted blanks and at the shell's operators, with single quotes,
    // double quotes and backslashes read as the shell reads them. Enough for the values Git's settings
    // hold; expansions ("$HOME") are left as written.
    std::vector<Word> shellWords(std::string_view command)
    {
        std::vector<Word> words;
        std::optional<Word> current;
        bool nextIsProgram = true;
        auto finish = [&] {
            if (current) {
                words.push_back(std::move(*current));
                current.reset();
                nextIsProgram = false;
            }
        };
        for (std::size_t at = 0; at < command.size(); ++at) {
            char c = command[at];
            if (c == ' ' || c == '\t') {
                finish();
                continue;
            }
            // A line end ends a command, as ";" does.
            if (std::string_view(";&|()<>\n").find(c) != std::string_view::npos) {
                bool redirection = c == '<' || c == '>';
                bool program = nextIsProgram;
                finish();
                nextIsProgram = redirection ? program : true;
                continue;
            }
            if (!current)
                current = Word { .text = {}, .program = nextIsProgram };
            Word& word = *current;
            if (c == '~' && word.text.empty() && !word.quoted)
                word.expandsHome = true;
            if (c == '\\') {
                if (at + 1 < command.size())
                    word.text += command[++at];
            } else if (c == '\'') {
                word.quoted = true;
                std::size_t end = std::min(command.find('\'', at + 1), command.size());
                word.text.append(command.substr(at + 1, end - at - 1));
                at = end;
            } else if (c == '"') {
                word.quoted = true;
                // Inside double quotes a backslash escapes only these.
                for (++at; at < command.size() && command[at] != '"'; ++at) {
                    if (command[at] == '\\' && at + 1 < command.size()
                        && std::string_view("$`\"\\\n").find(command[at + 1]) != std::string_view::npos)
                        ++at;
                    word.text += command[at];
                }
            } else {
                word.text += c;
            }
        }
        finish();
        return words;
    }

    // Code in a quoted word ("sh -c './tool.sh'") is read one level down, not further: deeper quoting
    // is rare in a setting and costs ever more backslashes to write.
    constexpr int kMaxCodeDepth = 1;

    // Where `word` leads, as the shell expands it and the program resolves it.
    std::optional<fs::path> wordPath(const Word& word, const Resolution& resolution)
    {
        if (word.text.empty())
            return std::nullopt;
        // A quoted "~" reaches the program as written, naming a folder of that name.
        if (word.expandsHome || !word.text.starts_with("~"))
            return configuredPath(word.text, resolution.top, resolution.home);
        return standardizedPath(resolution.top / word.text);
    }

    void addWordFile(const Word& word, const Resolution& resolution, Paths& files)
    {
        auto path = wordPath(word, resolution);
        if (!path)
            return;
        std::error_code error;
        auto status = fs::status(*path, error);
        bool mayBeProtected = fs::exists(status) || fs::is_directory(path->parent_path(), error);
        if (word.program
                ? word.text.find('/') != std::string::npos && !fs::is_directory(status) && mayBeProtected
                : fs::is_regular_file(status))
            files.push_back(std::move(*path));
    }

    void addCommandFiles(std::string_view command, Resolution resolution, Paths& files, int depth)
    {
        auto words = shellWords(command);
        for (std::size_t index = 0; index < words.size(); ++index) {
            const Word& word = words[index];
            // What follows a "cd" runs where it leads ("cd tools && ./release.sh"); "cd" alone leads
            // home, and an option ("cd -", "cd -P") is left as it is.
            if (word.program && word.text == "cd") {
                bool hasFolder = index + 1 < words.size() && !words[index + 1].program;
                if (!hasFolder)
                    resolution.top = resolution.home;
                else if (auto folder = wordPath(words[++index], resolution);
                         folder && !words[index].text.starts_with("-"))
                    resolution.top = *folder;
                continue;
            }
            addWordFile(word, resolution, files);
            if (word.quoted && depth < kMaxCodeDepth
                && word.text.find_first_of(" \t\n;&|") != std::string::npos)
                addCommandFiles(word.text, resolution, files, depth + 1);
        }
    }

}

Paths namedFiles(std::string_view key, std::string_view value, const Resolution& resolution)
{
    Paths files;
    auto reading = WhatGitRuns::readingOf(key);
    if (!reading)
        return files;
    std::string command;
    using enum WhatGitRuns::Reading;
    switch (*reading) {
    case shellCommandUnlessBoolean:
        if (isBoolean(value))
            return files;
        [[fallthrough]];
    case shellCommand:
        command = value;
        break;
    case programPath:
        addWordFile({ std::string(value), true, value.starts_with("~"), false }, resolution, files);
        return files;
    case credentialHelper:
        // Git runs "git credential-NAME" for a bare name, which PATH finds, with the rest as arguments.
        command = value.starts_with("!")    ? std::string(value.substr(1))
            : fs::path(value).is_absolute() ? std::string(value)
                                            : "git credential-" + std::string(value);
        break;
    case bangCommand:
        // Without "!" an alias is more of Git's own commands, a submodule's update one of Git's ways.
        if (!value.starts_with("!"))
            return files;
        command = value.substr(1);
        break;
    case none:
    case hooksFolder:
    case include:
    case templateFolder:
        // Folders and files, not commands: their callers follow them.
        return files;
    }
    addCommandFiles(command, resolution, files, 0);
    return files;
}

std::optional<fs::path> configuredPath(
    std::string_view value, const fs::path& relativeTo, const fs::path& home)
{
    if (value.starts_with("%(prefix)/"))
        return std::nullopt;
    if (!value.starts_with("~"))
        return standardizedPath(relativeTo / value);
    std::size_t slash = std::min(value.find('/'), value.size());
    std::string user(value.substr(1, slash - 1));
    fs::path userHome = home;
    if (!user.empty()) {
        // Not getpwnam, whose answer another run's settings may overwrite on another thread.
        std::vector<char> storage(16384);
        passwd entry = {};
        passwd* found = nullptr;
        while (::getpwnam_r(user.c_str(), &entry, storage.data(), storage.size(), &found) == ERANGE
            && storage.size() < 1024 * 1024)
            storage.resize(storage.size() * 2);
        if (!found)
            return std::nullopt;
        userHome = entry.pw_dir;
    }
    return standardizedPath(slash < value.size() ? userHome / value.substr(slash + 1) : userHome);
}

std::optional<fs::path> hookManagerFolder(const fs::path& hooksFolder, const fs::path& top)
{
    fs::path folder = standardizedPath(hooksFolder);
    fs::path parent = folder.parent_path();
    if (isPathInside(top, parent))
        return std::nullopt;
    auto hooks = WhatGitRuns::namesOf(WhatGitRuns::Kind::hook);
    bool holdsHooks = std::any_of(hooks.begin(), hooks.end(), [&](std::string_view name) {
        std::error_code error;
        return fs::exists(folder / name, error);
    });
    return holdsHooks ? std::optional(parent) : std::nullopt;
}

}
