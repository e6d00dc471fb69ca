// Every Git folder in a granted "~/Projects", however the user's Git reaches it and wherever a command
// moves it, with the real CLI, bubblewrap and the scripted model: what a command plants there runs
// nothing in the user's Git afterwards, and what the bot's ordinary work made stays.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

using vellumar::test::GitRow;

namespace {

// The user's app with a bare origin beside it, as cloned from it.
constexpr const char* kAppWithOrigin
    = R"(repo app && git clone -q --bare app origin.git && git -C app remote add origin "$PWD/origin.git")"
      " && git -C app push -q -u origin main";

// The user's push to origin, and the commit it landed.
constexpr const char* kPushToOrigin
    = "git -C app commit -q --allow-empty -m by-the-user && git -C app push -q && git -C origin.git log -1 "
      "--format=%s main";

// A repository the command made, which runs the plant when pushed to.
constexpr const char* kDeployRepository
    = "git clone -q app deploy && git -C deploy config receive.denyCurrentBranch updateInstead"
      " && plant deploy/.git/hooks/push-to-checkout";

}

TEST(ClaudeReplyGitFoldersRealCLI, EveryGitFolderIsGuardedWhereverItMovesAndOrdinaryWorkStays)
{
    const std::string commitInApp = "git -C app status --short && git -C app commit -q --allow-empty -m "
                                    "by-the-user && git -C app log -1 "
                                    "--format=%s";
    vellumar::test::runGitRows({
        // A remote that is a path leads the user's push into a repository the command made.
        { "a remote's URL set to a bare repository the command made", kAppWithOrigin,
            { { R"(git init -q --bare mirror.git && plant mirror.git/hooks/pre-receive)"
                R"( && git -C app remote set-url origin "$PWD/mirror.git")" } },
            kPushToOrigin, "by-the-user\n" },
        { "a file:// push URL to a copy of the origin", kAppWithOrigin,
            { { R"(cp -a origin.git copy.git && plant copy.git/hooks/pre-receive)"
                R"( && git -C app remote set-url --push origin "file://$PWD/copy.git")" } },
            kPushToOrigin, "by-the-user\n" },
        { "branch.<name>.pushRemote naming a repository the command made", kAppWithOrigin,
            { { std::string(kDeployRepository)
                + R"( && git -C app config branch.main.pushRemote "$PWD/deploy")" } },
            kPushToOrigin, "by-the-user\n" },
        { "remote.pushDefault naming a repository the command made", kAppWithOrigin,
            { { std::string(kDeployRepository)
                + R"( && git -C app config remote.pushDefault "$PWD/deploy")" } },
            kPushToOrigin, "by-the-user\n" },
        // A repository moved within the grant takes a plant with it.
        { "a repository renamed, then a hook and core.fsmonitor planted in it", "repo app",
            { { R"(mv app app-v2 && plant app-v2/.git/hooks/pre-commit)"
                R"( && git -C app-v2 config core.fsmonitor "touch $RAN")" } },
            "git -C app-v2 status --short && git -C app-v2 commit -q --allow-empty -m by-the-user"
            " && git -C app-v2 log -1 --format=%s",
            "by-the-user\n" },
        { "a folder above a repository renamed, then a hook planted below it", "mkdir team && repo team/app",
            { { "mv team crew && plant crew/app/.git/hooks/pre-commit" } },
            "git -C crew/app commit -q --allow-empty -m by-the-user && git -C crew/app log -1 "
            "--format=%s",
            "by-the-user\n" },
        { "a Git folder renamed with a plant in it, which the user moves back", "repo app",
            { { R"(mv app/.git app/.git-old && plant app/.git-old/hooks/pre-commit)"
                R"( && git --git-dir=app/.git-old config core.fsmonitor "touch $RAN")" } },
            "test -d app/.git || mv app/.git-old app/.git; " + commitInApp, "by-the-user\n" },
        // Repositories inside a guarded one, which the user's status in the superproject reaches.
        { "a gitlink whose .git file names a Git folder outside .git/modules", "repo super && mkdir store",
            { { R"(cd super && git init -q --separate-git-dir ../store/emb.git emb)"
                R"( && git -C emb commit -q --allow-empty -m inner && git -C emb config core.fsmonitor "touch $RAN")"
                R"( && git add emb)" } },
            "git -C super status --short", "A  emb\n" },
        { "a gitlink whose .git is a link to a Git folder", "repo super && mkdir store",
            { { R"(cd super && git init -q emb && mv emb/.git ../store/emb.git && ln -s ../../store/emb.git emb/.git)"
                R"( && git -C emb commit -q --allow-empty -m inner && git -C emb config core.fsmonitor "touch $RAN")"
                R"( && git add emb)" } },
            "git -C super status --short", "A  emb\n" },
        { "an embedded repository added, then the index split", "repo super",
            { { R"(cd super && git init -q emb && git -C emb commit -q --allow-empty -m inner)"
                R"( && git -C emb config core.fsmonitor "touch $RAN" && git add emb && git update-index --split-index)" } },
            "git -C super status --short", "A  emb\n" },
        { "300 module folders below a nested repository's .git/modules", "repo super",
            { { R"(cd super && mkdir .git/modules && git init -q --separate-git-dir .git/modules/m1 m1)"
                R"( && git -C m1 commit -q --allow-empty -m inner && git -C m1 config core.fsmonitor "touch $RAN")"
                R"( && for i in $(seq 2 300); do cp -r .git/modules/m1 .git/modules/m$i && mkdir m$i)"
                R"( && echo "gitdir: ../.git/modules/m$i" > m$i/.git; done && git add m*)" } },
            "s=$(git -C super status --short) && echo \"$s\" | grep -c '^A  m'", "300\n" },
        { "git init in a tracked sub-folder of a watched work tree",
            "repo app && mkdir app/src && echo code > app/src/main.c && git -C app add src && git -C app "
            "commit -qm src",
            { { R"(cd app/src && git init -q && plant .git/hooks/pre-commit && git config core.fsmonitor "touch $RAN")" } },
            "cd app/src && git status --short && git commit -q --allow-empty -m by-the-user && git log "
            "-1 --format=%s",
            "?? main.c\nby-the-user\n" },
        // A linked worktree added during the run.
        { "a worktree added, then its commondir pointed at a bare repository the command made", "repo app",
            { { "git -C app worktree add -q ../wt",
                R"(git init -q --bare evil.git && plant evil.git/hooks/pre-commit)"
                R"sh( && python3 -c "open('app/.git/worktrees/wt/commondir', 'w').write('$PWD/evil.git\n')")sh" } },
            "git -C wt commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s wt",
            "by-the-user\n" },
        { "a worktree added with core.fsmonitor in its config.worktree", "repo app",
            { { R"(git -C app worktree add -q ../wt && git -C app config extensions.worktreeConfig true)"
                R"( && git -C wt config --worktree core.fsmonitor "touch $RAN")" } },
            "git -C wt status --short && git -C wt commit -q --allow-empty -m by-the-user && git -C wt log "
            "-1 "
            "--format=%s",
            "by-the-user\n" },
        { "a worktree added in the place's own repository, then its commondir pointed elsewhere",
            "repo app && echo /trees/ >> app/.git/info/exclude",
            { { "git -C app worktree add -q trees/wt",
                R"(git init -q --bare app/trees/evil.git && plant app/trees/evil.git/hooks/pre-commit)"
                R"sh( && python3 -c "open('app/.git/worktrees/wt/commondir', 'w').write('$PWD/app/trees/evil.git\n')")sh" } },
            "git -C app/trees/wt commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s wt",
            "by-the-user\n", { .place = "Projects/app" } },
        // A new repository in a plain folder of the grant.
        { "a repository made in a plain folder, with a hook and core.fsmonitor",
            "mkdir tools && touch tools/build.sh",
            { { R"(cd tools && git init -q && plant .git/hooks/pre-commit && git config core.fsmonitor "touch $RAN")" } },
            "git -C tools status --short && git -C tools commit -q --allow-empty -m by-the-user"
            " && git -C tools log -1 --format=%s",
            "?? build.sh\nby-the-user\n" },
        // What goes aside leaves the user's repository where it was, and working.
        { "a Git folder swapped for a link",
            std::string(kAppWithOrigin) + " && userhook app/.git/hooks/pre-commit",
            { { "mv app/.git app/.git-moved && ln -s .git-moved app/.git" } },
            std::string(kPushToOrigin) + R"( && cat "$OUT")", "by-the-user\npre-commit\n" },
        { "a new folder around the user's own .git renamed into the work tree's place",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { "mkdir app-new && mv app/.git app/tracked.txt app-new/ && mv app app-old && mv app-new "
                "app" } },
            commitInApp + R"( && cat "$OUT")", "by-the-user\npre-commit\n" },
        { "two repositories' Git folders exchanged",
            "repo one && repo two && git -C two commit -q --allow-empty -m second",
            { { R"sh(python3 -c "import ctypes; assert ctypes.CDLL(None).renameat2(-100, b'one/.git', -100, b'two/.git', 2) == 0")sh" } },
            "git -C one log -1 --format=%s && git -C two log -1 --format=%s", "first\nsecond\n" },
        // Ordinary work keeps what it made.
        { "the bot's git init and commit in a new folder", ":",
            { { "mkdir notes && cd notes && git init -q && echo hello > a.txt && git add a.txt && git commit "
                "-qm "
                "by-the-bot" } },
            "git -C notes status --short && git -C notes commit -q --allow-empty -m by-the-user"
            " && git -C notes log --format=%s",
            "by-the-user\nby-the-bot\n" },
        { "git clone of a local repository into the grant and a push back to it",
            "repo app && git clone -q --bare app upstream.git",
            { { "git clone -q upstream.git work && cd work && echo more >> tracked.txt && git commit -qam "
                "by-the-bot"
                " && git push -q origin HEAD:refs/heads/from-bot" } },
            "git -C upstream.git log -1 --format=%s from-bot && git -C work status --short", "by-the-bot\n" },
        { "git worktree add and a commit there", "repo app",
            { { "git -C app worktree add -q -b feature ../app-feature && cd app-feature && echo x > f.txt"
                " && git add f.txt && git commit -qm in-the-worktree" } },
            "git -C app-feature commit -q --allow-empty -m by-the-user && git -C app log -2 --format=%s "
            "feature",
            "by-the-user\nin-the-worktree\n" },
        { "git submodule add and update", "repo library && repo super",
            { { "cd super && git -c protocol.file.allow=always submodule add -q ../library lib && git commit "
                "-qm lib"
                " && git -C ../library commit -q --allow-empty -m ahead"
                " && git -c protocol.file.allow=always submodule update -q --remote && git commit -qam 'lib "
                "ahead'" } },
            "git -C super status --short && git -C super submodule foreach -q 'git log -1 --format=%s'"
            " && git -C super log -1 --format=%s",
            "ahead\nlib ahead\n" },
        { "a repository renamed by the bot, the user's own hook still running there",
            "repo app && userhook app/.git/hooks/pre-commit", { { "mv app app2" } },
            R"(git -C app2 commit -q --allow-empty -m by-the-user && cat "$OUT")", "pre-commit\n" },
        { "git remote add naming a repository the user had before the run",
            "repo app && git init -q --bare backup.git",
            { { "cd app && git remote add backup ../backup.git" } },
            "git -C app push -q backup main && git -C backup.git log -1 --format=%s main", "first\n" },
    });
}
