#include "VellumarMacCore/GitProtection/Judging/EverydaySettings.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/GitProtection/Finding/WhatGitRuns.h"

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
        text, // names, refs, fetch refspecs, formats, colours: never run, never a place Git runs from
        boolean, // git-config(1) "boolean": true, yes, on, 1 or false, no, off, 0, ""
        booleanOrWord, // a boolean or one of `words`
        word, // one of `words`
        integer, // git-config(1) "integer", with its k, m or g
        // A URL Git fetches from: a submodule's, which "git submodule update" clones.
        url,
        // A remote's URL, which Git pushes to as well: the push runs the hooks of the repository it enters.
        pushUrl,
        // A remote's name, or a URL (as `pushUrl`) where no remote has that name.
        remote,
        // git-push(1) "<refspec>": one that deletes (":<dst>") or forces ("+<src>:<dst>") on the remote at
        // every later plain "git push" is no everyday value.
        pushRefspec,
        // A submodule's work tree, where "git submodule update" connects it and "deinit" disconnects it.
        ownWorkTree,
    };

    struct Row {
        std::string_view name; // as git-config(1) writes it
        Value value;
        std::string_view words = {}; // '|' between them
    };

    using enum Value;

    // git-config(1) of Git 2.39, each row with the everyday command that writes it. No row's value can
    // name a program Git runs or a file it reads: those of the same families (core.editor,
    // core.pager, pager.<cmd>, diff.external, the diff and merge drivers and tools, gpg.program,
    // commit.template, diff.orderFile) count. Nor can one change where Git connects or whom it trusts
    // (http.proxy, http.sslVerify, http.extraHeader, credential.*): those count too, data or not.
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
        // (remote.<name>.mirror, which makes every plain push delete what the remote holds beyond the
        // local refs, counts.)
        { "remote.<name>.url", pushUrl },
        { "remote.<name>.pushUrl", pushUrl },
        { "remote.<name>.fetch", text },
        { "remote.<name>.push", pushRefspec },
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
        { "submodule.<name>.url", url },
        { "submodule.<name>.active", boolean },
        { "submodule.<name>.update", word, "checkout|rebase|merge|none" },
        { "submodule.<name>.branch", text },
        { "submodule.<name>.fetchRecurseSubmodules", booleanOrWord, "on-demand" },
        { "submodule.<name>.ignore", word, "none|untracked|dirty|all" },
        { "submodule.active", text },
        { "submodule.recurse", boolean },
        { "core.worktree", ownWorkTree },
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
        { "fetch.parallel", integer },
        { "fetch.writeCommitGraph", boolean },
        // Whether received objects are checked (fetch.fsck.skipList, which names a file Git reads, counts).
        { "fetch.fsckObjects", boolean },
        { "receive.fsckObjects", boolean },
        { "transfer.fsckObjects", boolean },
        { "rebase.autoStash", boolean },
        { "rebase.autoSquash", boolean },
        { "rebase.updateRefs", boolean },
        { "merge.ff", booleanOrWord, "only" },
        { "merge.conflictStyle", word, "merge|diff3|zdiff3" },
        { "merge.renameLimit", integer },
        { "merge.renames", boolean },
        { "init.defaultBranch", text },
        // git maintenance register and start, git config gc.auto 0.
        { "maintenance.auto", boolean },
        { "maintenance.strategy", word, "none|incremental" },
        { "maintenance.<task>.enabled", boolean },
        { "maintenance.<task>.schedule", word, "hourly|daily|weekly" },
        { "gc.auto", integer },
        { "gc.autoDetach", boolean },
        // git config color.ui, column.ui, core.quotePath, advice.*: how output looks and which hints it
        // gives. Every "color.*" value is a colour or says when to colour.
        { "color.*", text },
        { "column.*", text },
        { "core.quotePath", boolean },
        { "advice.*", boolean },
        // How diffs and logs are shaped: algorithms, context, renames, moved lines, dates, decorations.
        { "diff.algorithm", word, "default|myers|minimal|patience|histogram" },
        { "diff.colorMoved", booleanOrWord, "no|default|plain|blocks|zebra|dimmed-zebra|dimmed_zebra" },
        { "diff.colorMovedWS", text },
        { "diff.context", integer },
        { "diff.dirstat", text },
        { "diff.ignoreSubmodules", word, "none|untracked|dirty|all" },
        { "diff.indentHeuristic", boolean },
        { "diff.interHunkContext", integer },
        { "diff.mnemonicPrefix", boolean },
        { "diff.noprefix", boolean },
        { "diff.relative", boolean },
        { "diff.renameLimit", integer },
        { "diff.renames", booleanOrWord, "copies|copy" },
        { "diff.statGraphWidth", integer },
        { "diff.submodule", word, "short|log|diff" },
        { "diff.suppressBlankEmpty", boolean },
        { "diff.wordRegex", text },
        { "diff.wsErrorHighlight", text },
        { "log.abbrevCommit", boolean },
        { "log.date", text },
        { "log.decorate", booleanOrWord, "short|full|auto" },
        { "log.diffMerges", text },
        { "log.excludeDecoration", text },
        { "log.follow", boolean },
        { "log.graphColors", text },
        { "log.initialDecorationSet", word, "all" },
        { "log.mailmap", boolean },
        { "log.showRoot", boolean },
        { "log.showSignature", boolean },
        // What git status shows.
        { "status.aheadBehind", boolean },
        { "status.branch", boolean },
        { "status.displayCommentPrefix", boolean },
        { "status.relativePaths", boolean },
        { "status.renameLimit", integer },
        { "status.renames", booleanOrWord, "copies|copy" },
        { "status.short", boolean },
        { "status.showStash", boolean },
        { "status.showUntrackedFiles", word, "no|normal|all" },
        { "status.submoduleSummary", boolean },
        // git rerere: conflict resolutions recorded and replayed.
        { "rerere.enabled", boolean },
        { "rerere.autoUpdate", boolean },
        // Speed: the index's caches and version, threads, buffers (core.longpaths and core.fscache are Git
        // for Windows' own, which this Git reads as nothing).
        { "core.untrackedCache", booleanOrWord, "keep" },
        { "core.preloadIndex", boolean },
        { "core.commitGraph", boolean },
        { "core.multiPackIndex", boolean },
        { "core.longpaths", boolean },
        { "core.fscache", boolean },
        { "feature.manyFiles", boolean },
        { "index.threads", boolean },
        { "index.version", word, "2|3|4" },
        { "pack.threads", integer },
        { "checkout.workers", integer },
        { "http.postBuffer", integer },
        { "http.<url>.postBuffer", integer },
        // Signing on or off (which program signs, and how, counts: gpg.program, gpg.format).
        { "commit.gpgSign", boolean },
        { "tag.gpgSign", boolean },
        { "tag.forceSignAnnotated", boolean },
        { "push.gpgSign", booleanOrWord, "if-asked" },
        // git lfs install, in a repository: the layout of git-lfs's own settings.
        { "lfs.repositoryFormatVersion", integer },
    });

    bool isInteger(std::string_view value)
    {
        if (!value.empty() && std::string_view("kKmMgG").find(value.back()) != std::string_view::npos)
            value.remove_suffix(1);
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
        return !value || value->empty() || isOneOf(*value, "true|yes|on|false|no|off") || isInteger(*value);
    }

    // RFC 3986 §2.1: "%" and two hex digits; anything else stays as written, as Git leaves it.
    std::string percentDecoded(std::string_view text)
    {
        auto hex = [](char c) {
            return c >= '0' && c <= '9' ? c - '0'
                : c >= 'a' && c <= 'f'  ? c - 'a' + 10
                : c >= 'A' && c <= 'F'  ? c - 'A' + 10
                                        : -1;
        };
        std::string decoded;
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '%' && at + 2 < text.size() && hex(text[at + 1]) >= 0 && hex(text[at + 2]) >= 0) {
                decoded.push_back(static_cast<char>(hex(text[at + 1]) * 16 + hex(text[at + 2])));
                at += 2;
            } else {
                decoded.push_back(text[at]);
            }
        }
        return decoded;
    }

    // Where a URL leads Git: over the network, or to a local path.
    struct Destination {
        std::optional<std::string> localPath;
    };

    // The schemes of Git's own transports but "file", matched as written, as Git matches them.
    constexpr auto kGitsOwnSchemes = std::to_array<std::string_view>(
        { "ssh", "git", "http", "https", "ftp", "ftps", "git+ssh", "ssh+git" });

    // In the order Git 2.39 tells them apart (git-remote-helpers(7), git-fetch(1) "GIT URLS"):
    // "<transport>::<address>" runs the helper "git-remote-<transport>" (ext and fd among them);
    // "<scheme>://" is one of Git's own transports or runs the helper of that scheme; "file://" reaches
    // the path after its host, percent-decoded; a colon before any slash is ssh's "host:path"; anything
    // else is a local path. A value beginning with "-", or an ssh user or host that does, would be read
    // as an option. Absent where a helper runs or an option is read.
    std::optional<Destination> destinationOf(std::string_view url)
    {
        static const std::regex helper("^[A-Za-z][A-Za-z0-9+.-]*::");
        static const std::regex scheme("^([A-Za-z][A-Za-z0-9+.-]*)://");
        std::match_results<std::string_view::const_iterator> parts;
        if (url.starts_with('-') || std::regex_search(url.begin(), url.end(), helper))
            return std::nullopt;
        if (std::regex_search(url.begin(), url.end(), parts, scheme)) {
            std::string_view name(parts[1].first, parts[1].second);
            std::string_view rest = url.substr(static_cast<std::size_t>(parts.length(0)));
            std::string_view authority = rest.substr(0, rest.find('/'));
            if (name == "file")
                return Destination { percentDecoded(rest.substr(authority.size())) };
            std::size_t at = authority.rfind('@');
            std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
            if (authority.starts_with('-') || host.starts_with('-') || host.starts_with("[-")
                || std::find(kGitsOwnSchemes.begin(), kGitsOwnSchemes.end(), name) == kGitsOwnSchemes.end())
                return std::nullopt;
            return Destination {};
        }
        if (std::size_t colon = url.find(':'); colon != std::string_view::npos && colon < url.find('/'))
            return Destination {};
        return Destination { std::string(url) };
    }

    bool answers(const std::function<bool(std::string_view)>& question, std::string_view value)
    {
        return question && question(value);
    }

    bool isPlainPushUrl(std::string_view url, const Surroundings& surroundings)
    {
        auto destination = destinationOf(url);
        return destination
            && (!destination->localPath
                || answers(surroundings.leadsOnlyToTheUsers, *destination->localPath));
    }

    bool isPlainRemote(std::string_view name, const Surroundings& surroundings)
    {
        using Named = Surroundings::RemoteName;
        Named named = surroundings.remoteNamed ? surroundings.remoteNamed(name) : Named::url;
        return named == Named::configured || (named == Named::url && isPlainPushUrl(name, surroundings));
    }

    bool isPlain(const Row& row, std::optional<std::string_view> value, const Surroundings& surroundings)
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
        case integer:
            return value && isInteger(*value);
        case url:
            return value && destinationOf(*value).has_value();
        case pushUrl:
            return value && isPlainPushUrl(*value, surroundings);
        case remote:
            return value && isPlainRemote(*value, surroundings);
        case pushRefspec:
            return value && !value->starts_with('+') && !(value->starts_with(':') && value->size() > 1);
        case ownWorkTree:
            return value && answers(surroundings.namesOwnWorkTree, *value);
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

bool isEveryday(std::string_view key, std::optional<std::string_view> value, const Surroundings& surroundings)
{
    return std::any_of(compiledRows().begin(), compiledRows().end(), [&](const auto& compiled) {
        return std::regex_match(key.begin(), key.end(), compiled.first)
            && isPlain(*compiled.second, value, surroundings);
    });
}

}
