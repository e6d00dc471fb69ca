// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// commands on and sandboxed: the Git and npm work a bot is routinely asked for, under the protections of
// the repositories it may write, and what the run's "commondir" placeholder is to Git, libgit2 and a
// copy of the repository taken meanwhile.
#include "tests/Reply/GitRealCLISupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace vellumar;
namespace fs = std::filesystem;
using test::commandsJob;
using test::git;
using test::makeRepository;
using test::RunnerWorld;

namespace {

class ClaudeReplyGitWorkRealCLI : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = test::commandSandboxUnavailableReason())
            GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    }
};

// Runs a job with `grant` writable whose one command waits, until `duringTheCommand` (on a thread of its
// own) has returned; whether it ran while the command waited.
bool whileACommandWaits(
    RunnerWorld& world, const fs::path& grant, const std::function<void()>& duringTheCommand)
{
    const fs::path waiting = grant / ".waiting";
    const fs::path release = grant / ".release";
    world.openGates();
    // The marker is computed, so that only the command's output, never its text, shows it.
    world.startReal(
        test::commandSteps({ "touch '" + waiting.string() + "'; for i in $(seq 1800); do test -e '"
            + release.string() + "' && break; sleep 0.1; done; echo waited-$((6 * 7))" }));
    std::atomic<bool> ran = false;
    std::jthread user([&](std::stop_token stop) {
        if (test::awaitFile(waiting, stop)) {
            duringTheCommand();
            ran = true;
        }
        std::ofstream(release) << "go\n";
    });
    EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");
    user.request_stop();
    user.join();
    EXPECT_NE(world.model->requestLog().find("waited-42"), std::string::npos);
    return ran;
}

}

// In a repository commands may write, with the user's identity in "~/.gitconfig" and a setting naming a
// program in "node_modules", which does not exist yet: the bot adds and stashes what is new (and none
// of the sandbox's placeholders), commits as the user, fills and removes "node_modules" and cleans up.
// The same with husky 9's hooks, in a work folder that is itself a repository, and beside the
// ".claude/.cc-writes" Claude Code leaves where it ran, which stays.
TEST_F(ClaudeReplyGitWorkRealCLI, TheBotsEverydayGitAndNpmWorkSucceeds)
{
    struct Case {
        const char* name;
        bool husky;
        bool inWorkFolder;
        bool claudeCodeRanThere; // and left its ".claude/.cc-writes", as in the work folder
    };
    const Case cases[] = {
        { "a granted repository", false, false, false },
        { "a granted repository with husky 9", true, false, false },
        { "the work folder as a repository", false, true, false },
        { "a granted repository where the user ran Claude Code", false, false, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        const fs::path grant = world.home / "Projects";
        fs::create_directories(grant);
        std::ofstream(world.home / ".gitconfig") << "[user]\n\tname = The User\n\temail = user@example.org\n";
        world.openGates();
        world.start();
        const fs::path repository = testCase.inWorkFolder ? world.workFolder("ios-1") : grant;
        makeRepository(repository);
        if (testCase.claudeCodeRanThere)
            fs::create_directories(repository / ".claude/.cc-writes");
        ASSERT_EQ(git(repository, { "config", "alias.lint", "!node_modules/.bin/lint ." }).exitStatus, 0);
        if (testCase.husky) {
            ASSERT_EQ(git(repository, { "config", "core.hooksPath", ".husky/_" }).exitStatus, 0);
            test::writeScript(repository / ".husky/_/h",
                "s=$(dirname \"$(dirname \"$0\")\")/$(basename \"$0\")\n"
                "[ ! -f \"$s\" ] || sh -e \"$s\" \"$@\"\n");
            for (const char* hook : { "pre-commit", "commit-msg", "pre-push" })
                test::writeScript(repository / ".husky/_" / hook, ". \"$(dirname \"$0\")/h\"\n");
            test::writeScript(repository / ".husky/pre-commit", "exit 0\n");
            ASSERT_EQ(git(repository, { "add", "-A" }).exitStatus, 0);
            ASSERT_EQ(git(repository, { "commit", "-qm", "husky" }).exitStatus, 0);
        }
        // Each step reports how it ended; the marker is the command's output, never its text. Two
        // commands, since what the first leaves may stop the second from starting.
        const std::string cd = "cd '" + repository.string() + "' && ";
        world.playReal(test::commandSteps({ cd
                + "echo new > new.txt; git add -A; echo add-$?; git add .; echo dot-$?; git stash -u;"
                  " echo stashed-$?; git stash pop -q; echo stash-$?; git commit -qm by-the-bot; echo "
                  "commit-$?",
            cd
                + "mkdir -p node_modules/.bin && ln -s ../lint/bin.js node_modules/.bin/lint"
                  " && rm -rf node_modules; echo npm-$?; touch junk.txt; git clean -fdq; echo clean-$?" }));
        EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");

        std::string requests = world.model->requestLog();
        for (const char* marker :
            { "add-0", "dot-0", "stashed-0", "stash-0", "commit-0", "npm-0", "clean-0" })
            EXPECT_NE(requests.find(marker), std::string::npos) << marker;
        EXPECT_EQ(git(repository, { "log", "-1", "--format=%s|%an <%ae>|%cn <%ce>" }).output,
            "by-the-bot|The User <user@example.org>|The User <user@example.org>\n");
        EXPECT_EQ(git(repository, { "show", "--name-only", "--format=", "HEAD" }).output, "new.txt\n");
        EXPECT_TRUE(!testCase.claudeCodeRanThere || fs::is_directory(repository / ".claude/.cc-writes"));
    }
}

// During a run, Git and libgit2 open the granted repository whose "commondir" the run holds, and a copy
// of it taken meanwhile commits to itself, not to the original.
TEST_F(ClaudeReplyGitWorkRealCLI, TheCommonDirPlaceholderIsTheFolderItselfToGitLibgit2AndACopy)
{
    RunnerWorld world;
    const fs::path root = fs::canonical(world.folder.path());
    const fs::path grant = world.home / "Projects";
    const fs::path copy = root / "copy";
    makeRepository(grant);
    const std::string original = git(grant, { "rev-parse", "HEAD" }).output;
    std::string commonDir, libgit2, copyPlaceholder;
    int copyCommit = -1;
    EXPECT_TRUE(whileACommandWaits(world, grant, [&] {
        commonDir = git(grant, { "rev-parse", "--git-common-dir" }).output;
        libgit2 = test::runPeer({ "/usr/bin/python3", "-c",
                                    "import pygit2, sys\nr = pygit2.Repository(sys.argv[1])\n"
                                    "print(r.path, r.head.peel().message, end='')",
                                    grant.string() })
                      .output;
        test::runPeer({ "cp", "-a", grant.string(), copy.string() });
        copyPlaceholder = test::readFile(copy / ".git/commondir");
        copyCommit = git(copy, { "commit", "-q", "--allow-empty", "-m", "in-the-copy" }).exitStatus;
    }));

    EXPECT_EQ(commonDir, (grant / ".git").string() + "\n");
    EXPECT_EQ(libgit2, (grant / ".git").string() + "/ first\n");
    EXPECT_EQ(copyPlaceholder, "../.git\n");
    EXPECT_EQ(copyCommit, 0);
    EXPECT_EQ(git(grant, { "rev-parse", "HEAD" }).output, original);
    EXPECT_EQ(git(copy, { "log", "-1", "--format=%s" }).output, "in-the-copy\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(grant / ".git/commondir")));
}

// A ".git" that a command left in the grant as a link to a repository outside every grant: the run
// writes no placeholder into that repository.
TEST_F(ClaudeReplyGitWorkRealCLI, AGitLinkToAnOutsideRepositoryGetsNoPlaceholderThere)
{
    struct Case {
        const char* name;
        const char* link; // relative to the grant
    };
    const Case cases[] = {
        { "the grant's own .git", ".git" },
        { "a repository's .git below the grant", "app/.git" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        const fs::path root = fs::canonical(world.folder.path());
        const fs::path outside = root / "outside";
        const fs::path grant = world.home / "Projects";
        makeRepository(outside);
        fs::create_directories((grant / testCase.link).parent_path());
        fs::create_directory_symlink(outside / ".git", grant / testCase.link);
        bool placeholderDuring = true;
        EXPECT_TRUE(whileACommandWaits(world, grant,
            [&] { placeholderDuring = fs::exists(fs::symlink_status(outside / ".git/commondir")); }));
        EXPECT_FALSE(placeholderDuring);
    }
}
