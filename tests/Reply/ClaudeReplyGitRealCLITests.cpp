// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint,
// commands on and sandboxed: what a command can do to the Git repositories in a writable grant that
// the user's own Git, outside the sandbox, would follow later.
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "tests/Reply/GitRealCLISupport.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

using namespace vellumar;
namespace fs = std::filesystem;
using test::awaitFile;
using test::commandsJob;
using test::git;
using test::makeRepository;
using test::RunnerWorld;
using test::writeScript;

namespace {

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

// One row of a table whose rows each start the real CLI: a test of its own, so that each keeps within the
// test's time limit however slow the machine, where a dozen of them one after another did not.
class ClaudeReplyGitRealCLIRow : public ClaudeReplyGitRealCLI,
                                 public ::testing::WithParamInterface<std::size_t> { };
class ClaudeReplyGitPlantingRealCLI : public ClaudeReplyGitRealCLIRow { };
class ClaudeReplyGitProgramRealCLI : public ClaudeReplyGitRealCLIRow { };
class ClaudeReplyGitBelowAGrantRealCLI : public ClaudeReplyGitRealCLIRow { };

}

// A copy of a submodule's Git folder with an fsmonitor command and a hook, named by a new "commondir"
// in that folder (the repository's own ".git" has a read-only one): Git outside the sandbox would run
// both. The file is gone before the next command starts, kept aside privately, and the user's Git runs
// nothing of the copy's.
TEST_F(ClaudeReplyGitRealCLI, ACommonDirWrittenByACommandIsMovedAsideBeforeGitFollowsIt)
{
    makeRepository(root / "library");
    makeRepository(project);
    ASSERT_EQ(git(project, { "submodule", "add", "-q", (root / "library").string(), "lib" }).exitStatus, 0);
    ASSERT_EQ(git(project, { "commit", "-qm", "library" }).exitStatus, 0);
    const fs::path modules = project / ".git/modules/lib";
    fs::path ran = root / "copied-git-ran";
    const std::string p = "'" + project.string() + "'";
    const std::string touch = "touch '" + ran.string() + "'";
    const std::vector<std::string> commands = {
        "cd " + p
            + " && mkdir .g2 && cd .git/modules/lib && cp -r HEAD config objects refs ../../../.g2/ && cd -"
            + " && mkdir .g2/hooks" + " && git config -f .g2/config core.fsmonitor \"" + touch + "; false\""
            + " && printf '#!/bin/sh\\n" + touch
            + "\\n' > pre-commit && chmod +x pre-commit && mv pre-commit .g2/hooks/"
            + " && echo ../../../.g2 > .git/modules/lib/commondir && echo commondir-$((6 * 7))",
        // Waits on the guard with a deadline, so that a slow machine cannot fail the test. Each marker is
        // computed, so that only a command's output, never its text, shows it.
        "for i in $(seq 300); do test -e " + p + "/.git/modules/lib/commondir || break; sleep 0.1; done;"
            + " test -e " + p
            + "/.git/modules/lib/commondir && echo still-$((6 * 7)) || echo gone-$((6 * 7))",
    };
    world.openGates();
    world.startReal(test::commandSteps(commands));
    test::CapturedLog log;
    EXPECT_EQ(world.run(commandsJob(project)).reply, "Done.");

    std::string requests = world.model->requestLog();
    EXPECT_NE(requests.find("commondir-42"), std::string::npos);
    EXPECT_NE(requests.find("gone-42"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(modules / "commondir")));
    auto kept = refusedCommonDirs(modules);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(test::readFile(kept[0]), "../../../.g2\n");
    struct stat status { };
    ASSERT_EQ(::stat(kept[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                  [](const std::string& line) { return line.find("commondir") != std::string::npos; }),
        1);

    EXPECT_EQ(git(project, { "status", "--short" }).exitStatus, 0);
    EXPECT_EQ(git(project / "lib", { "commit", "-q", "--allow-empty", "-m", "by-the-user" }).exitStatus, 0);
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
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE(cases[index].name);
        fs::path file = project / ".git" / cases[index].file;
        EXPECT_EQ(fs::exists(file) ? std::optional(test::readFile(file)) : std::nullopt, before[index]);
    }
}

namespace {

// `text` with each "{NAME}" replaced by its value, in the order given.
std::string filled(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values) {
        std::string key = "{" + name + "}";
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

JSON backgroundBashStep(const std::string& command)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Bash" },
            { "input",
                JSON::object({ { "command", command }, { "description", "Run a command in the background." },
                    { "run_in_background", true } }) } }) } });
}

// The user's repository "~/Projects", writable to commands, with a submodule "sub".
// Code a command plants would, run by the user's Git, leave `ran` outside the grant. A command says
// "{PLANT}" once it is done planting and "{AWAIT}" to wait until the test has run the user's Git.
struct PlantingScene {
    RunnerWorld world;
    fs::path root = fs::canonical(world.folder.path());
    fs::path home = root / "home";
    fs::path grant = home / "Projects";
    fs::path project = grant;
    fs::path ran = root / "ran";
    fs::path planted = grant / "planted";
    fs::path release = grant / "release";
    std::vector<std::pair<std::string, std::string>> values;

    PlantingScene()
    {
        makeRepository(root / "others/library");
        makeRepository(project);
        EXPECT_EQ(
            git(project, { "submodule", "add", "-q", (root / "others/library").string(), "sub" }).exitStatus,
            0);
        EXPECT_EQ(git(project, { "commit", "-qm", "sub" }).exitStatus, 0);
        const std::string touch = "touch '" + ran.string() + "'";
        values = {
            // A copy of Git's folder whose file system monitor is the planted code.
            { "COPY",
                "mkdir .g2 && cp -r .git/HEAD .git/config .git/objects .git/refs .g2/"
                " && git config -f .g2/config core.fsmonitor \"{TOUCH}; false\"" },
            { "TOUCH", touch },
            { "P", "'" + project.string() + "'" },
            { "PLANT", "touch '" + planted.string() + "'" },
            // Each marker is computed, so that only a command's output, never its text, shows it.
            { "AWAIT",
                "for i in $(seq 1800); do test -e '" + release.string()
                    + "' && break; sleep 0.1; done; echo waited-$((6 * 7))" },
        };
    }

    JSON steps(const std::vector<std::pair<std::string, bool>>& commands) const
    {
        JSON::Array steps;
        for (const auto& [command, background] : commands)
            steps.push_back(background ? backgroundBashStep(filled(command, values))
                                       : test::bashStep(filled(command, values)));
        steps.push_back(test::textStep("Done."));
        return JSON(std::move(steps));
    }

    // What the user would run in the repository: a status, then a commit.
    void runUsersGit() const
    {
        git(project, { "status", "--short" }, home);
        git(project, { "commit", "-q", "--allow-empty", "-m", "by-the-user" }, home);
    }
};

struct Planting {
    const char* name;
    std::function<void(const PlantingScene&)> prepare; // the user's own set-up
    std::vector<std::pair<std::string, bool>> commands; // each run in the background when true
};

std::vector<Planting> plantings()
{
    const auto nothing = [](const PlantingScene&) {};
    // What the run's guard watches rather than denies is written for a moment: the user's Git runs once
    // it went aside, a few milliseconds later, as a command waiting at most 90 s (within Claude Code's two
    // minutes for a command, however busy the machine) sees.
    const auto wentAside = [](const std::string& file) {
        return "for i in $(seq 1800); do ls {P}/" + file
            + ".refused-* >/dev/null 2>&1 && break; sleep 0.05; done; ";
    };
    return std::vector<Planting> {
        { "a submodule's .git file sent to a copy of its Git folder", nothing,
            { { "cd {P} && mkdir .sub-copy && cd .git/modules/sub && cp -r HEAD config objects refs "
                "../../../.sub-copy"
                " && cd - && git config -f .sub-copy/config core.worktree ../sub"
                " && git config -f .sub-copy/config core.fsmonitor \"{TOUCH}; false\";"
                " echo 'gitdir: ../.sub-copy' > sub/.git; {PLANT}; {AWAIT}",
                false } } },
        { "a commondir a background command writes 3 s after its result", nothing,
            { { "sleep 3; cd {P} && {COPY}; echo ../.g2 > .git/commondir; {PLANT}", true },
                { "{AWAIT}", false } } },
        { "a commondir written before the command waits", nothing,
            { { "cd {P} && {COPY}; echo ../.g2 > .git/commondir; {PLANT}; {AWAIT}", false } } },
        { "the pre-commit hook in core.hooksPath",
            [](const PlantingScene& scene) {
                EXPECT_EQ(git(scene.project, { "config", "core.hooksPath", ".husky" }).exitStatus, 0);
                fs::create_directory(scene.project / ".husky");
                std::ofstream(scene.project / ".husky/pre-commit") << "#!/bin/sh\nexit 0\n";
                fs::permissions(scene.project / ".husky/pre-commit", fs::perms::owner_all);
            },
            // Through python, since Claude Code itself asks before a redirection into a hook.
            { { "cd {P} && python3 -c \"import sys; open('.husky/pre-commit', 'w').write(sys.argv[1])\""
                " \"#!/bin/sh\n{TOUCH}\n\"; "
                    + wentAside(".husky/pre-commit") + "{PLANT}; {AWAIT}",
                false } } },
        { "a file the repository's configuration includes",
            [](const PlantingScene& scene) {
                EXPECT_EQ(
                    git(scene.project, { "config", "include.path", "../.gitconfig-shared" }).exitStatus, 0);
                std::ofstream(scene.project / ".gitconfig-shared") << "[user]\n\tname = Shared\n";
            },
            { { "git config -f {P}/.gitconfig-shared core.fsmonitor \"{TOUCH}; false\"; "
                    + wentAside(".gitconfig-shared") + "{PLANT}; {AWAIT}",
                false } } },
        { "a file ~/.gitconfig includes for the repositories in the grant",
            [](const PlantingScene& scene) {
                std::ofstream(scene.home / ".gitconfig")
                    << "[includeIf \"gitdir:~/Projects/\"]\n\tpath = ~/Projects/.git-local.cfg\n";
                std::ofstream(scene.grant / ".git-local.cfg") << "[user]\n\tname = Local\n";
            },
            { { "git config -f {P}/.git-local.cfg core.fsmonitor \"{TOUCH}; false\"; "
                    + wentAside(".git-local.cfg") + "{PLANT}; {AWAIT}",
                false } } },
    };
}

}

// Each way a command can turn the user's Git to its code, done by a real sandboxed command, then Git
// outside the sandbox while the command still runs and again after the run: it runs nothing planted.
TEST_P(ClaudeReplyGitPlantingRealCLI, GitOutsideRunsNothingACommandPlants)
{
    const Planting planting = plantings().at(GetParam());
    SCOPED_TRACE(planting.name);
    PlantingScene scene;
    planting.prepare(scene);
    scene.world.openGates();
    scene.world.startReal(scene.steps(planting.commands));
    std::atomic<bool> ranDuring = false;
    std::jthread user([&](std::stop_token stop) {
        if (awaitFile(scene.planted, stop)) {
            scene.runUsersGit();
            ranDuring = true;
        }
        std::ofstream(scene.release) << "go\n";
    });
    EXPECT_EQ(scene.world.run(commandsJob(scene.grant)).reply, "Done.");
    user.request_stop();
    user.join();

    EXPECT_TRUE(ranDuring);
    EXPECT_NE(scene.world.model->requestLog().find("waited-42"), std::string::npos);
    scene.runUsersGit();
    EXPECT_FALSE(fs::exists(scene.ran));
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitPlantingRealCLI, ::testing::Range<std::size_t>(0, plantings().size()));

// A shell prompt runs "git status" all the time: every 0.1 s while a command that wrote a "commondir"
// sleeps, none of them follows it.
TEST_F(ClaudeReplyGitRealCLI, GitStatusInALoopNeverFollowsACommonDirWhileTheCommandRuns)
{
    PlantingScene scene;
    scene.world.openGates();
    scene.world.startReal(scene.steps(
        { { "cd {P} && {COPY}; echo ../.g2 > .git/commondir; {PLANT}; sleep 6; echo slept-$((6 * 7))",
            false } }));
    std::atomic<int> statuses = 0;
    std::jthread user([&](std::stop_token stop) {
        if (!awaitFile(scene.planted, stop))
            return;
        while (!stop.stop_requested()) {
            git(scene.project, { "status", "--short" }, scene.home);
            ++statuses;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    EXPECT_EQ(scene.world.run(commandsJob(scene.grant)).reply, "Done.");
    user.request_stop();
    user.join();

    EXPECT_NE(scene.world.model->requestLog().find("slept-42"), std::string::npos);
    EXPECT_GT(statuses, 0);
    EXPECT_FALSE(fs::exists(scene.ran));
}

// With every protection in place (the placeholder, a protected hooks folder and included file, the
// submodule's .git file), Git inside the sandbox still commits, fetches, brings a submodule up to date
// and adds a worktree; and the run leaves no placeholder behind. ("git submodule update" itself rewrites
// the submodule's protected "core.worktree" each time, so it cannot run inside.)
TEST_F(ClaudeReplyGitRealCLI, GitInsideTheSandboxStillWorksUnderTheProtections)
{
    PlantingScene scene;
    fs::path library = scene.root / "others/library";
    fs::path upstream = scene.root / "others/upstream";
    makeRepository(upstream);
    ASSERT_EQ(git(scene.project, { "remote", "add", "upstream", upstream.string() }).exitStatus, 0);
    ASSERT_EQ(git(scene.project, { "config", "core.hooksPath", ".husky" }).exitStatus, 0);
    ASSERT_EQ(git(scene.project, { "config", "include.path", "../.gitconfig-shared" }).exitStatus, 0);
    std::ofstream(scene.project / ".gitconfig-shared") << "[user]\n\tname = Shared\n";
    std::ofstream(library / "tracked.txt") << "library\n";
    ASSERT_EQ(git(library, { "commit", "-qam", "library" }).exitStatus, 0);
    std::ofstream(upstream / "tracked.txt") << "upstream\n";
    ASSERT_EQ(git(upstream, { "commit", "-qam", "upstream" }).exitStatus, 0);
    const std::string libraryHead = head(library).substr(0, 40);
    const std::string upstreamHead = head(upstream).substr(0, 40);

    scene.world.openGates();
    scene.world.startReal(
        scene.steps({ { "cd {P} && echo second >> tracked.txt"
                        " && git -c user.name=Bot -c user.email=bot@example.com commit -qam from-a-command"
                        " && git fetch -q upstream"
                        " && git -C sub fetch -q && git -C sub checkout -q FETCH_HEAD"
                        " && git worktree add -q .worktrees/extra && echo worked-$((6 * 7))",
            false } }));
    EXPECT_EQ(scene.world.run(commandsJob(scene.grant, scene.root / "others")).reply, "Done.");

    EXPECT_NE(scene.world.model->requestLog().find("worked-42"), std::string::npos);
    EXPECT_EQ(git(scene.project, { "log", "-1", "--format=%s" }).output, "from-a-command\n");
    EXPECT_EQ(git(scene.project, { "cat-file", "-t", upstreamHead }).output, "commit\n");
    EXPECT_EQ(head(scene.project / "sub").substr(0, 40), libraryHead);
    EXPECT_EQ(
        git(scene.project / ".worktrees/extra", { "rev-parse", "--is-inside-work-tree" }).output, "true\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(scene.project / ".git/commondir")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scene.project / ".git/modules/sub/commondir")));
}

namespace {

// Git as the user runs it in `scene`'s project, with nothing in the environment that stands in for a
// setting, no terminal to prompt on, and a credential request on its input; at a terminal through
// script(1) when `atTerminal`.
void runUsersGit(const PlantingScene& scene, const std::vector<std::string>& arguments, bool atTerminal)
{
    std::vector<std::string> argv = { "env", "-u", "GIT_EDITOR", "-u", "GIT_PAGER", "-u", "PAGER", "-u",
        "GIT_ASKPASS", "-u", "SSH_ASKPASS", "-u", "GIT_SSH_COMMAND", "-u", "GIT_EXTERNAL_DIFF",
        "GIT_TERMINAL_PROMPT=0", "HOME=" + scene.home.string() };
    std::vector<std::string> command = { "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
        "-C", scene.project.string() };
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (atTerminal) {
        std::string line;
        for (const auto& word : command)
            line += "'" + word + "' ";
        command = { "script", "-qec", line, "/dev/null" };
    }
    argv.insert(argv.end(), command.begin(), command.end());
    test::runPeer(argv, "protocol=https\nhost=example.com\n\n");
}

struct Program {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings; // the user's, in the repository
    std::vector<std::string> usersGit; // the arguments of the user's Git command that runs it
    bool atTerminal = false;
    std::function<void(const PlantingScene&)> prepare = nullptr; // more of the user's set-up
    std::string script = "tools/program.sh";
};

std::vector<Program> programs()
{
    const std::string runsIt = "sh tools/program.sh";
    return std::vector<Program> {
        { "a filter's clean command", { { "filter.tool.clean", runsIt } }, { "add", "data.dat" } },
        { "the external diff", { { "diff.external", runsIt } }, { "diff" } },
        { "a diff driver's textconv", { { "diff.tool.textconv", runsIt } }, { "diff" } },
        { "a merge driver", { { "merge.tool.driver", runsIt + " %O %A %B" } }, { "merge", "-q", "other" },
            false,
            [](const PlantingScene& scene) {
                git(scene.project, { "checkout", "-qb", "other" });
                std::ofstream(scene.project / "tracked.txt") << "other\n";
                git(scene.project, { "commit", "-qam", "other" });
                git(scene.project, { "checkout", "-q", "-" });
                std::ofstream(scene.project / "tracked.txt") << "main\n";
                git(scene.project, { "commit", "-qam", "main" });
            } },
        { "the pager at a terminal", { { "core.pager", runsIt } }, { "log", "-1" }, true },
        { "the editor", { { "core.editor", runsIt } }, { "commit", "--allow-empty" } },
        { "the SSH command", { { "core.sshCommand", runsIt } }, { "ls-remote", "ssh://localhost/x" } },
        { "askpass", { { "core.askPass", "tools/program.sh" } }, { "credential", "fill" } },
        { "a credential helper for an address",
            { { "credential.https://example.com.helper", "!./tools/program.sh" } },
            { "credential", "fill" } },
        { "the signing program", { { "gpg.program", "./tools/program.sh" } },
            { "commit", "--allow-empty", "-S", "-m", "signed" } },
        { "a shell alias", { { "alias.tool", "!" + runsIt } }, { "tool" } },
        // husky 9: each hook in ".husky/_" runs "h", which runs the script of the hook's name in ".husky".
        { "husky 9's pre-commit", { { "core.hooksPath", ".husky/_" } },
            { "commit", "--allow-empty", "-m", "x" }, false,
            [](const PlantingScene& scene) {
                writeScript(scene.project / ".husky/_/h",
                    "n=$(basename \"$0\")\ns=$(dirname \"$(dirname \"$0\")\")/$n\n[ ! -f \"$s\" ] && exit 0\n"
                    "export PATH=\"node_modules/.bin:$PATH\"\nsh -e \"$s\" \"$@\"\n");
                for (const char* hook : { "pre-commit", "commit-msg", "pre-push" })
                    writeScript(scene.project / ".husky/_" / hook, ". \"$(dirname \"$0\")/h\"\n");
            },
            ".husky/pre-commit" },
    };
}

}

// Each kind of setting that names a program, set by the user to a script in the repository: a sandboxed
// command appends its code to the script and still commits, and the user's Git command that runs the
// program, outside the sandbox after the run, runs the user's script as it was.
TEST_P(ClaudeReplyGitProgramRealCLI, GitOutsideRunsNoScriptASettingNamesThatACommandChanged)
{
    const Program program = programs().at(GetParam());
    SCOPED_TRACE(program.name);
    PlantingScene scene;
    const fs::path used = scene.root / "used";
    // A change to a file with the drivers' attributes, for the filter and the diffs to work on.
    std::ofstream(scene.project / ".gitattributes") << "*.dat filter=tool diff=tool\n*.txt merge=tool\n";
    std::ofstream(scene.project / "data.dat") << "data\n";
    ASSERT_EQ(git(scene.project, { "add", "data.dat" }).exitStatus, 0);
    ASSERT_EQ(git(scene.project, { "commit", "-qm", "data" }).exitStatus, 0);
    if (program.prepare)
        program.prepare(scene);
    std::ofstream(scene.project / "data.dat", std::ios::app) << "changed\n";
    // Inside the sandbox, where Git commits with the hook too, `used` cannot be made.
    writeScript(scene.project / program.script, "touch '" + used.string() + "' || true\n");
    for (const auto& [key, value] : program.settings)
        ASSERT_EQ(git(scene.project, { "config", key, value }).exitStatus, 0);

    scene.world.openGates();
    const std::string appends = "python3 -c \"import sys; open(sys.argv[1], 'a').write(sys.argv[2])\" "
        + program.script + " \"{TOUCH}\n\"";
    const std::string commits
        = "git -c user.name=Bot -c user.email=bot@example.com commit -q --allow-empty -m inside";
    scene.world.startReal(scene.steps(
        { { "cd {P} && " + appends + "; echo tried-$((6 * 7)); " + commits + " && echo committed-$((6 * 7))",
            false } }));
    EXPECT_EQ(scene.world.run(commandsJob(scene.grant)).reply, "Done.");
    EXPECT_NE(scene.world.model->requestLog().find("tried-42"), std::string::npos);
    EXPECT_NE(scene.world.model->requestLog().find("committed-42"), std::string::npos);

    runUsersGit(scene, program.usersGit, program.atTerminal);
    EXPECT_TRUE(fs::exists(used));
    EXPECT_FALSE(fs::exists(scene.ran));
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitProgramRealCLI, ::testing::Range<std::size_t>(0, programs().size()));

namespace {

// A Git folder as `git init` leaves it, without sample hooks: copied where many repositories are wanted.
fs::path gitFolderTemplate(const fs::path& folder)
{
    EXPECT_EQ(git(folder.parent_path(), { "init", "-q", folder.filename().string() }).exitStatus, 0);
    fs::remove_all(folder / ".git/hooks");
    fs::create_directory(folder / ".git/hooks");
    return folder / ".git";
}

// What `git status` and a commit in each of `repositories`, run by the user outside the sandbox with
// `home`, would run of a command's code: whether `ran` appeared.
bool usersGitRan(const std::vector<fs::path>& repositories, const fs::path& home, const fs::path& ran)
{
    for (const auto& repository : repositories) {
        git(repository, { "status", "--short" }, home);
        git(repository, { "commit", "-q", "--allow-empty", "-m", "by-the-user" }, home);
    }
    return fs::exists(ran);
}

// Python, since Claude Code itself asks before a redirection into a Git folder: writes an executable
// `#!/bin/sh` script running `line` at each of the relative paths in each folder of the glob, ignoring
// refusals, and then prints the computed marker "<marker>-42".
std::string plantEverywhere(const std::string& folders, const std::vector<std::string>& names,
    const std::string& line, const std::string& marker)
{
    std::string list;
    for (const auto& name : names)
        list += "'" + name + "',";
    return "python3 -c \"import glob, os\nfor d in glob.glob('" + folders + "'):\n for n in (" + list
        + "):\n  p = os.path.join(d, n)\n  try:\n   open(p, 'a').write('#!/bin/sh\\n" + line
        + "\\n'); os.chmod(p, 0o755)\n  except OSError: pass\nprint('" + marker + "-' + str(6 * 7))\"";
}

std::vector<std::string> deniedWrites(const RunnerWorld& world, const std::string& conversationID)
{
    auto document
        = JSON::decode(test::readFile(ClaudeReplyRunner::settingsFile(world.dataFolder, conversationID)));
    std::vector<std::string> denied;
    for (const auto& path :
        *document->subscript("sandbox")->subscript("filesystem")->subscript("denyWrite")->arrayValue())
        denied.push_back(*path.stringValue());
    return denied;
}

}

// "~/Projects", itself no repository, granted with four repositories made before the run, one of them
// two levels down: a command writes each one's hook, appends to its config and sets its file system
// monitor, and points one more's "commondir" at a copy of its Git folder with a monitor of its own (in a
// repository of its own, since a "commondir" left there stops Git before it runs anything); the user's
// Git runs nothing in any of them.
TEST_F(ClaudeReplyGitRealCLI, EveryRepositoryInAGrantedFolderRunsNothingACommandPlants)
{
    const fs::path grant = world.home / "Projects";
    const std::vector<fs::path> repositories
        = { grant / "app", grant / "lib", grant / "group/deep", grant / "pointed" };
    for (const auto& repository : repositories)
        makeRepository(repository);
    const fs::path ran = root / "ran";
    const std::string touch = "touch " + ran.string();
    const std::string g = "'" + grant.string() + "'";
    world.openGates();
    world.startReal(test::commandSteps({
        "cd " + g + " && "
            + plantEverywhere("*/.git", { "hooks/pre-commit", "hooks/post-checkout", "config" },
                "[core]\\n\\tfsmonitor = " + touch + "; false", "planted"),
        "cd " + g + "; for r in app lib group/deep; do git -C $r config core.fsmonitor '" + touch
            + "; false'; git -C $r config --worktree core.fsmonitor '" + touch
            + "; false'; done; cd pointed && mkdir .g2 && cp -r .git/HEAD .git/config .git/objects .git/refs"
              " .g2/ && git config -f .g2/config core.fsmonitor '"
            + touch + "; false'; echo ../.g2 > .git/commondir; echo tried-$((6 * 7))",
        "cd " + g + " && " + plantEverywhere("*/*/.git", { "hooks/pre-commit", "config" }, touch, "deeper"),
    }));
    EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");

    std::string requests = world.model->requestLog();
    EXPECT_NE(requests.find("planted-42"), std::string::npos);
    EXPECT_NE(requests.find("tried-42"), std::string::npos);
    EXPECT_NE(requests.find("deeper-42"), std::string::npos);
    EXPECT_FALSE(usersGitRan(repositories, world.home, ran));
    for (const auto& repository : repositories)
        EXPECT_FALSE(fs::exists(repository / ".git/hooks/pre-commit")) << repository;
}

// 1,000 repositories in a granted folder: the sandbox denies nothing in any of them, so that the
// command starts as fast as with none and writes where it may; the guard moves aside each hook it
// plants, with a log line each.
TEST_F(ClaudeReplyGitRealCLI, AThousandRepositoriesCostNoMountAndKeepNoPlantedHook)
{
    const fs::path grant = root / "Projects";
    fs::create_directories(grant);
    fs::path gitTemplate = gitFolderTemplate(root / "template");
    std::vector<fs::path> repositories;
    for (int index = 0; index < 1000; ++index) {
        repositories.push_back(grant / ("r" + std::to_string(index)));
        fs::create_directory(repositories.back());
        fs::copy(gitTemplate, repositories.back() / ".git", fs::copy_options::recursive);
    }
    const fs::path ran = root / "ran";
    world.openGates();
    world.startReal(test::commandSteps({ "cd '" + grant.string() + "' && "
        + plantEverywhere("r*/.git", { "probe", "hooks/pre-commit" }, "touch " + ran.string(), "works") }));
    test::CapturedLog log;
    EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");
    EXPECT_NE(world.model->requestLog().find("works-42"), std::string::npos);

    // The grant's own protected names only.
    for (const auto& denied : deniedWrites(world, "ios-1"))
        EXPECT_FALSE(fs::path(denied).lexically_relative(grant).begin()->string().starts_with("r")) << denied;
    for (const auto& repository : repositories) {
        SCOPED_TRACE(repository.string());
        EXPECT_FALSE(fs::exists(repository / ".git/hooks/pre-commit"));
        EXPECT_TRUE(fs::exists(repository / ".git/probe"));
    }
    auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                  [](const std::string& line) {
                      return line.find("hooks/pre-commit changed") != std::string::npos;
                  }),
        1000);
    EXPECT_FALSE(usersGitRan({ repositories.front(), repositories.back() }, world.home, ran));
}

// A command fills the walk's bound of ".git" files in one run, each naming the project's Git folder, so
// that the next run's walk stops before the real submodule's deeper down; that run rewrites the
// submodule's ".git" to send Git to a copy of its Git folder with a file system monitor. Git's own
// records name the submodule's ".git" before any walk: the rewrite is refused and nothing runs.
TEST_F(ClaudeReplyGitRealCLI, AFloodOfGitFilesCrowdsOutNoRealSubmodule)
{
    const fs::path grant = world.home / "Projects";
    makeRepository(root / "others/library");
    makeRepository(grant);
    ASSERT_EQ(
        git(grant, { "submodule", "add", "-q", (root / "others/library").string(), "deps/sub" }).exitStatus,
        0);
    ASSERT_EQ(git(grant, { "commit", "-qm", "sub" }).exitStatus, 0);
    const std::string gitFile = test::readFile(grant / "deps/sub/.git");
    const fs::path ran = root / "ran";
    const std::string p = "'" + grant.string() + "'";

    world.openGates();
    world.startReal(test::commandSteps(
        { "cd " + p + " && mkdir $(seq -f f%g 2000) && for i in $(seq 2000); do echo 'gitdir: "
            + grant.string() + "/.git' > f$i/.git; done; echo flooded-$((6 * 7))" }));
    EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");
    EXPECT_NE(world.model->requestLog().find("flooded-42"), std::string::npos);

    world.playReal(test::commandSteps({ "cd " + p
        + " && mkdir .sub-copy && cp -r .git/modules/deps/sub/HEAD .git/modules/deps/sub/config"
          " .git/modules/deps/sub/objects .git/modules/deps/sub/refs .sub-copy/"
          " && git config -f .sub-copy/config core.worktree ../deps/sub"
          " && git config -f .sub-copy/config core.fsmonitor \"touch "
        + ran.string()
        + "; false\"; echo 'gitdir: ../../.sub-copy' > deps/sub/.git; echo redirected-$((6 * 7))" }));
    auto next = commandsJob(grant);
    next.conversationID = "ios-2";
    EXPECT_EQ(world.run(next).reply, "Done.");
    EXPECT_NE(world.model->requestLog().find("redirected-42"), std::string::npos);

    EXPECT_EQ(test::readFile(grant / "deps/sub/.git"), gitFile);
    EXPECT_FALSE(usersGitRan({ grant, grant / "deps/sub" }, world.home, ran));
}

// Past the cap on linked folders a repository's ".git/modules" is read-only whole; a submodule entry in
// it that is a link to a Git folder elsewhere in the grant is read-only at the link's target as well, so
// that no file system monitor or hook can be written through it.
TEST_F(ClaudeReplyGitRealCLI, ASubmoduleLinkPastTheCapIsReadOnlyAtItsTarget)
{
    const fs::path grant = world.home / "Projects";
    makeRepository(root / "others/library");
    makeRepository(grant);
    ASSERT_EQ(
        git(grant, { "submodule", "add", "-q", (root / "others/library").string(), "linked" }).exitStatus, 0);
    ASSERT_EQ(git(grant, { "commit", "-qm", "linked" }).exitStatus, 0);
    const fs::path store = grant / "store/lib.git";
    fs::create_directories(store.parent_path());
    fs::rename(grant / ".git/modules/linked", store);
    fs::create_directory_symlink(store, grant / ".git/modules/linked");
    ASSERT_EQ(
        git(grant,
            { "config", "-f", (store / "config").string(), "core.worktree", (grant / "linked").string() })
            .exitStatus,
        0);
    ASSERT_EQ(git(grant / "linked", { "status", "--short" }).exitStatus, 0);
    for (std::size_t index = 0; index < GitFolders::maxLinkedFolders + 10; ++index) {
        fs::path module = grant / ".git/modules" / ("m" + std::to_string(index));
        fs::create_directories(module);
        std::ofstream(module / "HEAD") << "ref: refs/heads/main\n";
    }
    const fs::path ran = root / "ran";

    world.openGates();
    world.startReal(test::commandSteps({ "git config -f '" + (store / "config").string()
            + "' core.fsmonitor \"touch " + ran.string() + "; false\"; echo tried-$((6 * 7))",
        plantEverywhere(store.string(), { "hooks/pre-commit" }, "touch " + ran.string(), "planted") }));
    EXPECT_EQ(world.run(commandsJob(grant)).reply, "Done.");
    std::string requests = world.model->requestLog();
    EXPECT_NE(requests.find("tried-42"), std::string::npos);
    EXPECT_NE(requests.find("planted-42"), std::string::npos);

    EXPECT_FALSE(fs::exists(store / "hooks/pre-commit"));
    EXPECT_FALSE(usersGitRan({ grant / "linked", grant }, world.home, ran));
}

namespace {

struct BelowAGrantCase {
    const char* name;
    std::function<void(const fs::path& app)> prepare; // the user's own set-up
    std::string plant; // run in the repository
    std::string planted; // a shell test that holds while the planted code is in place
    fs::path refusedIn; // the folder where it goes aside, relative to the repository
};

// Each row's, whose planted code runs `touch`.
std::vector<BelowAGrantCase> belowAGrantCases(const std::string& touch)
{
    return std::vector<BelowAGrantCase> {
        { "a planted hook", [](const fs::path&) {},
            "python3 -c \"import os; open('.git/hooks/pre-commit', 'w').write('#!/bin/sh\\n" + touch
                + "\\n'); os.chmod('.git/hooks/pre-commit', 0o755)\"",
            "test -e .git/hooks/pre-commit", ".git/hooks" },
        { "the script a hook links to",
            [](const fs::path& repository) {
                writeScript(repository / "scripts/pre-commit.sh", "exit 0\n");
                fs::create_symlink("../../scripts/pre-commit.sh", repository / ".git/hooks/pre-commit");
            },
            "echo '" + touch + "' >> scripts/pre-commit.sh", "grep -q ran scripts/pre-commit.sh", "scripts" },
        { "a program setting", [](const fs::path&) {}, "git config core.fsmonitor '" + touch + "; false'",
            "git config core.fsmonitor", ".git" },
    };
}

}

// A repository below the granted "~/Projects", itself no repository, costs the sandbox no mount: a
// command plants code the user's Git would run, and the guard moves it aside while the command still
// runs, so that the user's commit afterwards runs nothing; the remote and upstream the command
// set stay.
TEST_P(ClaudeReplyGitBelowAGrantRealCLI,
    ARepositoryBelowAGrantIsGuardedWithoutAMountAndKeepsTheBotsRemoteAndUpstream)
{
    // Outside the row's world's folder, so that its commands name it alike.
    const fs::path ran = root / "ran";
    const BelowAGrantCase testCase = belowAGrantCases("touch " + ran.string()).at(GetParam());
    SCOPED_TRACE(testCase.name);
    // A world of its own: a session and a grant that start anew.
    RunnerWorld rowWorld;
    const fs::path grant = fs::canonical(rowWorld.folder.path()) / "home/Projects";
    const fs::path app = grant / "app";
    makeRepository(app);
    testCase.prepare(app);
    const std::string a = "cd '" + app.string() + "' && ";
    rowWorld.openGates();
    rowWorld.startReal(test::commandSteps({
        a + "git remote add upstream https://example.com/upstream.git"
            + " && git update-ref refs/remotes/upstream/main HEAD && git branch -q -u upstream/main"
            + " && echo added-$((6 * 7))",
        a + testCase.plant + "; for i in $(seq 300); do " + testCase.planted + " || break; sleep 0.1; done; "
            + testCase.planted + " && echo still-$((6 * 7)) || echo gone-$((6 * 7))",
    }));
    test::CapturedLog log;
    EXPECT_EQ(rowWorld.run(commandsJob(grant)).reply, "Done.");

    std::string requests = rowWorld.model->requestLog();
    EXPECT_NE(requests.find("added-42"), std::string::npos);
    EXPECT_NE(requests.find("gone-42"), std::string::npos);
    for (const auto& denied : deniedWrites(rowWorld, "ios-1"))
        EXPECT_FALSE(isPathInside(fs::path(denied), app)) << denied;
    std::size_t refused = 0;
    for (const auto& entry : fs::directory_iterator(app / testCase.refusedIn))
        refused += entry.path().filename().string().find(".refused-") != std::string::npos;
    EXPECT_EQ(refused, 1u);
    EXPECT_FALSE(usersGitRan({ app }, rowWorld.home, ran));
    EXPECT_EQ(git(app, { "remote", "get-url", "upstream" }).output, "https://example.com/upstream.git\n");
    EXPECT_EQ(git(app, { "rev-parse", "--abbrev-ref", "@{upstream}" }).output, "upstream/main\n");
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitBelowAGrantRealCLI, ::testing::Range<std::size_t>(0, belowAGrantCases("").size()));
