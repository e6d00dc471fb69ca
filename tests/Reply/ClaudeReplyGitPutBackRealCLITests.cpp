// The user's own folders back at their names, with the real CLI, bubblewrap and the scripted model: a
// hooks folder a command traded for one of its own or for a link comes back, so the user's pre-commit
// runs at the user's commit, and a repository the bot renamed keeps the user's hooks where it went.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kUsersHook = "repo app && userhook app/.git/hooks/pre-commit";

// The user's commit in `repository`, what it says, what the user's hooks wrote, and how many things a
// change went aside as beside the hooks folder's name.
std::string usersCommit(const std::string& repository)
{
    return "git -C " + repository + " commit -q --allow-empty -m by-the-user && git -C " + repository
        + " log -1 --format=%s && cat \"$OUT\" && ls " + repository
        + "/.git | grep -c '^hooks[.]refused-' || true";
}

// The command's own hooks folder "mine" beside the repository, its pre-commit planted.
const std::string kOwnHooks = "mkdir mine && plant mine/pre-commit";

// The command trading the user's hooks folder with its own in one step.
const std::string kTraded = kOwnHooks
    + " && python3 -c \"import ctypes; assert ctypes.CDLL(None).renameat2("
      "-100, b'app/.git/hooks', -100, b'mine', 2) == 0\"";

// The command moving the user's hooks folder away and putting a link to its own in its place.
const std::string kLinked = kOwnHooks + " && mv app/.git/hooks hooks-kept && ln -s ../../mine app/.git/hooks";

}

TEST(ClaudeReplyGitPutBackRealCLI, TheUsersHooksFolderComesBackAndOrdinaryWorkKeepsIt)
{
    vellumar::test::runGitRows({
        { "the hooks folder traded with the command's own", kUsersHook, { { kTraded } }, usersCommit("app"),
            "by-the-user\npre-commit\n1\n" },
        { "the hooks folder traded with the command's own, as an ordinary user", kUsersHook, { { kTraded } },
            usersCommit("app"), "by-the-user\npre-commit\n1\n", { .asNobody = true } },
        { "the hooks folder swapped for a link", kUsersHook, { { kLinked } }, usersCommit("app"),
            "by-the-user\npre-commit\n1\n" },
        { "the hooks folder swapped for a link, as an ordinary user", kUsersHook, { { kLinked } },
            usersCommit("app"), "by-the-user\npre-commit\n1\n", { .asNobody = true } },
        { "a repository renamed by the bot, as an ordinary user, the user's own hook still running there",
            kUsersHook, { { "mv app app2" } }, usersCommit("app2"), "by-the-user\npre-commit\n0\n",
            { .asNobody = true } },
    });
}
