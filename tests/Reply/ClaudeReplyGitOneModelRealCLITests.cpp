// Every shape of Git folder the user's Git takes for one, judged as one, with the real CLI, bubblewrap
// and the scripted model: what a command plants in any of them runs nothing in the user's Git afterwards.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The user's app, whose tracked "src" holds code.
const std::string kAppWithSource = "repo app && mkdir app/src && echo code > app/src/main.c"
                                   " && git -C app add src && git -C app commit -qm source";

// A command making `app/src` a Git folder through a commondir naming a store that never held a HEAD,
// whose hook and core.fsmonitor Git runs there, its work tree the app through config.worktree.
const std::string kSourceThroughCommonDir = R"sh(S=app/.cache/store && mkdir -p $S/objects $S/refs $S/hooks &&
plant $S/hooks/pre-commit && python3 -c "import sys
for name, text in (('$S/config', '[core]\n\trepositoryformatversion = 0\n\tbare = false\n\tfsmonitor = touch '
        + sys.argv[1] + '\n[extensions]\n\tworktreeConfig = true\n'), ('app/src/HEAD', 'ref: refs/heads/main\n'),
        ('app/src/commondir', '../.cache/store\n'), ('app/src/config.worktree', '[core]\n\tworktree = ..\n')):
    open(name, 'w').write(text)" "$RAN")sh";

}

TEST(ClaudeReplyGitOneModelRealCLI, EveryShapeOfGitFolderIsJudgedAsOne)
{
    vellumar::test::runGitRows({
        { "HEAD and a commondir to a store without HEAD in a tracked folder", kAppWithSource,
            { { kSourceThroughCommonDir + " && test -s app/src/commondir" } },
            "cd app/src && git status --porcelain --untracked-files=no"
            " && git commit -q --allow-empty -m by-the-user && git log -1 --format=%s"
            " && basename \"$(git rev-parse --show-toplevel)\"",
            "by-the-user\napp\n" },
    });
}
