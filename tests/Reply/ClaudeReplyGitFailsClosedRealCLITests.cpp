// What a command does to the program guarding the repositories of a granted "~/Projects" rather than to
// the repositories themselves, with the real CLI, bubblewrap and the scripted model: the program stays up
// through the run (the host of a root row is this test program, of an ordinary user's row a process whose
// exit status the rows check), what was planted goes aside, and what went aside can be turned back on.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Rewrites the user's hook with a plant, then opens it for writing again and again, over and over for
// five seconds, as a build step rewriting a file in place would: each opening breaks whatever lease is on
// it, and each rewrite makes the guard ask whether a writer still holds it.
const std::string kPlantAndReopen = R"sh(python3 -c "import os, sys, time
end = time.monotonic() + 5
while time.monotonic() < end:
    made = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o755)
    os.write(made, ('#!/bin/sh\ntouch ' + sys.argv[2] + '\n').encode())
    os.close(made)
    for _ in range(200):
        try:
            os.close(os.open(sys.argv[1], os.O_WRONLY))
        except OSError:
            pass" app/.git/hooks/pre-commit "$RAN")sh";

// Takes every name a hook could once be moved aside to in the next twenty seconds, then plants it.
const std::string kNamesTakenThenPlant = R"sh(python3 -c "import os, time
now = int(time.time())
for second in range(now, now + 20):
    base = 'app/.git/hooks/pre-commit.refused-' + time.strftime('%Y%m%dT%H%M%SZ', time.gmtime(second))
    for name in [base] + [base + '-' + str(number) for number in range(2, 1001)]:
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
" && plant app/.git/hooks/pre-commit)sh";

// A hook of the bot's that says so in the user's $OUT when it runs.
const std::string kBotsHook = R"sh(python3 -c "import os, sys
made = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o755)
os.write(made, ('#!/bin/sh\necho turned-on >> ' + sys.argv[2] + '\n').encode())
os.close(made)" app/.git/hooks/pre-commit "$OUT")sh";

const std::string kUsersCommit
    = "git -C app commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s";

// What the notice tells the user to do to have the hook run.
const std::string kTurnedBackOn = "mv app/.git/hooks/pre-commit.refused-* app/.git/hooks/pre-commit && "
    + kUsersCommit + " && cat \"$OUT\"";

std::vector<vellumar::test::GitRow> failsClosedRows()
{
    const std::string plantAside
        = " && grep -q \"$RAN\" app/.git/hooks/pre-commit.refused-* && echo plant-aside";
    return {
        { "a hook rewritten, then opened for writing in a loop",
            "repo app && userhook app/.git/hooks/pre-commit", { { kPlantAndReopen } },
            kUsersCommit + " && cat \"$OUT\"" + plantAside, "by-the-user\npre-commit\nplant-aside\n" },
        { "a hook rewritten, then opened for writing in a loop, as an ordinary user",
            "repo app && userhook app/.git/hooks/pre-commit", { { kPlantAndReopen } },
            kUsersCommit + " && cat \"$OUT\"" + plantAside, "by-the-user\npre-commit\nplant-aside\n",
            { .asNobody = true } },
        { "every name an older build would move a hook aside to taken, then a hook planted", "repo app",
            { { kNamesTakenThenPlant } },
            kUsersCommit + plantAside
                + " && ls app/.git/hooks | grep -cE '^pre-commit[.]refused-[0-9]{8}T[0-9]{6}Z-[0-9a-f]{8}$'",
            "by-the-user\nplant-aside\n1\n" },
        // The command's processes live in a process namespace of their own: none of the program's is there
        // to be signalled. As an ordinary user, so that a namespace missing could end no one else's.
        { "a command kills every process named like the program, then plants a hook", "repo app",
            { { "{ pkill -KILL '^vellumar'; true; } && plant app/.git/hooks/pre-commit" } },
            kUsersCommit + plantAside, "by-the-user\nplant-aside\n", { .asNobody = true } },
        { "a hook of the bot's moved back by the user", "repo app", { { kBotsHook } }, kTurnedBackOn,
            "by-the-user\nturned-on\n" },
        { "a hook of the bot's moved back by the user, as an ordinary user", "repo app", { { kBotsHook } },
            kTurnedBackOn, "by-the-user\nturned-on\n", { .asNobody = true } },
    };
}

}

class ClaudeReplyGitFailsClosedRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitFailsClosedRealCLI, NothingACommandDoesStopsTheGuardAndWhatWentAsideTurnsBackOn)
{
    vellumar::test::runGitRow(failsClosedRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitFailsClosedRealCLI, ::testing::Range<std::size_t>(0, failsClosedRows().size()));
