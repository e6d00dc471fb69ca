// Ordinary work in a granted "~/Projects", with the real CLI, bubblewrap and the scripted model: a
// change of the user's that went aside is never lost, settings Git reads as data stay, a submodule
// emptied and filled again stays, and husky 9's own rewrite of its runners goes nowhere.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Settings a bot makes in ordinary work, each with an ordinary value; Git reads every one as data.
const std::vector<std::pair<std::string, std::string>> kOrdinarySettings = {
    { "commit.gpgSign", "false" },
    { "color.ui", "auto" },
    { "rerere.enabled", "true" },
    { "status.showUntrackedFiles", "all" },
    { "diff.colorMoved", "zebra" },
    { "log.date", "iso" },
    { "advice.detachedHead", "false" },
    { "core.quotePath", "false" },
    { "core.longpaths", "true" },
    { "diff.renames", "copies" },
    { "http.postBuffer", "524288000" },
    { "core.untrackedCache", "true" },
    { "lfs.repositoryformatversion", "0" },
    { "user.name", "The Bot" },
    { "user.email", "bot@example.com" },
    { "pull.rebase", "true" },
    { "push.autoSetupRemote", "true" },
    { "fetch.prune", "true" },
    { "core.autocrlf", "input" },
    { "init.defaultBranch", "main" },
};

// husky 9 in "web", the user's hook script saying "user-hook" in $OUT, and its prepare step run by
// `npm install`, from a copy of husky 9 in the grant.
const std::string kHuskyPreparing
    = R"(husky9 web && printf 'echo user-hook >> %s\n' "$OUT" > web/.husky/pre-commit &&
  cp -r "$HUSKY9" husky &&
  printf '{"name":"web","version":"1.0.0","scripts":{"prepare":"husky"},%s}' \
    '"devDependencies":{"husky":"file:../husky"}' > web/package.json)";

// The bot's command setting them all, the user's reading them back, and what that prints.
struct OrdinarySettings {
    std::string set = "cd app";
    std::string read;
    std::string values;

    OrdinarySettings()
    {
        for (const auto& [key, value] : kOrdinarySettings) {
            set += " && git config " + key + " '" + value + "'";
            read += "git -C app config " + key + " && ";
            values += value + "\n";
        }
    }
};

std::vector<vellumar::test::GitRow> ordinaryWorkRows()
{
    const OrdinarySettings settings;
    const std::vector<std::string> pager = { "git -C app config core.pager 'less -R'" };
    return {
        { "the user's change during a run, then five runs that each send a setting aside", "repo app",
            { { ":" }, pager, pager, pager, pager, pager },
            "cat app/.git/config app/.git/config.refused-* | grep 'who = log -1'", "\twho = log -1\n",
            { .during = "git -C app config alias.who 'log -1'" } },
        { "the bot's ordinary settings stay and core.editor goes aside", "repo app",
            { { settings.set, "git -C app config core.editor vim" } },
            settings.read + "{ git -C app config core.editor || echo no-editor; }",
            settings.values + "no-editor\n" },
        { "git submodule deinit, init and update in one command",
            "repo library && repo super && git -C super submodule add -q ../library vendor/lib"
            " && git -C super commit -qm lib",
            { { "cd super && git submodule deinit -f vendor/lib && git submodule init"
                " && git -c protocol.file.allow=always submodule update" } },
            "git -C super status --short && ls super/vendor && git -C super/vendor/lib log -1 --format=%s",
            "lib\nfirst\n" },
        // The prepare step ten times more, since a rewrite moved aside is a race that one install
        // shows only now and then.
        { "npm install beside husky 9, then its prepare step ten times more", kHuskyPreparing,
            { { "cd web && npm install --offline --no-audit --no-fund --no-update-notifier --cache "
                "\"$PWD/../.npm\""
                " && for i in $(seq 10); do node_modules/.bin/husky > /dev/null || exit; done" } },
            "find . -name '*.refused-*' && git -C web commit -q --allow-empty -m by-the-user"
            " && cat \"$OUT\"",
            "user-hook\n", { .quiet = true } },
    };
}

}

class ClaudeReplyGitOrdinaryWorkRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitOrdinaryWorkRealCLI, OrdinaryWorkStaysAndTheUsersChangeIsNeverLost)
{
    vellumar::test::runGitRow(ordinaryWorkRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitOrdinaryWorkRealCLI, ::testing::Range<std::size_t>(0, ordinaryWorkRows().size()));
