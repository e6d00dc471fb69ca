// The user's own folders at their names, with the real CLI, bubblewrap and the scripted model: a hooks
// folder a command traded for one of its own or for a link comes back, and one the bot's renaming moved
// keeps running.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::chrono_literals;

namespace {

const std::string kUsersHook = "repo app && userhook app/.git/hooks/pre-commit";

// The user's commit in `repository`, what it says, what the user's hooks wrote, and how many changes
// went aside beside the hooks folder's name.
std::string usersCommit(const std::string& repository)
{
    return "git -C " + repository + " commit -q --allow-empty -m by-the-user && git -C " + repository
        + " log -1 --format=%s && cat \"$OUT\" && ls " + repository
        + "/.git | grep -c '^hooks[.]refused-' || true";
}

// The command's own hooks folder "mine", its pre-commit planted, traded with the user's in one step, or
// linked in place of the user's, which it moves away.
const std::string kOwnHooks = "mkdir mine && plant mine/pre-commit";
const std::string kTraded = kOwnHooks
    + " && python3 -c \"import ctypes; assert ctypes.CDLL(None).renameat2("
      "-100, b'app/.git/hooks', -100, b'mine', 2) == 0\"";
const std::string kLinked = kOwnHooks + " && mv app/.git/hooks hooks-kept && ln -s ../../mine app/.git/hooks";

}

TEST(ClaudeReplyGitPutBackRealCLI, TheUsersHooksFolderComesBackAndOrdinaryWorkKeepsIt)
{
    const std::string putBack = "by-the-user\npre-commit\n1\n";
    vellumar::test::runGitRows({
        { "the hooks folder traded with the command's own", kUsersHook, { { kTraded } }, usersCommit("app"),
            putBack },
        { "the hooks folder traded, as an ordinary user", kUsersHook, { { kTraded } }, usersCommit("app"),
            putBack, { .asNobody = true } },
        { "the hooks folder swapped for a link", kUsersHook, { { kLinked } }, usersCommit("app"), putBack },
        { "the hooks folder swapped for a link, as an ordinary user", kUsersHook, { { kLinked } },
            usersCommit("app"), putBack, { .asNobody = true } },
        { "the hooks folder traded by the first command of a run whose guard took five seconds to start",
            kUsersHook, { { kTraded } }, usersCommit("app"), putBack, { .guardStartsLater = 5s } },
        { "the same, as an ordinary user", kUsersHook, { { kTraded } }, usersCommit("app"), putBack,
            { .asNobody = true, .guardStartsLater = 5s } },
        { "a repository the bot renamed, the user's own hook running there, as an ordinary user", kUsersHook,
            { { "mv app app2" } }, usersCommit("app2"), "by-the-user\npre-commit\n0\n",
            { .asNobody = true } },
    });
}
