// Each surface Git documents for running code, in a repository of a granted folder of repositories, as
// a real sandboxed command (the real CLI against the scripted model) would plant code there, and the
// user's own Git afterwards, outside the sandbox: it runs nothing the command wrote.
#include "tests/Reply/GitRealCLISupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

using namespace vellumar;
namespace fs = std::filesystem;
using test::git;
using test::makeRepository;
using test::RunnerWorld;

namespace {

// "~/Projects" granted writable, itself no repository; code a command plants would leave `ran`.
struct Projects {
    RunnerWorld world;
    fs::path root = fs::canonical(world.folder.path());
    fs::path home = root / "home";
    fs::path grant = home / "Projects";
    fs::path ran = root / "ran";
    std::string script = "#!/bin/sh\ntouch " + ran.string() + "\n";
    // Where a plant the user's Git may run while the run lasts counts each time it ran.
    fs::path ranDuring = root / "ran-during";
    std::string counting = "echo ran >> " + ranDuring.string();

    Projects() { fs::create_directories(grant); }

    // A script of the user's at `file` that does nothing, executable.
    void userScript(const fs::path& file) const
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "#!/bin/sh\nexit 0\n";
        fs::permissions(file, fs::perms::owner_all);
    }

    // A command that writes the planted script at `file` (relative to the grant) in place, executable:
    // through python, since Claude Code itself asks before a redirection into a Git folder.
    std::string plant(const std::string& file, const std::string& text = {}) const
    {
        return "python3 -c \"import os, sys; f = open(sys.argv[1], 'r+' if os.path.exists(sys.argv[1]) else "
               "'w'); f.truncate(0); f.write(sys.argv[2]); f.close(); os.chmod(sys.argv[1], 0o755)\" '"
            + (grant / file).string() + "' '" + (text.empty() ? script : text) + "'";
    }

    // A command that puts "exec <the planted code>" first in the rebase's to-do list of `repository`.
    std::string planExec(const std::string& repository) const
    {
        fs::path todo = grant / repository / ".git/rebase-merge/git-rebase-todo";
        return "python3 -c \"import sys; p = sys.argv[1]; t = open(p).read(); open(p, 'w').write("
               "'exec touch "
            + ran.string() + "\\n' + t)\" '" + todo.string() + "'";
    }

    std::string config(const std::string& file, const std::string& key, const std::string& value) const
    {
        return "git config -f '" + (grant / file).string() + "' " + key + " '" + value + "'";
    }

    // One run of `commands`, in the conversation `conversation`, each command's failure ignored.
    void run(const std::vector<std::string>& commands, const std::string& conversation)
    {
        std::vector<std::string> steps;
        for (const auto& command : commands)
            steps.push_back(command + "; echo ran-$((6 * 7))");
        world.playReal(test::commandSteps(steps));
        auto job = test::commandsJob(grant);
        job.conversationID = conversation;
        EXPECT_EQ(world.run(job).reply, "Done.");
        EXPECT_NE(world.model->requestLog().find("ran-42"), std::string::npos);
    }

    // Fails the test when Git's exit status is not `expectedStatus`.
    test::PeerResult usersGit(
        const std::string& repository, std::vector<std::string> arguments, int expectedStatus = 0) const
    {
        arguments.insert(arguments.begin(), { "-c", "core.editor=true" });
        return git(grant / repository, std::move(arguments), home, expectedStatus);
    }

    // Fails the test unless the commit is made.
    void commit(const std::string& repository) const
    {
        usersGit(repository, { "commit", "-q", "--allow-empty", "-m", "by-the-user" });
        EXPECT_EQ(usersGit(repository, { "log", "-1", "--format=%s" }).output, "by-the-user\n");
    }

    // A command that waits while `planted` (a shell condition) holds, and says "went-42" once it does
    // not: whether the plant was put back while the command still ran. At most 90 s, within Claude Code's
    // two minutes for a command, however busy the machine.
    static std::string whilePlanted(const std::string& planted)
    {
        return "for i in $(seq 1800); do " + planted
            + " || { echo went-$((6 * 7)); break; }; sleep 0.05; done";
    }

    // The user's `git status` and `git commit` in `repository` every 0.3 s, as an editor's Git runs
    // them, until `stopUsersLoop`: what a command plants is run there unless it is put back at once.
    void startUsersLoop(const std::string& repository)
    {
        usersLoop = std::jthread([this, repository](std::stop_token stop) {
            std::mutex paced;
            std::condition_variable_any pace;
            while (!stop.stop_requested()) {
                usersGit(repository, { "status", "--short" });
                commit(repository);
                std::unique_lock lock(paced);
                pace.wait_for(lock, stop, std::chrono::milliseconds(300), [] { return false; });
            }
        });
    }

    // Stops the loop; the plant was put back while the run lasted, and the user's Git works.
    void stopUsersLoop(const std::string& repository)
    {
        usersLoop.request_stop();
        usersLoop.join();
        EXPECT_NE(world.model->requestLog().find("went-42"), std::string::npos);
        // The user's Git that ran while the plant was there, before the watch put it back, may have run
        // it: how many did depends on how busy the machine is. Once it is back, none does.
        const auto runs = [&] { return fs::exists(ranDuring) ? test::readFile(ranDuring) : std::string(); };
        const std::string ranWhileThere = runs();
        auto status = usersGit(repository, { "status", "--short" });
        EXPECT_EQ(status.exitStatus, 0) << status.output;
        auto committed = usersGit(repository, { "commit", "--allow-empty", "-m", "by-the-user" });
        EXPECT_EQ(committed.exitStatus, 0) << committed.output;
        EXPECT_NE(committed.output.find("by-the-user"), std::string::npos);
        EXPECT_EQ(runs(), ranWhileThere);
    }

    // Last, so that it stops before the world it uses goes.
    std::jthread usersLoop;
    // The user's commit in `repository` succeeds and is the last one there.
    void commitSucceeds(const std::string& repository) const
    {
        auto committed = usersGit(repository, { "commit", "-q", "--allow-empty", "-m", "by-the-user" });
        EXPECT_EQ(committed.exitStatus, 0);
        auto last = usersGit(repository, { "log", "-1", "--format=%s" });
        EXPECT_EQ(last.exitStatus, 0);
        EXPECT_EQ(last.output, "by-the-user\n");
    }

    // A command that renames the folder `folder` (relative to the grant) to "<folder>.x" and puts a
    // link to `target` at its name, then says so.
    std::string swapForLink(const std::string& folder, const fs::path& target) const
    {
        const std::string path = (grant / folder).string();
        return "python3 -c \"import os, sys; os.rename(sys.argv[1], sys.argv[1] + '.x'); "
               "os.symlink(sys.argv[2], "
               "sys.argv[1]); print('swapped', sys.argv[1])\" '"
            + path + "' '" + target.string() + "'";
    }

    // A file of the user's outside the grant, in the fixture's home.
    void usersFile(const fs::path& relative, const std::string& text) const
    {
        fs::create_directories((home / relative).parent_path());
        std::ofstream(home / relative) << text;
        fs::permissions(home / relative, fs::perms::owner_read | fs::perms::owner_write);
    }

    // Every file of the home outside the grant but Claude Code's own: its name, mode and bytes. Of
    // `since`, when given, only the names it has, and any moved aside: Claude Code adds its own as it runs.
    std::map<fs::path, std::string> outsideGrant(const std::map<fs::path, std::string>* since = nullptr) const
    {
        std::map<fs::path, std::string> files;
        for (auto entry = fs::recursive_directory_iterator(home); entry != fs::recursive_directory_iterator();
             ++entry) {
            const std::string name = entry->path().filename().string();
            if (entry->path() == grant || name.starts_with(".claude")) {
                entry.disable_recursion_pending();
                continue;
            }
            if (since && !since->contains(entry->path()) && name.find(".refused-") == std::string::npos)
                continue;
            auto mode = std::to_string(static_cast<unsigned>(entry->symlink_status().permissions()));
            files[entry->path()] = entry->is_symlink() ? "link " + fs::read_symlink(entry->path()).string()
                : entry->is_regular_file()             ? mode + " " + test::readFile(entry->path())
                                                       : mode;
        }
        return files;
    }
};

// `repository` in the grant with a branch "topic" of two commits, the first of which conflicts with
// "main"'s, so that a rebase stopped there goes on to its end once that one is resolved.
void conflictingBranches(const Projects& projects, const std::string& repository)
{
    fs::path folder = projects.grant / repository;
    makeRepository(folder);
    git(folder, { "branch", "-M", "main" });
    git(folder, { "checkout", "-qb", "topic" });
    for (const char* file : { "tracked.txt", "notes.txt" }) {
        std::ofstream(folder / file) << "topic\n";
        git(folder, { "add", file });
        git(folder, { "commit", "-qm", file });
    }
    git(folder, { "checkout", "-q", "main" });
    std::ofstream(folder / "tracked.txt") << "main\n";
    git(folder, { "commit", "-qam", "main" });
    git(folder, { "checkout", "-q", "topic" });
}

// husky 9's layout in `repository`: a relative core.hooksPath whose runner runs the user's script.
void huskyRepository(const Projects& projects, const std::string& repository)
{
    fs::path folder = projects.grant / repository;
    makeRepository(folder);
    projects.userScript(folder / ".husky/pre-commit");
    test::writeScript(folder / ".husky/_/pre-commit", "sh .husky/pre-commit\n");
    git(folder, { "config", "core.hooksPath", ".husky/_" });
}

// `command`, then a line showing that it succeeded, which the command's own text does not hold.
std::string written(const std::string& command) { return command + " && echo written-$((40 + 3))"; }

// A command's write was seen, and the user's Git `arguments` in `repository` succeed with `expected` in
// their output.
void expectWrittenThenUsersGit(Projects& projects, const std::string& repository,
    std::vector<std::string> arguments, const std::string& expected)
{
    const std::string seen = projects.world.model->requestLog();
    EXPECT_NE(seen.find("written-43"), std::string::npos)
        << seen.substr(seen.size() - std::min<std::size_t>(seen.size(), 3000));
    auto result = projects.usersGit(repository, std::move(arguments));
    EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
}

// "web" in the grant as husky 9 lays it out: each runner in ".husky/_" sources "h", which puts
// "node_modules/.bin" first on PATH and then runs the user's script of the hook's name with "sh". The
// user's pre-commit script appends a line to "<root>/hook-output".
void husky9(const Projects& projects)
{
    fs::path web = projects.grant / "web";
    makeRepository(web);
    fs::create_directories(web / ".husky/_");
    std::ofstream(web / ".husky/_/h") << "#!/usr/bin/env sh\nn=$(basename \"$0\")\n"
                                         "s=$(dirname \"$(dirname \"$0\")\")/$n\n[ ! -f \"$s\" ] && exit 0\n"
                                         "export PATH=\"node_modules/.bin:$PATH\"\nsh -e \"$s\" \"$@\"\n";
    std::ofstream(web / ".husky/_/pre-commit") << "#!/usr/bin/env sh\n. \"$(dirname \"$0\")/h\"\n";
    fs::permissions(web / ".husky/_/pre-commit", fs::perms::owner_all);
    std::ofstream(web / ".husky/pre-commit")
        << "echo user-hook >> '" << (projects.root / "hook-output").string() << "'\n";
    git(web, { "config", "core.hooksPath", ".husky/_" });
}

// The user's commit in the husky 9 repository "web" succeeds and runs their own script.
void huskyCommit(Projects& projects)
{
    EXPECT_EQ(
        projects.usersGit("web", { "commit", "-q", "--allow-empty", "-m", "by-the-user" }).exitStatus, 0);
    EXPECT_EQ(test::readFile(projects.root / "hook-output"), "user-hook\n");
}

// A package in `folder` whose one program, `bin`, is the planted script.
void localPackage(const Projects& projects, const fs::path& folder, const std::string& bin)
{
    fs::create_directories(folder);
    std::ofstream(folder / "package.json")
        << "{\"name\":\"" << folder.filename().string() << "\",\"version\":\"1.0.0\",\"bin\":{\"" << bin
        << "\":\"cli.js\"}}";
    std::ofstream(folder / "cli.js") << projects.script;
}

using Step = std::function<void(Projects&)>;

struct Surface {
    const char* name;
    Step prepare; // the user's own set-up, before any run and after the runner's start
    std::function<std::vector<std::string>(const Projects&)> earlier; // an earlier run's commands
    std::function<std::vector<std::string>(const Projects&)> commands;
    Step usersGit; // what the user runs afterwards
    const char* said = nullptr; // what the commands' output shows, when it is checked
};

std::vector<Surface> surfaces()
{
    const auto none = [](const Projects&) { return std::vector<std::string> {}; };
    const auto appWithUsersLoop = [](Projects& p) {
        makeRepository(p.grant / "app");
        p.startUsersLoop("app");
    };
    const auto hooksOf
        = [](const Projects& p, const std::string& gitFolder, std::initializer_list<const char*> hooks) {
              std::vector<std::string> commands;
              for (const char* hook : hooks)
                  commands.push_back(p.plant(gitFolder + "/hooks/" + hook));
              return commands;
          };
    return std::vector<Surface> {
        { "a bare repository the user pushes to",
            [](Projects& p) {
                makeRepository(p.grant / "app");
                git(p.grant, { "clone", "-q", "--bare", "app", "origin.git" });
                git(p.grant / "app", { "remote", "add", "origin", (p.grant / "origin.git").string() });
            },
            none,
            [&](const Projects& p) {
                return hooksOf(p, "origin.git", { "pre-receive", "update", "post-receive", "post-update" });
            },
            [](Projects& p) {
                p.commit("app");
                p.usersGit("app", { "push", "-q", "origin", "HEAD:refs/heads/pushed" });
            } },
        { "a bare clone with linked worktrees",
            [](Projects& p) {
                makeRepository(p.root / "upstream");
                fs::create_directories(p.grant / "tool");
                git(p.grant / "tool", { "clone", "-q", "--bare", (p.root / "upstream").string(), ".bare" });
                std::ofstream(p.grant / "tool/.git") << "gitdir: ./.bare\n";
                git(p.grant / "tool", { "worktree", "add", "-q", "main" });
            },
            none,
            [&](const Projects& p) {
                auto commands = hooksOf(p, "tool/.bare", { "pre-commit" });
                commands.push_back(
                    p.config("tool/.bare/config", "core.fsmonitor", "touch " + p.ran.string()));
                return commands;
            },
            [](Projects& p) {
                p.usersGit("tool/main", { "status", "--short" });
                p.commit("tool/main");
            } },
        { "a Git folder made apart with --separate-git-dir",
            [](Projects& p) {
                fs::create_directories(p.grant / "store");
                git(p.grant,
                    { "init", "-q", "--separate-git-dir", (p.grant / "store/cli.git").string(), "cli" });
            },
            none, [&](const Projects& p) { return hooksOf(p, "store/cli.git", { "pre-commit" }); },
            [](Projects& p) { p.commit("cli"); } },
        { "a hook that is a link into the work tree",
            [](Projects& p) {
                makeRepository(p.grant / "web");
                p.userScript(p.grant / "web/scripts/pre-commit.sh");
                fs::create_symlink("../../scripts/pre-commit.sh", p.grant / "web/.git/hooks/pre-commit");
            },
            none, [](const Projects& p) { return std::vector { p.plant("web/scripts/pre-commit.sh") }; },
            [](Projects& p) { p.commit("web"); } },
        { "a submodule's hook that is a link into its work tree",
            [](Projects& p) {
                makeRepository(p.root / "library");
                p.userScript(p.root / "library/scripts/pre-commit.sh");
                git(p.root / "library", { "add", "scripts" });
                git(p.root / "library", { "commit", "-qm", "scripts" });
                makeRepository(p.grant / "super");
                git(p.grant / "super", { "submodule", "add", "-q", (p.root / "library").string(), "sub" });
                fs::create_symlink("../../../../sub/scripts/pre-commit.sh",
                    p.grant / "super/.git/modules/sub/hooks/pre-commit");
            },
            none,
            [](const Projects& p) { return std::vector { p.plant("super/sub/scripts/pre-commit.sh") }; },
            [](Projects& p) { p.commit("super/sub"); } },
        { "a hook hard-linked to a work-tree file",
            [](Projects& p) {
                makeRepository(p.grant / "api");
                p.userScript(p.grant / "api/scripts/pre-commit.sh");
                fs::create_hard_link(
                    p.grant / "api/scripts/pre-commit.sh", p.grant / "api/.git/hooks/pre-commit");
            },
            none, [](const Projects& p) { return std::vector { p.plant("api/scripts/pre-commit.sh") }; },
            [](Projects& p) { p.commit("api"); } },
        { "the to-do list of a rebase stopped on a conflict",
            [](Projects& p) {
                conflictingBranches(p, "merge");
                p.usersGit("merge", { "rebase", "-q", "main" }, 1);
            },
            none, [](const Projects& p) { return std::vector { p.planExec("merge") }; },
            [](Projects& p) {
                std::ofstream(p.grant / "merge/tracked.txt") << "resolved\n";
                p.usersGit("merge", { "add", "tracked.txt" });
                p.usersGit("merge", { "rebase", "--continue" });
            } },
        { "the to-do list of an interactive rebase stopped to edit",
            [](Projects& p) {
                conflictingBranches(p, "edit");
                git(p.grant / "edit",
                    { "-c", "sequence.editor=sed -i 1s/^pick/edit/", "rebase", "-qi", "HEAD~2" });
            },
            none, [](const Projects& p) { return std::vector { p.planExec("edit") }; },
            [](Projects& p) {
                p.usersGit("edit", { "rebase", "--continue" });
            } },
        { "submodule.<name>.update naming a script",
            [](Projects& p) {
                makeRepository(p.root / "library");
                makeRepository(p.grant / "super");
                git(p.grant / "super", { "submodule", "add", "-q", (p.root / "library").string(), "sub" });
                git(p.grant / "super", { "commit", "-qm", "sub" });
                p.userScript(p.grant / "super/tools/update.sh");
                git(p.grant / "super",
                    { "config", "submodule.sub.update", "!" + (p.grant / "super/tools/update.sh").string() });
                // The submodule moves on, so that an update has something to do.
                git(p.grant / "super/sub", { "commit", "-q", "--allow-empty", "-m", "ahead" });
            },
            none, [](const Projects& p) { return std::vector { p.plant("super/tools/update.sh") }; },
            [](Projects& p) {
                p.usersGit("super", { "submodule", "-q", "update" });
            } },
        { "difftool.<tool>.path",
            [](Projects& p) {
                makeRepository(p.grant / "docs");
                p.userScript(p.grant / "docs/tools/meld");
                git(p.grant / "docs", { "config", "diff.tool", "meld" });
                git(p.grant / "docs",
                    { "config", "difftool.meld.path", (p.grant / "docs/tools/meld").string() });
                std::ofstream(p.grant / "docs/tracked.txt") << "changed\n";
            },
            none, [](const Projects& p) { return std::vector { p.plant("docs/tools/meld") }; },
            [](Projects& p) {
                p.usersGit("docs", { "difftool", "-y" });
            } },
        { "an alias that changes folder first",
            [](Projects& p) {
                makeRepository(p.grant / "site");
                p.userScript(p.grant / "site/tools/release.sh");
                git(p.grant / "site", { "config", "alias.release", "!cd tools && ./release.sh" });
            },
            none, [](const Projects& p) { return std::vector { p.plant("site/tools/release.sh") }; },
            [](Projects& p) { p.usersGit("site", { "release" }); } },
        { "init.templateDir of the user's global settings",
            [](Projects& p) {
                makeRepository(p.grant / "any");
                fs::create_directories(p.grant / "templates/hooks");
                std::ofstream(p.home / ".gitconfig") << "[init]\n\ttemplateDir = ~/Projects/templates\n";
            },
            none, [&](const Projects& p) { return hooksOf(p, "templates", { "pre-commit" }); },
            [](Projects& p) {
                git(p.root, { "init", "-q", "elsewhere" }, p.home);
                git(p.root / "elsewhere", { "commit", "-q", "--allow-empty", "-m", "by-the-user" }, p.home);
            } },
        { "a flood of files at the grant's top, then a hook one level down",
            [](Projects& p) { makeRepository(p.grant / "one"); },
            [](const Projects& p) {
                return std::vector<std::string> { "cd '" + p.grant.string()
                    + "' && seq 100500 | xargs touch" };
            },
            [&](const Projects& p) { return hooksOf(p, "one/.git", { "pre-commit" }); },
            [](Projects& p) { p.commit("one"); } },
        { "a flood of files in the work folder, then a hook in the grant",
            [](Projects& p) {
                makeRepository(p.grant / "two");
                auto workFolder = p.world.data->workspaces.folder("ios-1");
                test::runPeer({ "sh", "-c", "cd '" + workFolder.string() + "' && seq 100500 | xargs touch" });
            },
            none, [&](const Projects& p) { return hooksOf(p, "two/.git", { "pre-commit" }); },
            [](Projects& p) { p.commit("two"); } },
        { "a thousand empty Git folders, then husky 9's script",
            [](Projects& p) { huskyRepository(p, "web"); },
            [](const Projects& p) {
                return std::vector<std::string> { "cd '" + p.grant.string()
                    + "' && for i in $(seq 1000); do mkdir -p r$i/.git/objects r$i/.git/refs"
                      " && echo 'ref: refs/heads/main' > r$i/.git/HEAD; done" };
            },
            [](const Projects& p) { return std::vector { p.plant("web/.husky/pre-commit") }; },
            [](Projects& p) { p.commit("web"); } },
        // Settings off the everyday list, and repositories that come inside a guarded one.
        { "core.worktree sending husky 9's relative hooks folder elsewhere",
            [](Projects& p) { huskyRepository(p, "web"); }, none,
            [](const Projects& p) {
                return std::vector { "mkdir -p '" + (p.grant / "evil/.husky/_").string() + "'",
                    p.plant("evil/.husky/_/pre-commit"),
                    written("git -C '" + (p.grant / "web").string() + "' config core.worktree ../../evil") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(
                    p, "web", { "commit", "--allow-empty", "-m", "by-the-user" }, "by-the-user");
            } },
        { "core.worktree sending a relative core.fsmonitor elsewhere",
            [](Projects& p) {
                makeRepository(p.grant / "mon");
                p.userScript(p.grant / "mon/tools/fsmonitor");
                git(p.grant / "mon", { "config", "core.fsmonitor", "tools/fsmonitor" });
            },
            none,
            [](const Projects& p) {
                return std::vector { "mkdir -p '" + (p.grant / "evil/tools").string() + "'",
                    p.plant("evil/tools/fsmonitor"),
                    written("git -C '" + (p.grant / "mon").string() + "' config core.worktree ../../evil") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "mon", { "status", "--branch", "--porcelain" }, "## ");
            } },
        { "the ext transport allowed and named as the remote",
            [](Projects& p) {
                makeRepository(p.grant / "app");
                git(p.grant, { "clone", "-q", "--bare", "app", "up.git" });
                git(p.grant / "app", { "remote", "add", "origin", (p.grant / "up.git").string() });
            },
            none,
            [](const Projects& p) {
                return std::vector { written("git -C '" + (p.grant / "app").string()
                    + "' config protocol.ext.allow always && git -C '" + (p.grant / "app").string()
                    + "' remote set-url origin 'ext::sh -c touch% " + p.ran.string() + "'") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "app", { "fetch", "origin" }, "");
                EXPECT_NE(p.usersGit("app", { "remote", "get-url", "origin" }).output.find("up.git"),
                    std::string::npos);
            } },
        { "a submodule added with a program setting",
            [](Projects& p) {
                makeRepository(p.grant / "library");
                makeRepository(p.grant / "super");
            },
            none,
            [](const Projects& p) {
                return std::vector { written("cd '" + (p.grant / "super").string()
                    + "' && git -c protocol.file.allow=always submodule add -q ../library lib"
                      " && git -C lib config core.fsmonitor 'touch "
                    + p.ran.string() + "'") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "super", { "status", "--short" }, "lib");
            } },
        { "an embedded repository added with a program setting",
            [](Projects& p) { makeRepository(p.grant / "super"); }, none,
            [](const Projects& p) {
                return std::vector { written("cd '" + (p.grant / "super").string()
                    + "' && git init -q emb && git -C emb -c user.name=B -c user.email=b@example.com commit "
                      "-q"
                      " --allow-empty -m x && git -C emb config core.fsmonitor 'touch "
                    + p.ran.string() + "' && git add emb") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "super", { "status", "--short" }, "emb");
            } },
        // Everyday work keeps what it writes.
        { "git remote add, git config pull.rebase and user.email",
            [](Projects& p) { makeRepository(p.grant / "plain"); }, none,
            [](const Projects& p) {
                std::string in = "git -C '" + (p.grant / "plain").string() + "' ";
                return std::vector { written(in + "remote add origin https://example.com/plain.git && " + in
                    + "config pull.rebase true && " + in + "config user.email bot@example.com") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(
                    p, "plain", { "remote", "get-url", "origin" }, "https://example.com/plain.git");
                expectWrittenThenUsersGit(p, "plain", { "config", "pull.rebase" }, "true");
                expectWrittenThenUsersGit(
                    p, "plain", { "config", "--local", "user.email" }, "bot@example.com");
            } },
        { "git push -u to a bare repository",
            [](Projects& p) {
                makeRepository(p.grant / "pusher");
                git(p.grant, { "init", "-q", "--bare", "pushed.git" });
                git(p.grant / "pusher", { "remote", "add", "origin", (p.grant / "pushed.git").string() });
            },
            none,
            [](const Projects& p) {
                return std::vector { written(
                    "git -C '" + (p.grant / "pusher").string() + "' push -q -u origin HEAD") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(
                    p, "pusher", { "rev-parse", "--abbrev-ref", "@{upstream}" }, "origin/");
            } },
        { "git submodule init and update in a fresh clone",
            [](Projects& p) {
                makeRepository(p.grant / "library");
                makeRepository(p.grant / "super");
                git(p.grant / "super", { "submodule", "add", "-q", (p.grant / "library").string(), "lib" });
                git(p.grant / "super", { "commit", "-qm", "lib" });
                git(p.grant, { "clone", "-q", "super", "clone" });
            },
            none,
            [](const Projects& p) {
                return std::vector { written("cd '" + (p.grant / "clone").string()
                    + "' && git submodule init && git -c protocol.file.allow=always submodule update") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "clone", { "submodule", "status" }, " lib (");
                expectWrittenThenUsersGit(p, "clone/lib", { "remote", "get-url", "origin" }, "library");
            } },
        { "git sparse-checkout set",
            [](Projects& p) {
                makeRepository(p.grant / "sparse");
                for (const char* folder : { "one", "two" }) {
                    fs::create_directories(p.grant / "sparse" / folder);
                    std::ofstream(p.grant / "sparse" / folder / "file") << folder;
                }
                git(p.grant / "sparse", { "add", "one", "two" });
                git(p.grant / "sparse", { "commit", "-qm", "folders" });
            },
            none,
            [](const Projects& p) {
                return std::vector { written(
                    "git -C '" + (p.grant / "sparse").string() + "' sparse-checkout set one") };
            },
            [](Projects& p) {
                expectWrittenThenUsersGit(p, "sparse", { "sparse-checkout", "list" }, "one");
                EXPECT_FALSE(fs::exists(p.grant / "sparse/two"));
            } },
        // Put back at once, while the user's Git runs again and again during the run.
        // A work tree that is no longer the folder noted is itself the change: the copy goes aside whole,
        // and the user's own folder, where the command moved it, still works.
        { "a work tree renamed, a copy put in its place, then a hook planted in the copy",
            [](Projects& p) { makeRepository(p.grant / "app"); }, none,
            [](const Projects& p) {
                return std::vector { "cd '" + p.grant.string()
                    + "' && mv app app-orig && cp -a app-orig app; " + p.plant("app/.git/hooks/pre-commit")
                    + "; " + Projects::whilePlanted("test -e app/.git/hooks/pre-commit") };
            },
            [](Projects& p) {
                EXPECT_NE(p.world.model->requestLog().find("went-42"), std::string::npos);
                EXPECT_FALSE(fs::exists(p.grant / "app/.git/hooks/pre-commit"));
                // The copy's Git folder went aside, and the user's came back to its name.
                EXPECT_EQ(test::runPeer({ "sh", "-c", "ls -d '" + p.grant.string() + "'/app/.git.refused-*" })
                              .exitStatus,
                    0);
                p.commitSucceeds("app");
            } },
        { "a configuration written through a hard link made to it", appWithUsersLoop, none,
            [](const Projects& p) {
                return std::vector { "cd '" + p.grant.string() + "/app' && ln .git/config cfg && printf '"
                    + "[core]\\n\\tfsmonitor = " + p.counting + "\\n' >> cfg; "
                    + Projects::whilePlanted("grep -q fsmonitor .git/config") };
            },
            [](Projects& p) {
                p.stopUsersLoop("app");
                EXPECT_NE(test::readFile(p.grant / "app/cfg").find("fsmonitor"), std::string::npos);
            } },
        // What Git's configuration names, past any count of repositories that name it.
        { "husky 9's script in the 200th of 200 husky repositories",
            [](Projects& p) {
                for (int index = 1; index <= 200; ++index) {
                    fs::path web = p.grant / ("web" + std::to_string(1000 + index));
                    makeRepository(web);
                    p.userScript(web / ".husky/pre-commit");
                    fs::create_directories(web / ".husky/_");
                    std::ofstream(web / ".husky/_/pre-commit") << "#!/bin/sh\nsh .husky/pre-commit\n";
                    fs::permissions(web / ".husky/_/pre-commit", fs::perms::owner_all);
                    git(web, { "config", "core.hooksPath", ".husky/_" });
                }
            },
            none, [](const Projects& p) { return std::vector { p.plant("web1200/.husky/pre-commit") }; },
            [](Projects& p) { p.commit("web1200"); } },
        // A folder on the way swapped for a link outside the grant, or a Git folder not the one noted.
        { "a bare repository swapped for a link to ~/.ssh after a write to it",
            [](Projects& p) {
                makeRepository(p.grant / "app");
                git(p.grant, { "clone", "-q", "--bare", "app", "origin.git" });
                git(p.grant / "app", { "remote", "add", "origin", (p.grant / "origin.git").string() });
                p.usersFile(".ssh/config", "Host example\n\tUser me\n");
            },
            none,
            [](const Projects& p) {
                return std::vector { p.plant("origin.git/hooks/pre-receive"),
                    p.swapForLink("origin.git", p.home / ".ssh") };
            },
            [](Projects& p) { p.commitSucceeds("app"); }, "swapped" },
        { "a submodule's Git folder swapped for a link to ~/.config/git",
            [](Projects& p) {
                makeRepository(p.root / "library");
                makeRepository(p.grant / "super");
                git(p.grant / "super", { "submodule", "add", "-q", (p.root / "library").string(), "sub" });
                p.usersFile(".config/git/config", "[core]\n\tpager = less -R\n");
            },
            none,
            [](const Projects& p) {
                return std::vector { p.plant("super/.git/modules/sub/hooks/pre-commit"),
                    p.swapForLink("super/.git/modules/sub", p.home / ".config/git") };
            },
            [](Projects& p) { p.commitSucceeds("super"); }, "swapped" },
        { "a linked worktree's Git folder swapped for a link to ~/.config/git",
            [](Projects& p) {
                makeRepository(p.grant / "app");
                git(p.grant / "app", { "worktree", "add", "-q", "../app-wt" });
                p.usersFile(".config/git/config", "[core]\n\tpager = less -R\n");
            },
            none,
            [](const Projects& p) {
                return std::vector { p.plant("app/.git/worktrees/app-wt/hooks/pre-commit"),
                    p.swapForLink("app/.git/worktrees/app-wt", p.home / ".config/git") };
            },
            [](Projects& p) { p.commitSucceeds("app"); }, "swapped" },
        { "a hooks folder swapped for a link to the user's global hooks",
            [](Projects& p) {
                makeRepository(p.grant / "web");
                p.userScript(p.grant / "web/.git/hooks/pre-commit");
                p.usersFile(".config/git/hooks/pre-commit", "#!/bin/sh\necho global\n");
            },
            none,
            [](const Projects& p) {
                return std::vector { p.plant("web/.git/hooks/pre-commit"),
                    p.swapForLink("web/.git/hooks", p.home / ".config/git/hooks") };
            },
            [](Projects& p) { p.commitSucceeds("web"); }, "swapped" },
        // A repository known by what it is, not by its names.
        { "a linked worktree's .git file replaced by a Git folder with a hook",
            [](Projects& p) {
                makeRepository(p.grant / "app");
                git(p.grant / "app", { "worktree", "add", "-q", "../app-wt" });
            },
            none,
            [](const Projects& p) {
                return std::vector { "rm '" + (p.grant / "app-wt/.git").string() + "' && git init -q '"
                        + (p.grant / "app-wt").string() + "' && echo made-a-git-folder",
                    p.plant("app-wt/.git/hooks/pre-commit") };
            },
            [](Projects& p) { p.commitSucceeds("app-wt"); }, "made-a-git-folder" },
        { "a Git folder renamed away in one run and back with a hook in the next",
            [](Projects& p) { makeRepository(p.grant / "lib"); },
            [](const Projects& p) {
                return std::vector<std::string> { "mv '" + (p.grant / "lib/.git").string() + "' '"
                    + (p.grant / "lib/.git-away").string() + "' && echo renamed-away" };
            },
            [](const Projects& p) {
                return std::vector { "mv '" + (p.grant / "lib/.git-away").string() + "' '"
                        + (p.grant / "lib/.git").string() + "' && echo renamed-back",
                    p.plant("lib/.git/hooks/pre-commit") };
            },
            [](Projects& p) { p.commitSucceeds("lib"); }, "renamed-back" },
        { "a hook's chain of links re-pointed in the middle",
            [](Projects& p) {
                makeRepository(p.grant / "web");
                p.userScript(p.grant / "web/scripts/pre-commit.sh");
                fs::create_directories(p.grant / "web/tools");
                fs::create_symlink("../scripts/pre-commit.sh", p.grant / "web/tools/pre-commit");
                fs::create_symlink("../../tools/pre-commit", p.grant / "web/.git/hooks/pre-commit");
            },
            none,
            [](const Projects& p) {
                return std::vector { p.plant("web/scripts/other.sh"),
                    "ln -sfn ../scripts/other.sh '" + (p.grant / "web/tools/pre-commit").string()
                        + "' && echo re-pointed" };
            },
            [](Projects& p) { p.commitSucceeds("web"); }, "re-pointed" },
        // What husky 9's runner puts first on PATH before it runs "sh".
        { "a sh written where husky 9's runner puts its PATH first", [](Projects& p) { husky9(p); }, none,
            [](const Projects& p) {
                return std::vector { "mkdir -p '" + (p.grant / "web/node_modules/.bin").string() + "' && "
                    + p.plant("web/node_modules/.bin/sh") };
            },
            huskyCommit },
        { "npm install of local packages in a husky 9 repository, one with a bin named sh",
            [](Projects& p) {
                husky9(p);
                std::ofstream(p.grant / "web/package.json") << "{\"name\":\"web\",\"version\":\"1.0.0\"}";
                localPackage(p, p.grant / "web/tools/lint-tool", "lint-tool");
                localPackage(p, p.grant / "web/tools/shell-kit", "sh");
            },
            none,
            [](const Projects& p) {
                return std::vector<std::string> { "cd '" + (p.grant / "web").string()
                    + "' && npm install --offline --no-audit --no-fund --no-update-notifier --cache '"
                    + (p.grant / ".npm-cache").string() + "' ./tools/lint-tool ./tools/shell-kit" };
            },
            [](Projects& p) {
                EXPECT_TRUE(fs::is_symlink(p.grant / "web/node_modules/.bin/lint-tool"));
                EXPECT_FALSE(fs::exists(fs::symlink_status(p.grant / "web/node_modules/.bin/sh")));
                huskyCommit(p);
            } },
        // A folder the configuration names that is not there when the run starts: husky 9's runners
        // before the first `npm install`.
        { "husky 9's runner folder made by a command, with a hook in it",
            [](Projects& p) {
                makeRepository(p.grant / "web");
                p.userScript(p.grant / "web/.husky/pre-commit");
                git(p.grant / "web", { "config", "core.hooksPath", ".husky/_" });
            },
            none,
            [](const Projects& p) {
                return std::vector { "mkdir -p '" + (p.grant / "web/.husky/_").string() + "' && "
                    + p.plant("web/.husky/_/pre-commit") };
            },
            [](Projects& p) { p.commitSucceeds("web"); } },
    };
}

}

class ClaudeReplyGitSurfacesRealCLI : public test::RealCLIRow { };

TEST_P(ClaudeReplyGitSurfacesRealCLI, NothingACommandWritesRunsInTheUsersGit)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    const Surface surface = surfaces().at(GetParam());
    SCOPED_TRACE(surface.name);
    Projects projects;
    projects.world.openGates();
    projects.world.start();
    surface.prepare(projects);
    const auto outside = projects.outsideGrant();
    if (auto earlier = surface.earlier(projects); !earlier.empty())
        projects.run(earlier, "ios-flood");
    projects.run(surface.commands(projects), "ios-1");
    if (surface.said) {
        EXPECT_NE(projects.world.model->requestLog().find(surface.said), std::string::npos);
    }
    EXPECT_EQ(projects.outsideGrant(&outside), outside);
    surface.usersGit(projects);
    EXPECT_FALSE(fs::exists(projects.ran));
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitSurfacesRealCLI, ::testing::Range<std::size_t>(0, surfaces().size()));
