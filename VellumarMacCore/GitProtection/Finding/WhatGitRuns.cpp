#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"

#include <algorithm>
#include <array>
#include <regex>
#include <utility>

namespace vellumar::WhatGitRuns {

namespace {

    using enum Kind;
    using enum Reading;

    constexpr auto kRows = std::to_array<Row>({
        // githooks(5)
        { hook, "applypatch-msg" },
        { hook, "pre-applypatch" },
        { hook, "post-applypatch" },
        { hook, "pre-commit" },
        { hook, "pre-merge-commit" },
        { hook, "prepare-commit-msg" },
        { hook, "commit-msg" },
        { hook, "post-commit" },
        { hook, "pre-rebase" },
        { hook, "post-checkout" },
        { hook, "post-merge" },
        { hook, "pre-push" },
        { hook, "pre-receive" },
        { hook, "update" },
        { hook, "proc-receive" },
        { hook, "post-receive" },
        { hook, "post-update" },
        { hook, "reference-transaction" },
        { hook, "push-to-checkout" },
        { hook, "pre-auto-gc" },
        { hook, "post-rewrite" },
        { hook, "sendemail-validate" },
        { hook, "fsmonitor-watchman" },
        { hook, "p4-changelist" },
        { hook, "p4-prepare-changelist" },
        { hook, "p4-post-changelist" },
        { hook, "p4-pre-submit" },
        { hook, "post-index-change" },

        // git-config(1): where Git reads hooks, templates and more configuration from.
        { setting, "core.hooksPath", hooksFolder },
        { setting, "include.path", include },
        { setting, "includeIf.<condition>.path", include },
        { setting, "init.templateDir", templateFolder },
        // git-config(1): commands.
        { setting, "core.editor", shellCommand },
        { setting, "sequence.editor", shellCommand },
        { setting, "core.pager", shellCommand },
        { setting, "pager.<cmd>", shellCommandUnlessBoolean },
        { setting, "core.fsmonitor", shellCommandUnlessBoolean },
        { setting, "core.sshCommand", shellCommand },
        { setting, "core.gitProxy", shellCommand },
        { setting, "core.alternateRefsCommand", shellCommand },
        { setting, "core.askPass", programPath },
        { setting, "interactive.diffFilter", shellCommand },
        { setting, "diff.external", shellCommand },
        { setting, "diff.<driver>.command", shellCommand },
        { setting, "diff.<driver>.textconv", shellCommand },
        { setting, "difftool.<tool>.cmd", shellCommand },
        { setting, "difftool.<tool>.path", programPath },
        { setting, "merge.<driver>.driver", shellCommand },
        { setting, "mergetool.<tool>.cmd", shellCommand },
        { setting, "mergetool.<tool>.path", programPath },
        { setting, "filter.<driver>.clean", shellCommand },
        { setting, "filter.<driver>.smudge", shellCommand },
        { setting, "credential.helper", credentialHelper },
        { setting, "credential.<url>.helper", credentialHelper },
        { setting, "gpg.program", programPath },
        { setting, "gpg.<format>.program", programPath },
        { setting, "gpg.ssh.defaultKeyCommand", shellCommand },
        { setting, "alias.*", bangCommand },
        { setting, "submodule.<name>.update", bangCommand },
        { setting, "remote.<name>.uploadpack", shellCommand },
        { setting, "remote.<name>.receivepack", shellCommand },
        { setting, "uploadpack.packObjectsHook", shellCommand },
        { setting, "browser.<tool>.cmd", shellCommand },
        { setting, "browser.<tool>.path", programPath },
        { setting, "man.<tool>.cmd", shellCommand },
        { setting, "man.<tool>.path", programPath },
        { setting, "guitool.<name>.cmd", shellCommand },
        { setting, "imap.tunnel", shellCommand },
        { setting, "instaweb.httpd", shellCommand },
        // git-config(1): "sendemail.<identity>.*" holds an identity's own copy of each.
        { setting, "sendemail.toCmd", shellCommand },
        { setting, "sendemail.<identity>.toCmd", shellCommand },
        { setting, "sendemail.ccCmd", shellCommand },
        { setting, "sendemail.<identity>.ccCmd", shellCommand },
        // An absolute path is a sendmail-like program; anything else a host name.
        { setting, "sendemail.smtpServer", programPath },
        { setting, "sendemail.<identity>.smtpServer", programPath },
        // gitattributes(5)
        { setting, "filter.<driver>.process", shellCommand },
        // git-interpret-trailers(1)
        { setting, "trailer.<token>.cmd", shellCommand },
        { setting, "trailer.<token>.command", shellCommand },
        // git-archive(1)
        { setting, "tar.<format>.command", shellCommand },

        // gitrepository-layout(5) and git-rebase(1), git-cherry-pick(1): a later "--continue" runs the
        // to-do list's "exec" lines.
        { sequencerState, "rebase-merge" },
        { sequencerState, "rebase-apply" },
        { sequencerState, "sequencer" },
        // git-rebase(1)'s to-do commands, each also by its letter, and git-revert(1)'s "revert": none
        // runs a program but "exec" ("x"), whose line is a shell command.
        { sequencerCommand, "pick" },
        { sequencerCommand, "p" },
        { sequencerCommand, "reword" },
        { sequencerCommand, "r" },
        { sequencerCommand, "edit" },
        { sequencerCommand, "e" },
        { sequencerCommand, "squash" },
        { sequencerCommand, "s" },
        { sequencerCommand, "fixup" },
        { sequencerCommand, "f" },
        { sequencerCommand, "break" },
        { sequencerCommand, "b" },
        { sequencerCommand, "drop" },
        { sequencerCommand, "d" },
        { sequencerCommand, "label" },
        { sequencerCommand, "l" },
        { sequencerCommand, "reset" },
        { sequencerCommand, "t" },
        { sequencerCommand, "merge" },
        { sequencerCommand, "m" },
        { sequencerCommand, "update-ref" },
        { sequencerCommand, "u" },
        { sequencerCommand, "noop" },
        { sequencerCommand, "revert" },
        // git-merge(1) "MERGE STRATEGIES": any other name runs the program "git-merge-<name>".
        { mergeStrategy, "ort" },
        { mergeStrategy, "recursive" },
        { mergeStrategy, "resolve" },
        { mergeStrategy, "octopus" },
        { mergeStrategy, "ours" },
        { mergeStrategy, "subtree" },
    });

    // "filter.<driver>.clean" as Git prints the key: section and name in lower case, anything in the
    // subsection.
    std::string patternOf(std::string_view name)
    {
        std::string pattern;
        for (std::size_t at = 0; at < name.size(); ++at) {
            if (name[at] == '<') {
                at = name.find('>', at);
                pattern += ".+";
            } else if (name[at] == '*') {
                pattern += ".+";
            } else if (name[at] == '.') {
                pattern += "\\.";
            } else {
                pattern += detail::asciiLowercased(name.substr(at, 1));
            }
        }
        return pattern;
    }

    const std::vector<std::pair<std::regex, Reading>>& compiledSettings()
    {
        static const auto compiled = [] {
            std::vector<std::pair<std::regex, Reading>> settings;
            for (const auto& row : kRows) {
                if (row.kind == setting)
                    settings.emplace_back(std::regex(patternOf(row.name)), row.reading);
            }
            return settings;
        }();
        return compiled;
    }

}

std::span<const Row> rows() { return kRows; }

std::string namePattern(std::string_view name) { return patternOf(name); }

std::vector<std::string_view> namesOf(Kind kind)
{
    std::vector<std::string_view> names;
    for (const auto& row : kRows) {
        if (row.kind == kind)
            names.push_back(row.name);
    }
    return names;
}

bool isHookName(std::string_view name)
{
    return std::any_of(
        kRows.begin(), kRows.end(), [&](const Row& row) { return row.kind == hook && row.name == name; });
}

std::string keyPattern()
{
    std::string pattern;
    for (const auto& row : kRows) {
        if (row.kind == setting)
            pattern.append(pattern.empty() ? "^(" : "|").append(patternOf(row.name));
    }
    return pattern + ")$";
}

std::optional<Reading> readingOf(std::string_view key)
{
    for (const auto& [pattern, reading] : compiledSettings()) {
        if (std::regex_match(key.begin(), key.end(), pattern))
            return reading;
    }
    return std::nullopt;
}

}
