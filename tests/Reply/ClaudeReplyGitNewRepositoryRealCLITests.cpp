// A repository the bot makes in a granted "~/Projects", with the real CLI, bubblewrap and the scripted
// model: its everyday work goes on in the same command, a remote given by its relative path included,
// and what counts in its configuration goes aside alone.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

TEST(ClaudeReplyGitNewRepositoryRealCLI, ANewRepositoryWorksOnInTheSameCommandAndAfter)
{
    // "origin.git", a bare repository the user had before the run; the user's push and pull in the new
    // repository afterwards, and the log of what reached the remote.
    const std::string origin = "git init -q --bare origin.git";
    const std::string pushAndPull = "echo b > b.txt && git add b.txt && git commit -qm b && git push -q && "
                                    "git pull -q && git log --format=%s origin/main";
    vellumar::test::runGitRows({
        { "a remote by its relative path, a commit and a push in one command", origin,
            { { "git init -q -b main rel && cd rel && git remote add origin ../origin.git && echo a > a.txt && "
                "git add a.txt && git commit -qm a && git push -q -u origin main" } },
            "cd rel && " + pushAndPull, "b\na\n" },
        { "a monitor set among everyday settings goes aside alone", origin,
            { { "git init -q -b main mon && monitor mon && cd mon && git remote add origin ../origin.git && "
                "git config user.name Bot && echo a > a.txt && git add a.txt && git commit -qm a && "
                "git push -q -u origin main" } },
            "cd mon && ls .git/config.refused-* > /dev/null && git config user.name && "
            "{ git config core.fsmonitor || echo no-monitor; } && "
                + pushAndPull,
            "Bot\nno-monitor\nb\na\n" },
    });
}
