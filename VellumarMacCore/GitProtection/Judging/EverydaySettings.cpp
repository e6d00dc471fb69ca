#include "VellumarMacCore/GitProtection/Judging/EverydaySettings.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/GitProtection/Judging/WhatGitRuns.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace vellumar::EverydaySettings {

namespace {

    // How Git reads a setting's value, as far as telling plain data goes.
    enum class Value {
        text, // names, refs, refspecs, pathspecs, descriptions: never run, never a place Git runs from
        boolean, // git-config(1) "boolean": true, yes, on, 1 or false, no, off, 0, ""
        booleanOrWord, // a boolean or one of `words`
        word, // one of `words`
        number,
        // A remote's URL, or a remote's name, which Git takes for a URL when no remote has that name.
        remote,
    };

    struct Row {
        std::string_view name; // as git-config(1) writes it
        Value value;
        std::string_view words = {}; // '|' between them
    };

    using enum Value;

    // git-config(1) of Git 2.39, each row with the everyday command that writes it.
    constexpr auto kRows = std::to_array<Row>({
        // git init and git clone, in every repository (core.bare, which they write too, says where the
        // work tree is and so where relative hooks and programs are found: it counts).
        { "core.repositoryFormatVersion", word, "0|1" },
        { "core.fileMode", boolean },
        { "core.logAllRefUpdates", booleanOrWord, "always" },
        { "core.ignoreCase", boolean },
        { "core.precomposeUnicode", boolean },
        { "core.symlinks", boolean },
        { "extensions.objectFormat", word, "sha1|sha256" },
        // git remote add, git remote set-url, git clone: where a remote is, and which refs it maps.
        { "remote.<name>.url", remote },
        { "remote.<name>.pushUrl", remote },
        { "remote.<name>.fetch", text },
        { "remote.<name>.push", text },
        { "remote.<name>.mirror", boolean },
        { "remote.<name>.prune", boolean },
        { "remote.<name>.pruneTags", boolean },
        { "remote.<name>.tagOpt", word, "--tags|--no-tags" },
        { "remote.<name>.skipDefaultUpdate", boolean },
        { "remote.<name>.skipFetchAll", boolean },
        { "remote.pushDefault", remote },
        // git clone --filter: a partial clone's promisor remote and its filter.
        { "remote.<name>.promisor", boolean },
        { "remote.<name>.partialCloneFilter", text },
        { "extensions.partialClone", remote },
        // git push -u, git branch --set-upstream-to or --track, git checkout -b --track, git clone: a
        // branch's upstream; git branch --edit-description.
        { "branch.<name>.remote", remote },
        { "branch.<name>.pushRemote", remote },
        { "branch.<name>.merge", text },
        { "branch.<name>.rebase", booleanOrWord, "merges|m|interactive|i" },
        { "branch.<name>.description", text },
        { "branch.autoSetupMerge", booleanOrWord, "always|inherit|simple" },
        { "branch.autoSetupRebase", word, "never|local|remote|always" },
        // git submodule add, init, update and deinit, git clone --recurse-submodules. A submodule's
        // "update" may also be "!" and a command, which is no everyday value.
        { "submodule.<name>.url", remote },
        { "submodule.<name>.active", boolean },
        { "submodule.<name>.update", word, "checkout|rebase|merge|none" },
        { "submodule.<name>.branch", text },
        { "submodule.<name>.fetchRecurseSubmodules", booleanOrWord, "on-demand" },
        { "submodule.<name>.ignore", word, "none|untracked|dirty|all" },
        { "submodule.active", text },
        { "submodule.recurse", boolean },
        // git config user.name, user.email: who commits.
        { "user.*", text },
        // Line endings, as a project's instructions have them set.
        { "core.autocrlf", booleanOrWord, "input" },
        { "core.eol", word, "lf|crlf|native" },
        { "core.safecrlf", booleanOrWord, "warn" },
        // git sparse-checkout set and init, which keep their choice per worktree.
        { "core.sparseCheckout", boolean },
        { "core.sparseCheckoutCone", boolean },
        { "index.sparse", boolean },
        { "extensions.worktreeConfig", boolean },
        // git config pull.rebase and the like: how pull, push and fetch behave.
        { "pull.rebase", booleanOrWord, "merges|m|interactive|i" },
        { "pull.ff", booleanOrWord, "only" },
        { "push.default", word, "nothing|current|upstream|tracking|simple|matching" },
        { "push.autoSetupRemote", boolean },
        { "push.followTags", boolean },
        { "push.recurseSubmodules", word, "check|on-demand|only|no" },
        { "fetch.prune", boolean },
        { "fetch.pruneTags", boolean },
        { "fetch.recurseSubmodules", booleanOrWord, "on-demand" },
        { "fetch.parallel", number },
        { "fetch.writeCommitGraph", boolean },
        { "rebase.autoStash", boolean },
        { "rebase.autoSquash", boolean },
        { "rebase.updateRefs", boolean },
        { "merge.ff", booleanOrWord, "only" },
        { "merge.conflictStyle", word, "merge|diff3|zdiff3" },
        { "init.defaultBranch", text },
        // git maintenance register and start, git config gc.auto 0.
        { "maintenance.auto", boolean },
        { "maintenance.strategy", word, "none|incremental" },
        { "maintenance.<task>.enabled", boolean },
        { "maintenance.<task>.schedule", word, "hourly|daily|weekly" },
        { "gc.auto", number },
        { "gc.autoDetach", boolean },
    });

    bool isNumber(std::string_view value)
    {
        if (value.starts_with('-'))
            value.remove_prefix(1);
        return !value.empty()
            && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    bool isOneOf(std::string_view value, std::string_view words)
    {
        std::string lowered = detail::asciiLowercased(value);
        for (std::size_t start = 0; start <= words.size();) {
            std::size_t end = std::min(words.find('|', start), words.size());
            if (lowered == words.substr(start, end - start))
                return true;
            start = end + 1;
        }
        return false;
    }

    // git-config(1), "Values": a value Git reads as a boolean, an integer among them.
    bool isBoolean(std::optional<std::string_view> value)
    {
        return !value || value->empty() || isOneOf(*value, "true|yes|on|false|no|off") || isNumber(*value);
    }

    // git-remote-helpers(7): "<transport>::<address>" runs the helper "git-remote-<transport>" (ext and fd
    // among them), and so does a "<scheme>://" URL for a scheme Git has no transport of its own for.
    // A value beginning with "-", here or as the host, would be read as an option by ssh.
    bool isPlainRemote(std::string_view value)
    {
        static const std::regex helper("^[A-Za-z][A-Za-z0-9+.-]*::");
        static const std::regex scheme("^([A-Za-z][A-Za-z0-9+.-]*)://([^/]*@)?(.?)");
        static constexpr std::string_view kGitsOwn = "ssh|git|http|https|ftp|ftps|file|git+ssh|ssh+git";
        std::match_results<std::string_view::const_iterator> parts;
        if (value.starts_with('-') || std::regex_search(value.begin(), value.end(), helper))
            return false;
        if (!std::regex_search(value.begin(), value.end(), parts, scheme))
            return true;
        return isOneOf(std::string_view(parts[1].first, parts[1].second), kGitsOwn) && parts[3] != "-";
    }

    bool isPlain(const Row& row, std::optional<std::string_view> value)
    {
        switch (row.value) {
        case text:
            return true;
        case boolean:
            return isBoolean(value);
        case booleanOrWord:
            return isBoolean(value) || isOneOf(*value, row.words);
        case word:
            return value && isOneOf(*value, row.words);
        case number:
            return value && isNumber(*value);
        case remote:
            return value && isPlainRemote(*value);
        }
        return false;
    }

    const std::vector<std::pair<std::regex, const Row*>>& compiledRows()
    {
        static const auto compiled = [] {
            std::vector<std::pair<std::regex, const Row*>> rows;
            for (const auto& row : kRows)
                rows.emplace_back(std::regex(WhatGitRuns::namePattern(row.name)), &row);
            return rows;
        }();
        return compiled;
    }

}

bool isEveryday(std::string_view key, std::optional<std::string_view> value)
{
    return std::any_of(compiledRows().begin(), compiledRows().end(), [&](const auto& compiled) {
        return std::regex_match(key.begin(), key.end(), compiled.first) && isPlain(*compiled.second, value);
    });
}

}
