#include "VellumarMacCore/GitProtection/GitProgramSettings.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <pwd.h>
#include <regex>
#include <set>
#include <system_error>

namespace vellumar::GitProgramSettings {

namespace {

    namespace fs = std::filesystem;
    using Paths = std::vector<fs::path>;

    // How Git runs a setting's value.
    enum class Form {
        shellCommand, // given to "sh -c" (or run directly when it needs no shell) at the work tree's top
        shellCommandUnlessBoolean, // the same, but a boolean turns a built-in behaviour on or off
        programPath, // run as one program, its value a path and never split
        credentialHelper, // "!" and a shell command, an absolute path, or the name of "git credential-NAME"
        alias, // "!" and a shell command, or Git's own commands
    };

    struct Family {
        const char* pattern; // a POSIX extended pattern that is also an ECMAScript one
        Form form;
    };

    // Each setting that Git's documentation gives a command or a program for and that everyday Git
    // commands run, in lower case as `git config` prints section and name.
    constexpr std::array<Family, 8> kFamilies = { {
        { "core\\.(pager|editor|sshcommand|alternaterefscommand)|sequence\\.editor"
          "|interactive\\.difffilter|gpg\\.ssh\\.defaultkeycommand",
            Form::shellCommand },
        { "diff\\.external|diff\\..+\\.(command|textconv)|difftool\\..+\\.cmd", Form::shellCommand },
        { "merge\\..+\\.driver|mergetool\\..+\\.cmd|trailer\\..+\\.(cmd|command)", Form::shellCommand },
        { "filter\\..+\\.(clean|smudge|process)", Form::shellCommand },
        { "core\\.fsmonitor|pager\\..+", Form::shellCommandUnlessBoolean },
        { "core\\.askpass|gpg\\.(.+\\.)?program", Form::programPath },
        { "credential\\.(.+\\.)?helper", Form::credentialHelper },
        { "alias\\..+", Form::alias },
    } };

    std::optional<Form> formOf(std::string_view key)
    {
        static const auto families = [] {
            std::vector<std::pair<std::regex, Form>> compiled;
            for (const auto& family : kFamilies)
                compiled.emplace_back(std::regex(family.pattern), family.form);
            return compiled;
        }();
        for (const auto& [pattern, form] : families) {
            if (std::regex_match(key.begin(), key.end(), pattern))
                return form;
        }
        return std::nullopt;
    }

    // What Git takes for a boolean.
    bool isBoolean(std::string_view value)
    {
        static const std::set<std::string, std::less<>> words
            = { "", "true", "false", "yes", "no", "on", "off" };
        return words.contains(detail::asciiLowercased(value))
            || std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
    }

    // Git's own list of hook names (githooks(5)).
    constexpr std::array<std::string_view, 28> kHookNames = { "applypatch-msg", "pre-applypatch",
        "post-applypatch", "pre-commit", "pre-merge-commit", "prepare-commit-msg", "commit-msg",
        "post-commit", "pre-rebase", "post-checkout", "post-merge", "pre-push", "pre-receive", "update",
        "proc-receive", "post-receive", "post-update", "reference-transaction", "push-to-checkout",
        "pre-auto-gc", "post-rewrite", "sendemail-validate", "fsmonitor-watchman", "p4-changelist",
        "p4-prepare-changelist", "p4-post-changelist", "p4-pre-submit", "post-index-change" };

    // One word of a command as the shell reads it, its quotes removed.
    struct Word {
        std::string text;
        // The word names the program of its command: the first one, or the first after ";", "&", "|",
        // "(" or ")".
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
            if (c == ' ' || c == '\t' || c == '\n') {
                finish();
                continue;
            }
            if (std::string_view(";&|()<>").find(c) != std::string_view::npos) {
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

    void addWordFile(const Word& word, const Resolution& resolution, Paths& files)
    {
        if (word.text.empty())
            return;
        // A quoted "~" reaches the program as written, naming a folder of that name.
        auto path = word.expandsHome || !word.text.starts_with("~")
            ? configuredPath(word.text, resolution.top, resolution.home)
            : std::optional(standardizedPath(resolution.top / word.text));
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

    void addCommandFiles(std::string_view command, const Resolution& resolution, Paths& files, int depth)
    {
        for (const auto& word : shellWords(command)) {
            addWordFile(word, resolution, files);
            if (word.quoted && depth < kMaxCodeDepth
                && word.text.find_first_of(" \t\n;&|") != std::string::npos)
                addCommandFiles(word.text, resolution, files, depth + 1);
        }
    }

}

std::string keyPattern()
{
    std::string pattern = "^(";
    for (const auto& family : kFamilies)
        pattern.append(family.pattern).append("|");
    pattern.back() = ')';
    return pattern + "$";
}

Paths namedFiles(std::string_view key, std::string_view value, const Resolution& resolution)
{
    Paths files;
    auto form = formOf(key);
    if (!form)
        return files;
    std::string command;
    switch (*form) {
    case Form::shellCommandUnlessBoolean:
        if (isBoolean(value))
            return files;
        [[fallthrough]];
    case Form::shellCommand:
        command = value;
        break;
    case Form::programPath:
        addWordFile({ std::string(value), true, value.starts_with("~"), false }, resolution, files);
        return files;
    case Form::credentialHelper:
        // Git runs "git credential-NAME" for a bare name, which PATH finds, with the rest as arguments.
        command = value.starts_with("!")    ? std::string(value.substr(1))
            : fs::path(value).is_absolute() ? std::string(value)
                                            : "git credential-" + std::string(value);
        break;
    case Form::alias:
        // Without "!" an alias is more of Git's own commands.
        if (!value.starts_with("!"))
            return files;
        command = value.substr(1);
        break;
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
    bool holdsHooks = std::any_of(kHookNames.begin(), kHookNames.end(), [&](std::string_view name) {
        std::error_code error;
        return fs::exists(folder / name, error);
    });
    return holdsHooks ? std::optional(parent) : std::nullopt;
}

}
