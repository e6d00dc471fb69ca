// Rebases the bot leaves stopped in a granted "~/Projects", wherever the repository then is, with the
// real CLI, bubblewrap and the scripted model: what the to-do list would run at the user's
// "git rebase --continue" runs nothing, and the user can still continue; beside them, the bot's finished
// rebases keep all they made.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The user's app with three commits, each changing a file: "first", "c2" and "c3".
const std::string kThreeCommits = "repo app && for n in 2 3; do echo $n > app/f$n && git -C app add f$n"
                                  " && git -C app commit -qm c$n; done";

// The bot's rebase of `count` commits in the current folder, stopped at once, its to-do list running
// the plant after each pick.
std::string rebaseLeftStopped(const std::string& count)
{
    return "GIT_SEQUENCE_EDITOR=\"sed -i '1i break'\" git rebase -qi --exec \"touch $RAN\" HEAD~" + count;
}

// What the user finds in `repository`: the rebase stopped with its to-do list there; then their
// "--continue", which must succeed, and the commits after it.
std::string usersContinue(const std::string& repository)
{
    return "git -C " + repository + " status > status.txt"
        + " && { grep -q 'rebase in progress' status.txt && echo stopped || echo not-stopped; }"
          " && { grep -q 'is missing' status.txt && echo to-do-missing || true; }"
          " && git -C "
        + repository + " rebase --continue > /dev/null 2>&1 && git -C " + repository
        + " log --format=%s | tr '\\n' ' ' && echo";
}

// How many files went aside anywhere in the place.
const std::string kMovedAside = "find . -name '*.refused-*' | wc -l";

}

TEST(ClaudeReplyGitSequencesRealCLI, AStoppedRebaseRunsNothingWhereverItIsAndTheUserContinuesIt)
{
    vellumar::test::runGitRows({
        { "a clone, then a rebase left stopped in it", kThreeCommits,
            { { "git clone -q app app2 && cd app2 && " + rebaseLeftStopped("1") } }, usersContinue("app2"),
            "stopped\nc3 c2 first \n" },
        { "a rebase left stopped, then the repository renamed", kThreeCommits,
            { { "cd app && " + rebaseLeftStopped("2") + " && cd .. && mv app app-moved" } },
            usersContinue("app-moved"), "stopped\nc3 c2 first \n" },
        // Ordinary work: nothing goes aside.
        { "a clone and a rebase with exec lines finished within the run", kThreeCommits,
            { { "git clone -q app app2 && cd app2 && GIT_SEQUENCE_EDITOR='sed -i 3s/^pick/fixup/'"
                " git rebase -qi --exec true HEAD~2" } },
            "git -C app2 status --short && git -C app2 log --format=%s | tr '\\n' ' ' && " + kMovedAside,
            "c2 first 0\n", { .quiet = true } },
    });
}
