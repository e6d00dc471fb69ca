// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// commands on and sandboxed: what a command can do to the Git repositories in a writable grant that
// the user's own Git, outside the sandbox, would follow later.
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

namespace {

// Git as the user runs it, outside any sandbox; its identity given so that commits need no config.
test::PeerResult git(const fs::path& repository, std::vector<std::string> arguments)
{
    std::vector<std::string> argv = { "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
        "-c", "protocol.file.allow=always", "-C", repository.string() };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return test::runPeer(argv);
}

// A repository with one committed file.
void makeRepository(const fs::path& folder)
{
    fs::create_directories(folder);
    ASSERT_EQ(git(folder, { "init", "-q" }).exitStatus, 0);
    std::ofstream(folder / "tracked.txt") << "first\n";
    ASSERT_EQ(git(folder, { "add", "tracked.txt" }).exitStatus, 0);
    ASSERT_EQ(git(folder, { "commit", "-qm", "first" }).exitStatus, 0);
}

std::string head(const fs::path& repository) { return git(repository, { "rev-parse", "HEAD" }).output; }

std::vector<fs::path> refusedCommonDirs(const fs::path& gitFolder)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(gitFolder)) {
        if (entry.path().filename().string().starts_with("commondir.refused-"))
            found.push_back(entry.path());
    }
    return found;
}

// Commands on, `granted` writable and `readable` (when given) only readable.
JobSubmission commandsJob(const fs::path& granted, const std::optional<fs::path>& readable = std::nullopt)
{
    auto job = RunnerWorld::submission("Run the commands.");
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders = { PermissionSettings::Folder { granted.string(), true } };
    if (readable)
        job.permissions->folders.push_back(PermissionSettings::Folder { readable->string(), false });
    return job;
}

// The real CLI in a world of its own, with commands sandboxed.
class ClaudeReplyGitRealCLI : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = test::commandSandboxUnavailableReason())
            GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    }

    RunnerWorld world;
    fs::path root = fs::canonical(world.folder.path());
    fs::path project = root / "project";
};

}

// A copy of Git's folder with an fsmonitor command and a hook, named by a new ".git/commondir": Git
// outside the sandbox would run both. The file is gone before the next command starts, kept aside
// privately, and the user's Git runs nothing of the copy's.
TEST_F(ClaudeReplyGitRealCLI, ACommonDirWrittenByACommandIsMovedAsideBeforeGitFollowsIt)
{
    makeRepository(project);
    fs::path ran = root / "copied-git-ran";
    const std::string p = "'" + project.string() + "'";
    const std::string touch = "touch '" + ran.string() + "'";
    const std::vector<std::string> commands = {
        "cd " + p
            + " && mkdir .g2 && cp -r .git/HEAD .git/config .git/objects .git/refs .g2/ && mkdir .g2/hooks"
            + " && git config -f .g2/config core.fsmonitor \"" + touch + "; false\""
            + " && printf '#!/bin/sh\\n" + touch
            + "\\n' > .g2/hooks/pre-commit && chmod +x .g2/hooks/pre-commit"
            + " && echo ../.g2 > .git/commondir && echo commondir-$((6 * 7))",
        // Waits on the guard with a deadline, so that a slow machine cannot fail the test. Each marker is
        // computed, so that only a command's output, never its text, shows it.
        "for i in $(seq 300); do test -e " + p + "/.git/commondir || break; sleep 0.1; done; test -e " + p
            + "/.git/commondir && echo still-$((6 * 7)) || echo gone-$((6 * 7))",
    };
    world.openGates();
    world.startReal(test::commandSteps(commands));
    test::CapturedLog log;
    EXPECT_EQ(world.run(commandsJob(project)).reply, "Done.");

    std::string requests = world.model->requestLog();
    EXPECT_NE(requests.find("commondir-42"), std::string::npos);
    EXPECT_NE(requests.find("gone-42"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(project / ".git/commondir")));
    auto kept = refusedCommonDirs(project / ".git");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(test::readFile(kept[0]), "../.g2\n");
    struct stat status { };
    ASSERT_EQ(::stat(kept[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                  [](const std::string& line) { return line.find("commondir") != std::string::npos; }),
        1);

    EXPECT_EQ(git(project, { "status", "--short" }).exitStatus, 0);
    EXPECT_EQ(git(project, { "commit", "-q", "--allow-empty", "-m", "by-the-user" }).exitStatus, 0);
    EXPECT_FALSE(fs::exists(ran));
}

// The linked worktree's and the submodule's Git files cannot be written, nor a "config.worktree" made,
// while committing and fetching, in the repository and in its submodule, still work.
TEST_F(ClaudeReplyGitRealCLI, CommandsCannotWriteGitFilesOfWorktreesOrSubmodulesYetCommitAndFetch)
{
    fs::path others = root / "others";
    fs::path upstream = others / "upstream";
    fs::path library = others / "library";
    makeRepository(upstream);
    makeRepository(library);
    makeRepository(project);
    ASSERT_EQ(git(project, { "submodule", "add", "-q", library.string(), "lib" }).exitStatus, 0);
    ASSERT_EQ(git(project, { "commit", "-qm", "library" }).exitStatus, 0);
    ASSERT_EQ(git(project, { "worktree", "add", "-q", (root / "linked").string() }).exitStatus, 0);
    ASSERT_EQ(git(project, { "remote", "add", "upstream", upstream.string() }).exitStatus, 0);
    // What the fetches should bring: commits made after the clone.
    std::ofstream(upstream / "tracked.txt") << "upstream\n";
    ASSERT_EQ(git(upstream, { "commit", "-qam", "upstream" }).exitStatus, 0);
    std::ofstream(library / "tracked.txt") << "library\n";
    ASSERT_EQ(git(library, { "commit", "-qam", "library" }).exitStatus, 0);
    const std::string upstreamHead = head(upstream);
    const std::string libraryHead = head(library);
    const std::string worktreeCommonDir = test::readFile(project / ".git/worktrees/linked/commondir");
    ASSERT_FALSE(worktreeCommonDir.empty());

    const std::string p = "'" + project.string() + "'";
    const std::vector<std::string> commands = {
        // Through python, since Claude Code itself asks before a redirection into ".git/config".
        "python3 -c \"open('" + project.string() + "/.git/config.worktree', 'w').write('[core]')\"; echo $?",
        "printf '#!/bin/sh\\n' > " + p + "/.git/modules/lib/hooks/post-checkout",
        "echo ../../../.g2 > " + p + "/.git/worktrees/linked/commondir",
        "cd " + p + " && echo second >> tracked.txt"
            + " && git -c user.name=Bot -c user.email=bot@example.com commit -qam from-a-command"
            + " && git fetch -q upstream && git -C lib fetch -q origin && echo worked-$((6 * 7))",
    };
    world.openGates();
    world.startReal(test::commandSteps(commands));
    EXPECT_EQ(world.run(commandsJob(project, others)).reply, "Done.");

    std::string requests = world.model->requestLog();
    EXPECT_NE(requests.find("worked-42"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(project / ".git/config.worktree")));
    EXPECT_FALSE(fs::exists(project / ".git/modules/lib/hooks/post-checkout"));
    EXPECT_EQ(test::readFile(project / ".git/worktrees/linked/commondir"), worktreeCommonDir);
    EXPECT_EQ(git(project, { "log", "-1", "--format=%s" }).output, "from-a-command\n");
    EXPECT_EQ(git(project, { "cat-file", "-t", upstreamHead.substr(0, 40) }).output, "commit\n");
    EXPECT_EQ(git(project / "lib", { "cat-file", "-t", libraryHead.substr(0, 40) }).output, "commit\n");
}

// A command that leaves 1,200 empty folders in ".git/worktrees" stops no later run: the next run's Bash
// call works, and the real worktree's and submodule's Git files still cannot be written.
TEST_F(ClaudeReplyGitRealCLI, AFloodOfEmptyWorktreeFoldersStopsNoLaterCommandNorItsProtections)
{
    fs::path library = root / "library";
    makeRepository(library);
    makeRepository(project);
    ASSERT_EQ(git(project, { "submodule", "add", "-q", library.string(), "lib" }).exitStatus, 0);
    ASSERT_EQ(git(project, { "worktree", "add", "-q", (root / "linked").string() }).exitStatus, 0);

    const std::string p = "'" + project.string() + "'";
    world.openGates();
    world.startReal(test::commandSteps({ "cd " + p
        + "/.git/worktrees && seq -f 'flood-%g' 1200 | xargs mkdir && echo flooded-$((6 * 7))" }));
    EXPECT_EQ(world.run(commandsJob(project)).reply, "Done.");
    EXPECT_NE(world.model->requestLog().find("flooded-42"), std::string::npos);
    ASSERT_TRUE(fs::is_directory(project / ".git/worktrees/flood-1200"));

    struct Case {
        const char* name;
        const char* file; // below the project's ".git"
    };
    const Case cases[] = {
        { "the worktree's commondir", "worktrees/linked/commondir" },
        { "the worktree's config.worktree", "worktrees/linked/config.worktree" },
        { "a hook of the worktree", "worktrees/linked/hooks/post-checkout" },
        { "the submodule's config", "modules/lib/config" },
        { "a hook of the submodule", "modules/lib/hooks/post-checkout" },
    };
    // Through python, since Claude Code itself asks before a redirection into a Git config.
    std::vector<std::string> commands = { "echo works-$((6 * 7))" };
    std::vector<std::optional<std::string>> before;
    for (const auto& testCase : cases) {
        fs::path file = project / ".git" / testCase.file;
        commands.push_back("python3 -c \"import os; os.makedirs('" + file.parent_path().string()
            + "', exist_ok=True); open('" + file.string() + "', 'a').write('[core]\\n')\"; echo $?");
        before.push_back(fs::exists(file) ? std::optional(test::readFile(file)) : std::nullopt);
    }
    world.playReal(test::commandSteps(commands));
    // A conversation of its own, whose session starts anew at the script's first step.
    auto next = commandsJob(project);
    next.conversationID = "ios-2";
    EXPECT_EQ(world.run(next).reply, "Done.");

    EXPECT_NE(world.model->requestLog().find("works-42"), std::string::npos);
    std::ofstream("/tmp/wtcap-requests.log") << world.model->requestLog();
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE(cases[index].name);
        fs::path file = project / ".git" / cases[index].file;
        EXPECT_EQ(fs::exists(file) ? std::optional(test::readFile(file)) : std::nullopt, before[index]);
    }
}
