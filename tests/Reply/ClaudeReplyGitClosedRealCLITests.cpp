// What the guard cannot read or follow it judges closed, with the real CLI, bubblewrap and the scripted
// model, as root and as an ordinary user: what a command plants there runs nothing in the user's Git
// afterwards, which ends within ten seconds, and what the bot's ordinary work made stays.
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace {

// The user's app whose own pre-commit hook runs `line`, then Git, before it says "pre-commit" in $OUT.
std::string hookRunning(const std::string& line)
{
    return "repo app && userhook app/.git/hooks/pre-commit && sed -i '2i " + line
        + "; git diff --cached --quiet' app/.git/hooks/pre-commit";
}

// The bot's ordinary work: a Python virtual environment, and `npm install` of a package "lint" whose
// program is "lint", linked into "app/node_modules/.bin".
const std::string kVenvAndInstall = R"sh(python3 -m venv --without-pip app/.venv && mkdir lint &&
  echo '#!/bin/sh' > lint/cli.js && echo '{"name":"lint","version":"1.0.0","bin":{"lint":"cli.js"}}' > lint/package.json &&
  echo '{"name":"app","version":"1.0.0","devDependencies":{"lint":"file:../lint"}}' > app/package.json &&
  cd app && npm install --offline --no-audit --no-fund --no-update-notifier --cache "$PWD/../.npm")sh";

// The user's Git is given a minute, which a hang on something the guard left (a FIFO) never ends within;
// ten seconds, which a husky commit on two CPUs shared with other work passed.
const std::string kUsersCommit
    = "timeout 60 git -C app commit -q --allow-empty -m by-the-user && cat \"$OUT\"";

// The user's commit after a command planted `git` in "app/<folder>": the plant aside, the bot told why.
std::string commitAfterPlantIn(const std::string& folder, const std::string& why)
{
    return "find app/" + folder + " -name 'git.refused-*' | wc -l && grep -qF '" + why + "' \"$LOG\" && "
        + kUsersCommit;
}

// The user's husky 9 app whose tracked pre-commit script runs npm.
const std::string kHuskyApp = "husky9 app && printf 'npm --version > /dev/null\\necho user-hook >> %s\\n'"
                              " \"$OUT\" > app/.husky/pre-commit && git -C app add .husky"
                              " && git -C app commit -qnm hook";
// Its linked worktree "wt" beside it, with the runners husky keeps out of Git copied in, as its users do.
const std::string kHuskyWorktree
    = kHuskyApp + " && git -C app worktree add -q ../wt && cp -r app/.husky/_ wt/.husky/";

const std::string kUsersWorktreeCommit
    = "timeout 60 git -C wt commit -q --allow-empty -m by-the-user && cat \"$OUT\"";

// The user's commit, bounded against a hang, and its subject.
const std::string kUsersTimedCommit
    = "timeout 60 git -C app commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s";

std::vector<vellumar::test::GitRow> closedRows()
{
    return vellumar::test::alsoAsNobody({
        { "a folder under ~ put first", hookRunning("export PATH=~/Projects/app/tools:$PATH"),
            { { "mkdir -p app/tools && plant app/tools/git" } },
            commitAfterPlantIn("tools", "a hook puts its folder first on PATH"), "1\npre-commit\n",
            { .startsInUsersHome = true } },
        { "a folder cd and pwd print put first",
            hookRunning("PATH=\"$(cd \"$(dirname \"$0\")/../..\" && pwd)/bin:$PATH\""),
            { { "mkdir -p app/bin && plant app/bin/git" } },
            commitAfterPlantIn("bin", "a hook puts its folder first on PATH"), "1\npre-commit\n" },
        { "a script a variable names, run by sh, putting a folder no word names first, judged closed",
            hookRunning("sh \"$SCRIPT\"")
                + " && mkdir app/tools && echo 'PATH=bin:$PATH git status > /dev/null' > app/tools/check.sh",
            { { "mkdir -p app/bin && plant app/bin/git" } },
            "SCRIPT=tools/check.sh && export SCRIPT && "
                + commitAfterPlantIn("bin", "so every folder of its work tree counts as put first"),
            "1\npre-commit\n" },
        { "a virtual environment and npm install where the hook sets PATH plainly",
            hookRunning("export PATH=node_modules/.bin:$PATH"), { { kVenvAndInstall } },
            "test -L app/.venv/bin/python3 && test -L app/node_modules/.bin/lint && find . -name "
            "'*.refused-*'"
            " && "
                + kUsersCommit,
            "pre-commit\n", { .quiet = true } },
        { "a virtual environment and npm install where the hook sets PATH from npm's output",
            hookRunning("export PATH=\"$(npm prefix)/node_modules/.bin:$PATH\""), { { kVenvAndInstall } },
            // Which of the environment's other names the user has differs from one machine to another.
            "test -L app/node_modules/.bin/lint && find . -name '*.refused-*' ! -name 'python*' && find "
            "app/.venv"
            " -name 'python3.refused-*' | wc -l && grep -qF '$(npm prefix)/node_modules' \"$LOG\" && "
                + kUsersCommit,
            "1\npre-commit\n" },
        { "husky 9 in a linked worktree whose node_modules/.bin a command makes", kHuskyWorktree,
            { { "mkdir -p wt/node_modules/.bin && plant wt/node_modules/.bin/npm" } },
            "find wt/node_modules/.bin -name 'npm.refused-*' | wc -l && " + kUsersWorktreeCommit,
            "1\nuser-hook\n" },
        { "husky 9 in a linked worktree whose gitdir a command rewrote", kHuskyWorktree,
            { { "echo \"$PWD/elsewhere/.git\" > app/.git/worktrees/wt/gitdir && mkdir -p wt/node_modules/.bin"
                " && plant wt/node_modules/.bin/npm" } },
            "find wt/node_modules/.bin -name 'npm.refused-*' | wc -l && " + kUsersWorktreeCommit,
            "1\nuser-hook\n" },
        { "git worktree add, husky's runners copied into the new worktree", kHuskyApp,
            { { "git -C app worktree add -q ../wt" } },
            "cp -r app/.husky/_ wt/.husky/ && find . -name '*.refused-*' && " + kUsersWorktreeCommit,
            "user-hook\n" },
    });
}

}

class ClaudeReplyGitClosedRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitClosedRealCLI, WhatTheGuardCannotFollowIsJudgedClosedAndOrdinaryWorkStays)
{
    vellumar::test::runGitRow(closedRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitClosedRealCLI, ::testing::Range<std::size_t>(0, closedRows().size()));

namespace {

// The user's status and commit, each bounded against a hang, then whether `fifo` went aside as one.
std::string statusAndCommitThenAside(const std::string& fifo)
{
    return "timeout 60 git -C app status --porcelain && " + kUsersTimedCommit + " && test -p " + fifo
        + ".refused-* && echo FIFO aside";
}

// The rows whose run's end has no time to judge in, and no time to list the places in.
constexpr std::string_view kNoTimeToJudge = "a run's end with no time left to judge";
constexpr std::string_view kNoTimeToList = "a run's end with no time left to list new folders";

std::vector<vellumar::test::GitRow> unreadableRows()
{
    return vellumar::test::alsoAsNobody({
        { "a 2 GB configuration, then a new repository with a hook", "repo app",
            { { "truncate -s 2G app/.git/config && git init -q y && plant y/.git/hooks/pre-commit" } },
            kUsersTimedCommit
                + " && stat -c %s app/.git/config.refused-* && timeout 60 git -C y commit -q --allow-empty "
                  "-m y"
                  " && git -C y log -1 --format=%s && grep -q 'config .*larger than the 64 MB' \"$LOG\" && "
                  "echo told",
            "by-the-user\n2147483648\ny\ntold\n", { .replySaysMore = true } },
        { "a FIFO at HEAD, and a hook planted", "repo app",
            { { "mv app/.git/HEAD app/.git/HEAD.bak && mkfifo app/.git/HEAD && plant "
                "app/.git/hooks/pre-commit" } },
            kUsersTimedCommit + " && test -p app/.git/HEAD.refused-* && echo FIFO aside",
            "by-the-user\nFIFO aside\n", { .replySaysMore = true } },
        { "a 50 MB configuration the user had",
            "repo app && printf '# ' >> app/.git/config && truncate -s 50M app/.git/config && echo >> "
            "app/.git/config",
            { { "git -C app commit -q --allow-empty -m by-the-bot && git -C app config user.name Bot" } },
            kUsersTimedCommit
                + " && git -C app log -2 --format=%s && git -C app config user.name && ls app/.git | grep -c "
                  "refused || true",
            "by-the-user\nby-the-user\nby-the-bot\nBot\n0\n" },
        { "a FIFO at the index", "repo app", { { "rm app/.git/index && mkfifo app/.git/index" } },
            statusAndCommitThenAside("app/.git/index"),
            "D  tracked.txt\n?? tracked.txt\nby-the-user\nFIFO aside\n", { .replySaysMore = true } },
        { "a FIFO at packed-refs", "repo app", { { "mkfifo app/.git/packed-refs" } },
            statusAndCommitThenAside("app/.git/packed-refs"), "by-the-user\nFIFO aside\n",
            { .replySaysMore = true } },
        { "a FIFO at the branch HEAD names", "repo app",
            { { "rm app/.git/refs/heads/main && mkfifo app/.git/refs/heads/main" } },
            // The branch is gone with it: the user's commit starts it again.
            statusAndCommitThenAside("app/.git/refs/heads/main"), "A  tracked.txt\nby-the-user\nFIFO aside\n",
            { .replySaysMore = true } },
        // Git's status in "app" asks whether "y" is a repository of its own, and waits on its HEAD.
        { "a FIFO at MERGE_HEAD, and at the HEAD of a repository made in the user's", "repo app",
            { { "mkfifo app/.git/MERGE_HEAD && git init -q app/y && rm app/y/.git/HEAD && mkfifo "
                "app/y/.git/HEAD" } },
            statusAndCommitThenAside("app/.git/MERGE_HEAD")
                + " && test -p app/y/.git/HEAD.refused-* && echo too",
            "by-the-user\nFIFO aside\ntoo\n", { .replySaysMore = true } },
        { kNoTimeToJudge.data(), "repo app",
            { { "git init -q y && plant y/.git/hooks/pre-commit && plant app/.git/hooks/pre-commit" } },
            kUsersTimedCommit
                + " && timeout 60 git -C y commit -q --allow-empty -m y && git -C y log -1 --format=%s"
                  " && ls y/.git | grep -c refused && grep -c 'went aside unread' \"$LOG\"",
            "by-the-user\ny\n2\n2\n", { .replySaysMore = true } },
        { kNoTimeToList.data(), "repo app",
            { { "mkdir -p made/a && git init -q made/a/y && plant made/a/y/.git/hooks/pre-commit"
                " && plant app/.git/hooks/pre-commit" } },
            kUsersTimedCommit
                + " && ls -d made.refused-* | wc -l && test ! -e made && grep -q 'went aside unlisted' "
                  "\"$LOG\""
                  " && echo told",
            "by-the-user\n1\ntold\n", { .replySaysMore = true } },
    });
}

}

class ClaudeReplyGitClosedReadsRealCLI : public vellumar::test::RealCLIRow { };

// Nothing the guard reads or copies can hold it: a file past its bound, or one Git cannot read, goes
// aside whole by rename, and what was noted takes its place.
TEST_P(ClaudeReplyGitClosedReadsRealCLI, NothingTheGuardReadsCanHoldIt)
{
    const auto rows = unreadableRows();
    const auto judging = vellumar::GitGuardSweep::judgingBound;
    const auto listing = vellumar::GitGuardSweep::listingBound;
    if (rows[GetParam()].name == kNoTimeToJudge)
        vellumar::GitGuardSweep::judgingBound = {};
    if (rows[GetParam()].name == kNoTimeToList)
        vellumar::GitGuardSweep::listingBound = {};
    vellumar::test::runGitRow(rows, GetParam());
    vellumar::GitGuardSweep::judgingBound = judging;
    vellumar::GitGuardSweep::listingBound = listing;
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitClosedReadsRealCLI, ::testing::Range<std::size_t>(0, unreadableRows().size()));

namespace {

// A repository the first run stages, a hook planted in a Git folder but for its HEAD, and the second
// completes, while the record of when commands could write cannot be written from the first run's
// first command on (`lock`) until the user's shell afterwards (`unlock`). The phone is told so apart from
// what could not be undone.
vellumar::test::GitRow stagedWhileTheRecordCannotBeWritten(const std::string& lock, const std::string& unlock)
{
    return { "a repository staged while the record cannot be written, completed by the next run", "repo app",
        { { "mkdir -p y/staged/hooks y/staged/objects y/staged/refs && plant y/staged/hooks/pre-commit" },
            { "echo 'ref: refs/heads/main' > y/staged/HEAD && mv y/staged y/.git" } },
        unlock
            + " && find y/.git/hooks -name 'pre-commit.refused-*' | wc -l && timeout 60 git -C y commit -q "
              "--allow-empty -m by-the-user && git -C y log -1 --format=%s"
              " && grep -c 'could not be recorded' \"$REPLIES/2\""
              " && { grep -c 'could not undo' \"$REPLIES/2\" || true; }",
        "1\nby-the-user\n1\n0\n", { .during = lock, .replySaysMore = true } };
}

}

// The data folder's own files read-only, its folders (the work folders, Claude Code's settings) as they
// were: bind mounts in a mount namespace of this test's own.
TEST(ClaudeReplyGitUnrecordedRealCLI, AWindowTheRecordCouldNotTakeStillCounts)
{
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    vellumar::test::runGitRows({ stagedWhileTheRecordCannotBeWritten(
        "for folder in \"$DATA\"/*/; do mount --bind \"$folder\" \"$folder\"; done"
        " && mount --rbind \"$DATA\" \"$DATA\" && mount -o remount,bind,ro \"$DATA\"",
        "umount -R \"$DATA\" && for folder in \"$DATA\"/*/; do umount \"$folder\"; done") });
}

// The program owns its data folder, and makes it private again before each write: a folder in the way at
// the record's name, which nobody can replace.
TEST(ClaudeReplyGitUnrecordedRealCLI, AWindowTheRecordCouldNotTakeStillCountsAsNobody)
{
    auto row = stagedWhileTheRecordCannotBeWritten("mkdir -p \"$DATA/git-command-write-windows/in-the-way\"",
        "rm -r \"$DATA/git-command-write-windows\"");
    row.options.asNobody = true;
    vellumar::test::runGitRows({ row });
}

namespace {

// Where the file system refuses renameat2's flags, as NFS, 9p and FUSE ones do, which a seam makes this
// program's own renames.
std::vector<vellumar::test::GitRow> flagsRefusedRows()
{
    return vellumar::test::alsoAsNobody({
        { "a hook and core.fsmonitor", "repo app", { { "plant app/.git/hooks/pre-commit && monitor app" } },
            kUsersTimedCommit
                + " && git -C app status --porcelain && ls app/.git | grep -c 'config.refused-'"
                  " && ! git -C app config core.fsmonitor",
            "by-the-user\n1\n", { .replySaysMore = true } },
    });
}

// Set for a host killed between the steps of a trade its file system cannot take in one.
constexpr const char* kKilledBetweenSteps = "VELLUMAR_TEST_KILLED_BETWEEN_TRADE_STEPS";

// The program started again as the user, as root or user 65534.
std::vector<std::string> asUser(bool asNobody, std::vector<std::string> argv)
{
    if (asNobody)
        argv.insert(argv.begin(), std::begin(vellumar::test::detail::kNobody),
            std::end(vellumar::test::detail::kNobody));
    return argv;
}

}

class ClaudeReplyGitFlagsRefusedRealCLI : public vellumar::test::RealCLIRow { };

// A command adds a hook and sets core.fsmonitor in the user's configuration: each goes aside by a hard link
// where no flag is had, what was noted takes its place, and the user's commit and status run nothing.
TEST_P(ClaudeReplyGitFlagsRefusedRealCLI, AHookAndAMonitorTheCommandWroteRunNothing)
{
    vellumar::Renames::refuseFlagsForTests(true);
    vellumar::test::runGitRow(flagsRefusedRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitFlagsRefusedRealCLI, ::testing::Range<std::size_t>(0, flagsRefusedRows().size()));

// As root (false) and as an ordinary user (true).
class ClaudeReplyGitKilledAsFlagsAreRefusedRealCLI : public ::testing::TestWithParam<bool> { };

// A command moves the user's Git folder to ".git-old" and puts one of its own with a hook at ".git"; the
// program is killed between the steps that trade the two back. The next start finishes them: the user's
// Git folder is at ".git", and the user's commit runs the user's hook alone.
TEST_P(ClaudeReplyGitKilledAsFlagsAreRefusedRealCLI,
    AKillBetweenTheStepsOfATradeLeavesTheUsersGitFolderAtItsName)
{
    namespace fs = std::filesystem;
    using namespace vellumar;
    Renames::refuseFlagsForTests(true);
    const char* hostOf = std::getenv(test::kKilledHostOf);
    test::RunnerWorld world;
    const fs::path root = fs::canonical(hostOf ? fs::path(hostOf) : world.folder.path());
    const fs::path projects = root / "home/Projects";
    if (hostOf && std::getenv(kKilledBetweenSteps)) {
        GitGuardPutBack::stepSeam = [](GitGuardPutBack::Step step) {
            if (step == GitGuardPutBack::Step::tradeStepTaken)
                ::kill(::getpid(), SIGKILL);
        };
        test::runAsKilledHost(world, root, test::commandsJob(projects), true);
    }
    if (hostOf) {
        // The next start alone, as the user.
        world.home = root / "home";
        world.dataFolder = root / "data";
        world.fakeFolder = root / "fake";
        world.options.baseEnvironment = { { "HOME", world.home.string() } };
        world.start();
        std::_Exit(0);
    }
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    const fs::path app = projects / "app";
    test::makeRepository(app);
    test::writeScript(app / ".git/hooks/pre-commit", "echo mine >> '" + (root / "out").string() + "'\n");
    struct stat before { };
    ASSERT_EQ(::stat((app / ".git").c_str(), &before), 0);
    // The watch may take the new hook aside before the command's chmod reaches it; the trade goes on.
    world.playReal(test::commandSteps({ "cd '" + projects.string()
        + "' && git init -q new && printf '#!/bin/sh\\ntouch " + (root / "ran").string()
        + "\\n' > new/.git/hooks/pre-commit && chmod +x new/.git/hooks/pre-commit; mv app/.git app/.git-old"
          " && mv new/.git app/.git" }));
    if (GetParam()) {
        ASSERT_EQ(test::runPeer({ "chown", "-R", "65534:65534", root.string() }).exitStatus, 0);
    }
    auto killed = asUser(GetParam(), test::killedHostCommand(world));
    killed.insert(killed.end() - 2, std::string(kKilledBetweenSteps) + "=1");
    ASSERT_EQ(test::runPeer(killed).exitStatus, 128 + SIGKILL)
        << "the host lived past the trade's first step";
    if (GetParam()) {
        EXPECT_EQ(test::runPeer(asUser(true, test::killedHostCommand(world))).exitStatus, 0);
    } else {
        world.start();
    }

    struct stat after { };
    EXPECT_EQ(::stat((app / ".git").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(test::runPeer(asUser(GetParam(),
                                { "env", "HOME=" + (root / "home").string(), "timeout", "10", "git", "-c",
                                    "user.name=User", "-c", "user.email=user@example.com", "-C", app.string(),
                                    "commit", "-q", "--allow-empty", "-m", "by-the-user" }))
                  .exitStatus,
        0);
    EXPECT_EQ(test::readFile(root / "out"), "mine\n");
    EXPECT_FALSE(fs::exists(root / "ran"));
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsNobody, ClaudeReplyGitKilledAsFlagsAreRefusedRealCLI, ::testing::Bool());
