// Every Git folder in a granted "~/Projects", however the user's Git reaches it and wherever a command
// moves it, with the real CLI, bubblewrap and the scripted model: what a command plants there runs
// nothing in the user's Git afterwards, and what the bot's ordinary work made stays.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The user's app with a bare origin beside it, as cloned from it.
const std::string kAppWithOrigin = "repo app && git clone -q --bare app origin.git"
                                   " && git -C app remote add origin \"$PWD/origin.git\""
                                   " && git -C app push -q -u origin main";

// The user's commit in `repository`, and what it says then.
std::string usersCommit(const std::string& repository)
{
    return "git -C " + repository + " commit -q --allow-empty -m by-the-user && git -C " + repository
        + " log -1 --format=%s";
}

// The user's commit pushed to origin, and what origin says then.
const std::string kPushToOrigin = "git -C app commit -q --allow-empty -m by-the-user && git -C app push -q"
                                  " && git -C origin.git log -1 --format=%s main";

// A repository the command made, whose plant runs when the user's push reaches it.
const std::string kDeployRepository
    = "git clone -q app deploy && git -C deploy config receive.denyCurrentBranch updateInstead"
      " && plant deploy/.git/hooks/push-to-checkout";

// A command pointing the linked worktree `worktree`'s commondir at a bare repository it makes at `bare`.
std::string commonDirToNewBare(const std::string& worktree, const std::string& bare)
{
    return "git init -q --bare " + bare + " && plant " + bare
        + "/hooks/pre-commit && python3 -c \"open('app/.git/worktrees/" + worktree
        + "/commondir', 'w').write('$PWD/" + bare + "\\n')\"";
}

std::vector<vellumar::test::GitRow> gitFolderRows()
{
    const std::string embeddedMonitored
        = "git -C emb commit -q --allow-empty -m inner && monitor emb && git add emb";
    return {
        // A remote that is a path leads the user's push into a repository the command made.
        { "a remote's URL set to a bare repository the command made", kAppWithOrigin,
            { { "git init -q --bare mirror.git && plant mirror.git/hooks/pre-receive"
                " && git -C app remote set-url origin \"$PWD/mirror.git\"" } },
            kPushToOrigin, "by-the-user\n" },
        { "a file:// push URL to a copy of the origin", kAppWithOrigin,
            { { "cp -a origin.git copy.git && plant copy.git/hooks/pre-receive"
                " && git -C app remote set-url --push origin \"file://$PWD/copy.git\"" } },
            kPushToOrigin, "by-the-user\n" },
        { "branch.<name>.pushRemote naming a repository the command made", kAppWithOrigin,
            { { kDeployRepository + " && git -C app config branch.main.pushRemote \"$PWD/deploy\"" } },
            kPushToOrigin, "by-the-user\n" },
        { "remote.pushDefault naming a repository the command made", kAppWithOrigin,
            { { kDeployRepository + " && git -C app config remote.pushDefault \"$PWD/deploy\"" } },
            kPushToOrigin, "by-the-user\n" },
        // A repository moved within the grant takes a plant with it.
        { "a repository renamed, then a hook and core.fsmonitor planted in it", "repo app",
            { { "mv app app-v2 && plant app-v2/.git/hooks/pre-commit && monitor app-v2" } },
            "git -C app-v2 status --short && " + usersCommit("app-v2"), "by-the-user\n" },
        { "a folder above a repository renamed, then a hook planted below it", "mkdir team && repo team/app",
            { { "mv team crew && plant crew/app/.git/hooks/pre-commit" } }, usersCommit("crew/app"),
            "by-the-user\n" },
        { "a Git folder renamed with a plant in it, which the user moves back", "repo app",
            { { "mv app/.git app/.git-old && plant app/.git-old/hooks/pre-commit"
                " && git --git-dir=app/.git-old config core.fsmonitor \"touch $RAN\"" } },
            "test -d app/.git || mv app/.git-old app/.git; git -C app status --short && "
                + usersCommit("app"),
            "by-the-user\n" },
        // Repositories inside a guarded one, which the user's status in the superproject reaches.
        { "a gitlink whose .git file names a Git folder outside .git/modules", "repo super && mkdir store",
            { { "cd super && git init -q --separate-git-dir ../store/emb.git emb && " + embeddedMonitored } },
            "git -C super status --short", "A  emb\n" },
        { "a gitlink whose .git is a link to a Git folder", "repo super && mkdir store",
            { { "cd super && git init -q emb && mv emb/.git ../store/emb.git"
                " && ln -s ../../store/emb.git emb/.git && "
                + embeddedMonitored } },
            "git -C super status --short", "A  emb\n" },
        { "an embedded repository added, then the index split", "repo super",
            { { "cd super && git init -q emb && " + embeddedMonitored
                + " && git update-index --split-index" } },
            "git -C super status --short", "A  emb\n" },
        { "300 module folders below a nested repository's .git/modules", "repo super",
            { { "cd super && mkdir .git/modules && git init -q --separate-git-dir .git/modules/m1 m1"
                " && git -C m1 commit -q --allow-empty -m inner"
                " && for i in $(seq 2 300); do cp -r .git/modules/m1 .git/modules/m$i && mkdir m$i"
                " && echo \"gitdir: ../.git/modules/m$i\" > m$i/.git || exit; done"
                " && for i in $(seq 300); do monitor m$i; done && git add m*" } },
            "s=$(git -C super status --short) && echo \"$s\" | grep -c '^A  m'", "300\n" },
        { "git init in a tracked sub-folder of a watched work tree",
            "repo app && mkdir app/src && echo code > app/src/main.c && git -C app add src"
            " && git -C app commit -qm src",
            { { "git init -q app/src && plant app/src/.git/hooks/pre-commit && monitor app/src" } },
            "git -C app/src status --short && " + usersCommit("app/src"), "?? main.c\nby-the-user\n" },
        // A linked worktree added during the run.
        { "a worktree added, then its commondir pointed at a bare repository the command made", "repo app",
            { { "git -C app worktree add -q ../wt", commonDirToNewBare("wt", "evil.git") } },
            "git -C wt commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s wt",
            "by-the-user\n" },
        { "a worktree added with core.fsmonitor in its config.worktree", "repo app",
            { { "git -C app worktree add -q ../wt && git -C app config extensions.worktreeConfig true"
                " && git -C wt config --worktree core.fsmonitor \"touch $RAN\"" } },
            "git -C wt status --short && " + usersCommit("wt"), "by-the-user\n" },
        { "a worktree added in the place's own repository, then its commondir pointed elsewhere",
            "repo app && echo /trees/ >> app/.git/info/exclude",
            { { "git -C app worktree add -q trees/wt", commonDirToNewBare("wt", "app/trees/evil.git") } },
            "git -C app/trees/wt commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s wt",
            "by-the-user\n", { .place = "Projects/app" } },
        // A new repository in a plain folder of the grant.
        { "a repository made in a plain folder, with a hook and core.fsmonitor",
            "mkdir tools && touch tools/build.sh",
            { { "git init -q tools && plant tools/.git/hooks/pre-commit && monitor tools" } },
            "git -C tools status --short && " + usersCommit("tools"), "?? build.sh\nby-the-user\n" },
        // What goes aside leaves the user's repository where it was, and working.
        { "a Git folder swapped for a link", kAppWithOrigin + " && userhook app/.git/hooks/pre-commit",
            { { "mv app/.git app/.git-moved && ln -s .git-moved app/.git" } },
            kPushToOrigin + " && cat \"$OUT\"", "by-the-user\npre-commit\n" },
        { "a new folder around the user's own .git renamed into the work tree's place",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { "mkdir app-new && mv app/.git app/tracked.txt app-new/ && mv app app-old && mv app-new "
                "app" } },
            "git -C app status --short && " + usersCommit("app") + " && cat \"$OUT\"",
            "by-the-user\npre-commit\n" },
        { "two repositories' Git folders exchanged",
            "repo one && repo two && git -C two commit -q --allow-empty -m second",
            { { "python3 -c \"import ctypes; assert ctypes.CDLL(None).renameat2("
                "-100, b'one/.git', -100, b'two/.git', 2) == 0\"" } },
            "git -C one log -1 --format=%s && git -C two log -1 --format=%s", "first\nsecond\n" },
        // Ordinary work keeps what it made.
        { "the bot's git init and commit in a new folder", ":",
            { { "mkdir notes && cd notes && git init -q && echo hello > a.txt && git add a.txt"
                " && git commit -qm by-the-bot" } },
            "git -C notes status --short && " + usersCommit("notes")
                + " && git -C notes log -1 --format=%s HEAD~",
            "by-the-user\nby-the-bot\n" },
        { "git clone of a local repository into the grant and a push back to it",
            "repo app && git clone -q --bare app upstream.git",
            { { "git clone -q upstream.git work && cd work && echo more >> tracked.txt"
                " && git commit -qam by-the-bot && git push -q origin HEAD:refs/heads/from-bot" } },
            "git -C upstream.git log -1 --format=%s from-bot && git -C work status --short", "by-the-bot\n" },
        { "git worktree add and a commit there", "repo app",
            { { "git -C app worktree add -q -b feature ../app-feature && cd app-feature && echo x > f.txt"
                " && git add f.txt && git commit -qm in-the-worktree" } },
            usersCommit("app-feature") + " && git -C app log -1 --format=%s feature~",
            "by-the-user\nin-the-worktree\n" },
        { "git submodule add and update", "repo library && repo super",
            { { "cd super && git -c protocol.file.allow=always submodule add -q ../library lib"
                " && git commit -qm lib && git -C ../library commit -q --allow-empty -m ahead"
                " && git -c protocol.file.allow=always submodule update -q --remote && git commit -qam "
                "ahead" } },
            "git -C super status --short && git -C super submodule foreach -q 'git log -1 --format=%s'"
            " && git -C super log -1 --format=%s",
            "ahead\nahead\n" },
        { "a repository renamed by the bot, the user's own hook still running there",
            "repo app && userhook app/.git/hooks/pre-commit", { { "mv app app2" } },
            usersCommit("app2") + " && cat \"$OUT\"", "by-the-user\npre-commit\n" },
        { "git remote add naming a repository the user had before the run",
            "repo app && git init -q --bare backup.git",
            { { "cd app && git remote add backup ../backup.git" } },
            "git -C app push -q backup main && git -C backup.git log -1 --format=%s main", "first\n" },
    };
}

}

class ClaudeReplyGitFoldersRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitFoldersRealCLI, EveryGitFolderIsGuardedWhereverItMovesAndOrdinaryWorkStays)
{
    vellumar::test::runGitRow(gitFolderRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitFoldersRealCLI, ::testing::Range<std::size_t>(0, gitFolderRows().size()));
