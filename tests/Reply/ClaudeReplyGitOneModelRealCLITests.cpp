// Every shape of Git folder the user's Git takes for one, judged as one, with the real CLI, bubblewrap
// and the scripted model: what a command plants in any of them runs nothing in the user's Git afterwards.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The user's app, whose tracked "src" holds code.
const std::string kAppWithSource = "repo app && mkdir app/src && echo code > app/src/main.c"
                                   " && git -C app add src && git -C app commit -qm source";

// A command making `app/src` a Git folder through a commondir naming a store with no HEAD of its own,
// whose hook and core.fsmonitor Git runs there, its work tree the app through config.worktree.
const std::string kSourceThroughCommonDir
    = "S=app/.cache/store && git init -q --bare $S && plant $S/hooks/pre-commit && monitor $S"
      " && git -C $S config core.bare false && git -C $S config extensions.worktreeConfig true && rm $S/HEAD"
      " && python3 -c \"import sys; [open('app/src/' + n, 'w').write(t) for n, t in"
      " (('HEAD', 'ref: refs/heads/main\\n'), ('commondir', '../.cache/store\\n'),"
      " ('config.worktree', '[core]\\n\\tworktree = ..\\n'))]\"";

}

TEST(ClaudeReplyGitOneModelRealCLI, EveryShapeOfGitFolderIsJudgedAsOne)
{
    vellumar::test::runGitRows({
        { "HEAD and a commondir to a store without HEAD in a tracked folder", kAppWithSource,
            { { kSourceThroughCommonDir + " && test -s app/src/commondir" } },
            "cd app/src && git status --porcelain --untracked-files=no && git commit -q --allow-empty -m "
            "by-the-user"
            " && git log -1 --format=%s && basename \"$(git rev-parse --show-toplevel)\"",
            "by-the-user\napp\n" },
    });
}
