// Which Git folders the guard knows, with the real CLI, bubblewrap and the scripted model in a granted
// "~/Projects": one noted before the run began, by its identity wherever a command renames it; what a
// command of any run wrote, over several runs and beside a second job; and the guard's own moved-aside
// folders by identity, not by a name a command can give any folder.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kAppWithOrigin = "repo app && git clone -q --bare app origin.git"
                                   " && git -C app remote add origin \"$PWD/origin.git\"";

// A repository at a folder named as the guard names what it moves aside, with a hook and a monitor.
const std::string kNamedAsAside = ".cache.refused-20250101T000000Z/s";

// A name as the guard gives what it moves aside.
const std::string kHooksAsAside = "hooks.refused-20250101T000000Z-deadbeef";

// The user's next commit in "app", what the user's own hook wrote, and the log.
const std::string kAppCommitted
    = "git -C app commit -q --allow-empty -m second && cat \"$OUT\" && git -C app log --format=%s";

// The user's first commit in "site", and the status after it.
const std::string kSiteCommitted
    = "cd site && git add index.html && git commit -qm first && git status --short && git log --format=%s";

std::vector<vellumar::test::GitRow> knownRows()
{
    return {
        { "a hooks folder and a configuration written in one run, made a repository in the next",
            "mkdir proj2 && echo hi > proj2/readme",
            { { "mkdir -p stash/hooks && plant stash/hooks/pre-commit"
                " && git config -f stash/config core.fsmonitor \"touch $RAN\"" },
                { "printf 'ref: refs/heads/main\\n' | tee stash/HEAD > /dev/null"
                  " && mkdir -p stash/objects stash/refs/heads"
                  " && mv stash proj2/.git" } },
            "cd proj2 && git add readme && git commit -qm first && git status --short && git log --format=%s",
            "first\n" },
        { "a separate Git folder named like one moved aside, named by a .git file",
            "mkdir site && echo hi > site/index.html",
            { { "mkdir .cache.refused-20250101T000000Z && git init -q --separate-git-dir \"$PWD/"
                + kNamedAsAside + "\" site && plant " + kNamedAsAside
                + "/hooks/pre-commit && monitor site" } },
            kSiteCommitted, "first\n" },
        { "a repository named like one moved aside, named by a .git link",
            "mkdir site && echo hi > site/index.html",
            { { "git init -q " + kNamedAsAside + " && plant " + kNamedAsAside
                + "/.git/hooks/pre-commit && monitor " + kNamedAsAside + " && ln -s \"$PWD/" + kNamedAsAside
                + "/.git\" site/.git" } },
            kSiteCommitted, "first\n" },
        { "the user's origin renamed and named as the remote", kAppWithOrigin,
            { { "mv origin.git origin-renamed.git && git -C app remote set-url origin "
                "\"$PWD/origin-renamed.git\"" } },
            "git -C app commit -q --allow-empty -m second && git -C app push -q origin main"
            " && git -C origin-renamed.git log --format=%s main",
            "second\nfirst\n" },
        { "a repository the bot made, renamed in a later run and named as a remote", "repo app",
            { { "git init -q --bare made.git" },
                { "mv made.git shared.git && git -C app remote add shared \"$PWD/shared.git\"" } },
            "git -C app push -q shared main && git -C shared.git log --format=%s main", "first\n" },
        // The hook is still held open as the second job starts, so that no close has told the first's
        // watch of it before the second job notes the repository.
        { "a second job noting beside the first what the first's command made", "repo app",
            { { "git init -q --bare mirror.git && plant mirror.git/hooks/pre-receive \"$besideStarts\"" } },
            "git -C app push -q \"$PWD/mirror.git\" main && git -C mirror.git log --format=%s main",
            "first\n", { .beside = { "git -C mirror.git rev-parse --is-bare-repository" } } },
        { "a second job beside the first, the user's hook and work kept",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { "echo more >> app/tracked.txt", "git -C app diff --stat" } },
            "git -C app commit -qam second && cat \"$OUT\" && find . -name '*.refused-*' | wc -l",
            "pre-commit\n0\n", { .beside = { "git -C app log --oneline" } } },
        { "the user's hooks renamed like ones moved aside, other hooks in their place",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { "mv app/.git/hooks app/.git/" + kHooksAsAside
                + " && mkdir app/.git/hooks && plant app/.git/hooks/pre-commit" } },
            kAppCommitted, "pre-commit\nsecond\nfirst\n" },
        { "the user's Git folder renamed like one moved aside, named by a .git file, its hook planted",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { "mv app/.git app/" + kHooksAsAside + " && plant app/" + kHooksAsAside
                + "/hooks/pre-commit && echo 'gitdir: " + kHooksAsAside + "' > app/.git" } },
            kAppCommitted, "pre-commit\nsecond\nfirst\n" },
    };
}

}

class ClaudeReplyGitKnownRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitKnownRealCLI, KnownIsByIdentityBeforeTheRunAndNewIsWhatAnyRunsCommandsWrote)
{
    vellumar::test::runGitRow(knownRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitKnownRealCLI, ::testing::Range<std::size_t>(0, knownRows().size()));
