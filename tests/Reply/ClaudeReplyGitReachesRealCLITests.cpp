// Where the bot's Git settings lead, with the real CLI, bubblewrap and the scripted model in a granted
// "~/Projects": a path outside every writable place names nothing a command wrote, a Git folder moved
// by Git itself is the one known before, and a path into the place to a Git folder made in the run
// still counts.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

TEST(ClaudeReplyGitReachesRealCLI, PathsLeadingOutOrToKnownGitFoldersKeepTheBotsWork)
{
    // "~/upstream/lib", granted only for reading, gets a commit after the run for the user to pull.
    const std::string upstream = "mkdir -p ../upstream && repo ../upstream/lib";
    const std::string upstreamMoves = "git -C ../upstream/lib commit -q --allow-empty -m second && ";
    const vellumar::test::GitRowOptions readsUpstream { .readable = "upstream" };
    // Root reads past every folder's permissions: an ordinary user shows what the grant lets through.
    const vellumar::test::GitRowOptions readsUpstreamAsNobody { .readable = "upstream", .asNobody = true };
    const std::string clone = "git clone -q ../upstream/lib lib";
    const std::string pullsClone = upstreamMoves + "cd lib && git pull -q && git log --format=%s";
    const std::string submodule
        = "cd app && git -c protocol.file.allow=always submodule add -q ../../upstream/lib vendor/lib";
    const std::string pullsSubmodule
        = upstreamMoves + "cd app/vendor/lib && git pull -q && git log --format=%s";
    vellumar::test::runGitRows({
        { "a clone of a repository granted only for reading keeps its origin", upstream, { { clone } },
            pullsClone, "second\nfirst\n", readsUpstream },
        { "a clone of a repository granted only for reading keeps its origin, as an ordinary user", upstream,
            { { clone } }, pullsClone, "second\nfirst\n", readsUpstreamAsNobody },
        { "a submodule of a repository granted only for reading keeps its origin", upstream + " && repo app",
            { { submodule } }, pullsSubmodule, "second\nfirst\n", readsUpstream },
        { "a submodule of a repository granted only for reading keeps its origin, as an ordinary user",
            upstream + " && repo app", { { submodule } }, pullsSubmodule, "second\nfirst\n",
            readsUpstreamAsNobody },
        { "absorbgitdirs moves a submodule's Git folder into the superproject's and the user commits there",
            "repo library && repo app && git clone -q library app/vendor/lib && "
            "git -C app submodule add -q ../library vendor/lib && git -C app commit -qm sub",
            { { "git -C app submodule absorbgitdirs" } },
            "test -f app/vendor/lib/.git && git -C app/vendor/lib commit -q --allow-empty -m in-lib && "
            "git -C app/vendor/lib log --format=%s && git -C app log --format=%s",
            "in-lib\nfirst\nsub\nfirst\n" },
        { "a remote through a link outside the place into it, to a Git folder the run made, counts",
            "repo app && ln -s Projects ../linked",
            { { "git init -q --bare made.git && plant made.git/hooks/pre-receive && "
                "git -C app remote add origin \"$(dirname \"$PWD\")/linked/made.git\"" } },
            "cd app && { git config remote.origin.url || echo no-url; }", "no-url\n" },
    });
}
