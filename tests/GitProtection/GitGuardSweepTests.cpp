// What the guard's sweep at a run's end finds among every Git folder of the places: one it noted at
// another name is compared with what was noted, one nobody noted is judged against an empty repository.
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utility>

using namespace vellumar;
using test::existsAt;
using test::git;
using test::write;
namespace fs = std::filesystem;

namespace {

const auto kNow = std::chrono::system_clock::from_time_t(1'796'000'000); // 2026-11-30T00:53:20Z
constexpr const char* kRefused = ".refused-20261130T005320Z";
const std::string kPlanted = "#!/bin/sh\ntouch /tmp/ran\n";
const std::string kMonitor = "touch /tmp/ran; false";

bool configHolds(const fs::path& gitFolder, const std::string& text)
{
    return test::readFile(gitFolder / "config").find(text) != std::string::npos;
}

// A committed repository at "<root>/project" with a tracked "src/", in the place "<root>".
struct Scene {
    test::TemporaryHome home;
    fs::path root = home.root;
    fs::path project = root / "project";
    // A folder outside the place.
    test::TemporaryFolder outside;

    Scene()
    {
        write(project / "src/a.txt", "a\n");
        git(project, { "init", "-q", "-b", "main" });
        git(project, { "add", "src" });
        git(project, { "commit", "-q", "-m", "x" });
    }

    ~Scene() { GitGuard::forgetKept(keptByAWatch); }

    GitGuard guard(const std::vector<std::string>& workTrees) const
    {
        std::vector<GuardedRepository> repositories { { project / ".git", project } };
        for (const auto& workTree : workTrees)
            repositories.push_back({ root / workTree / ".git", root / workTree });
        return GitGuard(repositories, {}, {}, options());
    }

    // Another run of this process in the same place, noting the Git folder `gitFolder` alone (a bare
    // repository's, or a work tree's ".git"), until the scene ends.
    GitGuard& anotherRun(const std::string& gitFolder) const
    {
        const fs::path folder = root / gitFolder;
        const std::optional<fs::path> workTree
            = folder.filename() == ".git" ? std::optional(folder.parent_path()) : std::nullopt;
        return *others.emplace_back(
            std::make_unique<GitGuard>(std::vector<GuardedRepository> { { folder, workTree } },
                std::vector<fs::path> {}, std::vector<fs::path> {}, options()));
    }

    GitGuard::Options options() const
    {
        return { .places = { root },
            .liveRuns = home.data,
            .settings = GitCountedSettings::gitReaderForThisProcess(),
            .clock = [] { return kNow; } };
    }

    mutable std::vector<std::unique_ptr<GitGuard>> others;
    // The keys of the units a watch kept after another run ended.
    mutable std::vector<fs::path> keptByAWatch;
};

// As an unprivileged user, in the place "/work": a repository with a hook inside a folder whose owner
// then took every permission from it, made "during" the run or "before" it, or whose own "hooks" folder
// its owner made 0333 during the run. Says whether the run's end moved the hook aside, and the mode after
// it of the folder whose permission was taken.
std::string plantBehindAFolderMadeUnlistable(const std::string& how)
{
    const fs::path git = "/work/locked/made/.git";
    const bool hooks = how == "hooks";
    const fs::path locked = hooks ? git / "hooks" : git.parent_path().parent_path();
    auto make = [&] {
        for (const char* folder : { "hooks", "objects", "refs" })
            fs::create_directories(git / folder);
        write(git / "HEAD", "ref: refs/heads/main\n");
        write(git / "hooks/pre-commit", kPlanted);
        fs::permissions(locked, hooks ? fs::perms(0333) : fs::perms::none);
    };
    if (how == "before") {
        make();
        // Past the tick of the kernel's clock that stamped the change.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    GitGuard guard(
        {}, {}, {}, { .places = { "/work" }, .liveRuns = "/data", .settings = [](std::string_view) {
                         return std::string();
                     } });
    if (how != "before")
        make();
    guard.sweep();
    struct stat status { };
    ::stat(locked.c_str(), &status);
    fs::permissions(locked, fs::perms::owner_all, fs::perm_options::add);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
    return std::string(fs::exists(git / "hooks/pre-commit") ? "stayed " : "moved ") + mode;
}

[[maybe_unused]] const bool registeredUnlistable
    = test::registerUnprivilegedCheck("plant-behind-unlistable", plantBehindAFolderMadeUnlistable);

// "<nest>/.git/modules" holding this many submodules' Git folders, more than a bound once left unjudged.
constexpr int kModules = 260;

std::string moduleName(int index)
{
    char name[8];
    std::snprintf(name, sizeof name, "m%03d", index);
    return name;
}

}

TEST(GitGuardSweep, JudgesEveryGitFolderOfThePlacesWhereverGitReachesIt)
{
    using Step = std::function<void(const Scene&)>;
    struct Case {
        const char* name;
        Step change; // a command's, during the run
        std::vector<std::string> moved; // what went aside, relative to the place
        std::function<bool(const Scene&)> after = nullptr; // what holds afterwards
        Step prepare = nullptr; // the user's, before the run
        std::vector<std::string> guarded = {}; // work trees the run noted besides the project
        Step beforeSweep = nullptr; // a command's, once the comparisons are done
    };
    auto planted = [](std::string relative) {
        return [relative](const Scene& scene) { write(scene.root / relative, kPlanted); };
    };
    auto monitored = [](std::string workTree) {
        return [workTree](const Scene& scene) {
            git(scene.root / workTree, { "config", "core.fsmonitor", kMonitor });
        };
    };
    auto steps = [](std::vector<Step> all) {
        return [all](const Scene& scene) {
            for (const auto& step : all)
                step(scene);
        };
    };
    auto gitting = [](std::string folder, std::vector<std::string> arguments) {
        return [folder, arguments](const Scene& scene) { git(scene.root / folder, arguments); };
    };
    auto renamed = [](std::string from, std::string to) {
        return [from, to](const Scene& scene) { fs::rename(scene.root / from, scene.root / to); };
    };
    // `folder` a Git folder through a commondir (`named`) to a store without a HEAD of its own.
    auto sentToStore = [](std::string folder, std::string named) {
        return [folder, named](const Scene& scene) {
            for (const char* kept : { "objects", "refs" })
                fs::create_directories(scene.root / "store" / kept);
            write(scene.root / folder / "HEAD", "ref: refs/heads/main\n");
            write(scene.root / folder / "commondir", named);
        };
    };
    // A FIFO in place of what is at `relative`, as `mkfifo` makes one.
    auto fifo = [](std::string relative) {
        return [relative](const Scene& scene) {
            fs::remove(scene.root / relative);
            ASSERT_EQ(::mkfifo((scene.root / relative).c_str(), 0644), 0) << relative;
        };
    };
    auto linked = [](std::string target, std::string relative) {
        return [target, relative](const Scene& scene) { fs::create_symlink(target, scene.root / relative); };
    };
    auto anotherRunNotes = [](std::string gitFolder) {
        return [gitFolder](const Scene& scene) { scene.anotherRun(gitFolder); };
    };
    auto aWatchKeeps = [](std::string gitFolder) {
        return [gitFolder](const Scene& scene) {
            GitGuard& run = scene.anotherRun(gitFolder);
            run.keepNoted({ 0 });
            scene.keptByAWatch.push_back(run.unitKey(0));
            scene.others.pop_back();
        };
    };
    // The user's repository "other" with a setting that runs a program, which the command's everyday
    // setting then rewrites.
    const Step usersOther = steps({ gitting("", { "init", "-q", "other" }), monitored("other") });
    auto otherKept = [](const Scene& scene) { return configHolds(scene.root / "other/.git", "fsmonitor"); };
    std::vector<std::string> everyModuleHook;
    for (int index = 0; index < kModules; ++index)
        everyModuleHook.push_back("nest/.git/modules/" + moduleName(index) + "/hooks/pre-commit");
    const Case cases[] = {
        { "a new bare repository with a hook for the user's push",
            steps({ gitting("", { "init", "-q", "--bare", "mirror.git" }),
                planted("mirror.git/hooks/pre-receive") }),
            { "mirror.git/hooks/pre-receive" } },
        { "a separate Git folder",
            steps({ gitting("project", { "init", "-q", "--separate-git-dir", "../sep.git", "tool" }),
                planted("sep.git/hooks/pre-commit") }),
            { "sep.git/hooks/pre-commit" } },
        { "a .git link to a Git folder",
            steps({ gitting("", { "init", "-q", "store" }), renamed("store/.git", "stash"),
                [](const Scene& scene) {
                    fs::create_directories(scene.project / "emb");
                    fs::create_directory_symlink(scene.root / "stash", scene.project / "emb/.git");
                },
                monitored("project/emb") }),
            { "stash/config" } },
        { "an embedded repository behind a split index",
            steps({ gitting("project/emb", { "init", "-q" }),
                gitting("project/emb", { "commit", "-q", "--allow-empty", "-m", "x" }),
                gitting("project", { "add", "emb" }), gitting("project", { "update-index", "--split-index" }),
                monitored("project/emb") }),
            { "project/emb/.git/config" } },
        { "submodules past a count in a nested repository",
            [](const Scene& scene) {
                for (int index = 0; index < kModules; ++index)
                    write(
                        scene.root / "nest/.git/modules" / moduleName(index) / "hooks/pre-commit", kPlanted);
            },
            everyModuleHook, nullptr,
            [](const Scene& scene) {
                git(scene.root / "nest", { "init", "-q" });
                for (int index = 0; index < kModules; ++index) {
                    const fs::path module = scene.root / "nest/.git/modules" / moduleName(index);
                    write(module / "HEAD", "ref: refs/heads/main\n");
                    fs::create_directories(module / "objects");
                    fs::create_directories(module / "refs");
                }
            },
            { "nest" } },
        { "a repository made in a tracked folder",
            steps({ gitting("project/src", { "init", "-q" }), planted("project/src/.git/hooks/pre-commit") }),
            { "project/src/.git/hooks/pre-commit" } },
        { "HEAD and a commondir to a store in a tracked folder",
            steps({ sentToStore("project/src", "../../store\n"), planted("store/hooks/pre-commit") }),
            { "project/src/commondir", "store/hooks/pre-commit" } },
        { "a store that a commondir from before the run names", planted("store/hooks/pre-commit"),
            { "store/hooks/pre-commit" }, nullptr,
            steps({ sentToStore("plain", "../store\n"),
                [](const Scene& scene) { test::settled(scene.root / "plain/commondir"); } }) },
        { "a linked worktree sent to a new bare repository",
            steps({ gitting("project", { "worktree", "add", "-q", "../wt" }),
                gitting("", { "init", "-q", "--bare", "evil.git" }), planted("evil.git/hooks/pre-commit"),
                [](const Scene& scene) {
                    write(scene.project / ".git/worktrees/wt/commondir", (scene.root / "evil.git").string());
                } }),
            { "evil.git/hooks/pre-commit", "project/.git/worktrees/wt/commondir" },
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/worktrees/wt/commondir") == "../..\n";
            } },
        { "a linked worktree of the run's sent to a new bare repository",
            steps({ gitting("", { "init", "-q", "--bare", "evil.git" }), planted("evil.git/hooks/pre-commit"),
                [](const Scene& scene) {
                    write(scene.project / ".git/worktrees/wt/commondir", (scene.root / "evil.git").string());
                } }),
            { "evil.git/hooks/pre-commit", "project/.git/worktrees/wt/commondir" }, nullptr,
            gitting("project", { "worktree", "add", "-q", "../wt" }) },
        { "a linked worktree's own configuration",
            steps({ gitting("project", { "worktree", "add", "-q", "../wt" }),
                gitting("project", { "config", "extensions.worktreeConfig", "true" }),
                gitting("wt", { "config", "--worktree", "core.fsmonitor", kMonitor }) }),
            { "project/.git/worktrees/wt/config.worktree" } },
        { "a new repository in a plain folder",
            steps({ gitting("plain/repo", { "init", "-q" }), planted("plain/repo/.git/hooks/post-checkout"),
                monitored("plain/repo") }),
            { "plain/repo/.git/config", "plain/repo/.git/hooks/post-checkout" } },
        { "a repository renamed, then planted in",
            steps({ renamed("project", "project-v2"), planted("project-v2/.git/hooks/pre-commit"),
                monitored("project-v2") }),
            { "project-v2/.git/config", "project-v2/.git/hooks/pre-commit" },
            [](const Scene& scene) {
                return configHolds(scene.root / "project-v2/.git", "[core]")
                    && !configHolds(scene.root / "project-v2/.git", "fsmonitor");
            } },
        { "the folder above a repository renamed",
            steps({ renamed("group", "team"), planted("team/app/.git/hooks/pre-commit") }),
            { "team/app/.git/hooks/pre-commit" }, nullptr, gitting("group/app", { "init", "-q" }),
            { "group/app" } },
        { "a Git folder renamed in its work tree",
            steps({ renamed("project/.git", "project/.git-old"),
                planted("project/.git-old/hooks/pre-commit") }),
            { "project/.git-old/hooks/pre-commit" } },
        { "a repository another run first noted after this one began",
            steps({ gitting("", { "init", "-q", "--bare", "mirror.git" }),
                planted("mirror.git/hooks/pre-receive"), anotherRunNotes("mirror.git") }),
            { "mirror.git/hooks/pre-receive" } },
        { "a Git folder the guard moved aside, renamed",
            steps({ renamed("project/.git", "project/.git-old"), gitting("project", { "init", "-q" }),
                planted("project/.git/hooks/pre-commit") }),
            { "project/.git" }, nullptr, nullptr, {},
            [](const Scene& scene) {
                for (const auto& name : test::namesIn(scene.project)) {
                    if (name.starts_with(".git.refused-"))
                        fs::rename(scene.project / name, scene.root / "stash");
                }
            } },
        // Ordinary work keeps what it made; where another compares a repository known before the run,
        // the user's own settings there are not judged as a new repository's.
        { "a repository another run noted before this one began",
            gitting("other", { "config", "user.name", "Bot" }), {}, otherKept,
            steps({ usersOther, anotherRunNotes("other/.git") }) },
        { "a repository a watch kept after another run", gitting("other", { "config", "user.name", "Bot" }),
            {}, otherKept, steps({ usersOther, aWatchKeeps("other/.git") }) },
        { "a new repository's commits, refs and everyday settings",
            steps({ gitting("fresh", { "init", "-q", "-b", "main" }),
                gitting("fresh", { "commit", "-q", "--allow-empty", "-m", "x" }),
                gitting("fresh", { "config", "user.name", "Bot" }),
                [](const Scene& scene) {
                    git(scene.root / "fresh", { "remote", "add", "origin", scene.project.string() });
                } }),
            {},
            [](const Scene& scene) {
                return configHolds(scene.root / "fresh/.git", "name = Bot")
                    && configHolds(scene.root / "fresh/.git", "[remote \"origin\"]")
                    && existsAt(scene.root / "fresh/.git/refs/heads/main");
            } },
        { "a linked worktree and a commit there",
            steps({ gitting("project", { "worktree", "add", "-q", "../wt" }),
                gitting("wt", { "commit", "-q", "--allow-empty", "-m", "y" }) }),
            {}, [](const Scene& scene) { return existsAt(scene.project / ".git/worktrees/wt/commondir"); } },
        { "a clone and a bare mirror of the project",
            [](const Scene& scene) {
                git(scene.root, { "clone", "-q", scene.project.string(), "copy" });
                git(scene.root, { "clone", "-q", "--bare", scene.project.string(), "mirror.git" });
            },
            {} },
        { "what Git would wait on anywhere in the user's Git folder, and a link Git does not write",
            steps({ fifo("project/.git/index"), fifo("project/.git/refs/heads/main"),
                fifo("project/.git/objects/pack/pack-0.pack"),
                linked("/dev/zero", "project/.git/packed-refs") }),
            { "project/.git/index", "project/.git/refs/heads/main", "project/.git/objects/pack/pack-0.pack",
                "project/.git/packed-refs" } },
        { "a FIFO at the HEAD of a repository made in the run, and in a linked worktree's Git folder",
            steps({ gitting("", { "init", "-q", "made" }), fifo("made/.git/HEAD"),
                gitting("project", { "worktree", "add", "-q", "../wt" }),
                fifo("project/.git/worktrees/wt/index") }),
            { "made/.git/HEAD", "project/.git/worktrees/wt/index" } },
        { "a symbolic ref Git once wrote, and a FIFO the user made before the run, stay",
            linked("refs/heads/main", "project/.git/ORIG_HEAD"), {}, nullptr,
            steps({ fifo("project/.git/FETCH_HEAD"),
                [](const Scene& scene) { test::settled(scene.project / ".git/FETCH_HEAD"); } }) },
        { "a repository nobody noted keeps what the user made before", [](const Scene&) {}, {}, nullptr,
            [](const Scene& scene) {
                git(scene.root / "old", { "init", "-q" });
                git(scene.root / "old", { "config", "core.fsmonitor", kMonitor });
                write(scene.root / "old/.git/hooks/pre-commit", kPlanted);
                test::settled(scene.root / "old/.git/hooks/pre-commit");
            } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        if (testCase.prepare)
            testCase.prepare(scene);
        GitGuard guard = scene.guard(testCase.guarded);
        testCase.change(scene);
        auto moved = guard.compareAll();
        if (testCase.beforeSweep)
            testCase.beforeSweep(scene);
        auto swept = guard.sweep();
        moved.insert(moved.end(), swept.begin(), swept.end());

        std::vector<fs::path> paths;
        // Told by where each went as it went, whatever was renamed since.
        for (const auto& change : moved)
            paths.push_back(test::withoutRandomPart(change.path));
        std::vector<fs::path> expected;
        for (const auto& relative : testCase.moved)
            expected.push_back(scene.root / (relative + kRefused));
        std::sort(paths.begin(), paths.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(paths, expected);
        if (testCase.after) {
            EXPECT_TRUE(testCase.after(scene));
        }
        EXPECT_TRUE(guard.compareAll().empty());
        EXPECT_TRUE(guard.sweep().empty());
    }
}

// Where the run's end has spent the time it judges in, what it had not come to goes aside whole and
// unread: a new repository's hooks and configuration; of a unit, what changed while a command could write,
// what was noted put back, an everyday setting too, which a comparison would have kept.
TEST(GitGuardSweep, WhatTheRunsEndHadNoTimeToJudgeGoesAsideWhole)
{
    struct Case {
        const char* name;
        std::function<void(const Scene&)> act;
        std::vector<std::string> aside;
        // The user's own, before the run.
        std::function<void(const Scene&)> before = [](const Scene&) {};
        // How many log lines say there was nothing at a name: only where the run noted so.
        std::size_t toldNoneWasThere = 0;
        // What the user's Git does there afterwards.
        std::function<void(const Scene&)> after = [](const Scene&) {};
    };
    const Case cases[] = {
        { "a new repository and a unit's hook",
            [](const Scene& scene) {
                git(scene.root, { "init", "-q", "made" });
                write(scene.root / "made/.git/hooks/pre-commit", kPlanted);
                write(scene.project / ".git/hooks/pre-commit", kPlanted);
            },
            { "made/.git/config", "made/.git/hooks", "project/.git/hooks/pre-commit" }, [](const Scene&) {},
            1 },
        { "a unit's everyday setting",
            [](const Scene& scene) {
                git(scene.project, { "config", "user.name", "Bot" });
            },
            { "project/.git/config" } },
        // What the hooks would find there is not judged: the hooks that would search it go aside instead.
        { "a program in a folder the user's hook puts first on PATH",
            [](const Scene& scene) { write(scene.project / "bin/git", kPlanted); }, { "project/.git/hooks" },
            [](const Scene& scene) {
                write(scene.project / ".git/hooks/pre-commit",
                    "#!/bin/sh\nPATH=\"bin:$PATH\"\ngit diff --quiet\n");
            } },
        // Those hooks lie outside the place, where nothing goes aside: what sends Git to them does.
        { "a program in a folder put first by the hooks of a Git folder outside the place",
            [](const Scene& scene) { write(scene.root / "tool/bin/git", kPlanted); }, { "tool/.git" },
            [](const Scene& scene) {
                git(scene.root,
                    { "init", "-q", "--separate-git-dir", (scene.outside / "tool.git").string(), "tool" });
                write(scene.outside / "tool.git/hooks/pre-commit",
                    "#!/bin/sh\nPATH=\"bin:$PATH\"\ngit diff --quiet\n");
            } },
        // Husky's runners go aside; the user's scripts they would run stay, as no runner is left to run them.
        { "a program in a folder a hook manager's runners put first on PATH",
            [](const Scene& scene) { write(scene.project / "node_modules/.bin/git", kPlanted); },
            { "project/.husky/_" },
            [](const Scene& scene) {
                git(scene.project, { "config", "core.hooksPath", ".husky/_" });
                write(
                    scene.project / ".husky/_/pre-commit", "#!/usr/bin/env sh\n. \"$(dirname \"$0\")/h\"\n");
                write(scene.project / ".husky/_/h",
                    "#!/usr/bin/env sh\nn=$(basename \"$0\")\ns=$(dirname \"$(dirname \"$0\")\")/$n\n"
                    "export PATH=\"node_modules/.bin:$PATH\"\nsh -e \"$s\" \"$@\"\n");
                write(scene.project / ".husky/pre-commit", "npm test\n");
            } },
        // Those hooks lie outside the place and a ".git" folder leads to them: its configuration goes aside,
        // the same file without core.hooksPath in its place, and the user's commit runs none of them.
        { "a program in a folder put first by hooks outside the place that core.hooksPath names",
            [](const Scene& scene) { write(scene.project / "tools/git", "#!/bin/sh\ntouch ../ran\n"); },
            { "project/.git/config" },
            [](const Scene& scene) {
                git(scene.project, { "config", "core.hooksPath", (scene.outside / "hooks").string() });
                write(scene.outside / "hooks/pre-commit",
                    "#!/bin/sh\nPATH=\"tools:$PATH\"\ngit diff --quiet\n");
            },
            0,
            [](const Scene& scene) {
                EXPECT_FALSE(configHolds(scene.project / ".git", "hooksPath"));
                git(scene.project, { "commit", "-q", "--allow-empty", "-m", "after" });
                EXPECT_FALSE(existsAt(scene.root / "ran"));
            } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        testCase.before(scene);
        GitGuard guard = scene.guard({});
        test::CapturedLog log;
        testCase.act(scene);
        const auto bound
            = std::exchange(GitGuardSweep::judgingBound, std::chrono::steady_clock::duration::zero());
        guard.endBegins();
        auto moved = guard.compareAll();
        auto swept = guard.sweep();
        GitGuardSweep::judgingBound = bound;
        moved.insert(moved.end(), swept.begin(), swept.end());
        std::vector<fs::path> paths;
        for (const auto& change : moved)
            paths.push_back(test::withoutRandomPart(change.path));
        std::sort(paths.begin(), paths.end());
        std::vector<fs::path> expected;
        for (const auto& path : testCase.aside)
            expected.push_back(scene.root / (path + kRefused));
        EXPECT_EQ(paths, expected);
        EXPECT_EQ(
            std::ranges::count_if(log.lines(),
                [](const std::string& line) { return line.find("there was none") != std::string::npos; }),
            testCase.toldNoneWasThere);
        // The unit's configuration is as noted.
        EXPECT_TRUE(configHolds(scene.project / ".git", "[core]"));
        EXPECT_FALSE(configHolds(scene.project / ".git", "Bot"));
        testCase.after(scene);
    }
}

// Where the walk of the places has spent the time it lists every folder in, a folder made while a command
// could write that it had not listed goes aside whole, unread, at a run's end and at the start after a kill;
// the user's own folders are still listed, those a command wrote in too.
TEST(GitGuardSweep, WhatTheWalkHadNoTimeToListGoesAsideWhole)
{
    struct Case {
        const char* name;
        std::function<void(const Scene&)> act;
        std::vector<std::string> aside;
        bool killed = false;
    };
    auto deepRepository = [](const Scene& scene) {
        fs::create_directories(scene.root / "made/a/b");
        git(scene.root / "made/a/b", { "init", "-q", "repo" });
        write(scene.root / "made/a/b/repo/.git/hooks/pre-commit", kPlanted);
    };
    const Case cases[] = {
        { "a new repository deep in new folders", deepRepository, { "made" } },
        { "new folders in the user's work tree",
            [](const Scene& scene) {
                write(scene.project / "src/gen/deep/x.txt", "x\n");
                write(scene.project / "src/b.txt", "b\n");
            },
            { "project/src/gen" } },
        { "a new repository deep in new folders, the run killed", deepRepository, { "made" }, true },
        { "a submodule's Git folder made in the user's",
            [](const Scene& scene) {
                fs::create_directories(scene.project / ".git/modules");
                git(scene.project / ".git/modules", { "init", "-q", "--bare", "sub" });
                write(scene.project / ".git/modules/sub/hooks/pre-commit", kPlanted);
            },
            { "project/.git/modules/sub" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        const auto bound
            = std::exchange(GitGuardSweep::listingBound, std::chrono::steady_clock::duration::zero());
        if (testCase.killed) {
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                GitGuard guard = scene.guard({});
                testCase.act(scene);
                ::kill(::getpid(), SIGKILL);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            GitGuard::restoreLeftBehind(
                scene.home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });
        } else {
            GitGuard guard = scene.guard({});
            testCase.act(scene);
            guard.sweep();
        }
        GitGuardSweep::listingBound = bound;
        for (const auto& path : testCase.aside) {
            EXPECT_FALSE(existsAt(scene.root / path)) << path;
            EXPECT_TRUE(existsAt(test::withRandomPart(scene.root / (path + kRefused)))) << path;
        }
        // The user's folders stay, and the user's Git works in them.
        EXPECT_TRUE(existsAt(scene.project / "src/a.txt"));
        git(scene.project, { "commit", "-q", "--allow-empty", "-m", "after" });
    }
}

// A new repository's hooks named below "~" are read where the user's Git finds them, in the home of the
// environment the user's hooks run with, not this program's own: there a hook puts a folder first on PATH,
// and a program a command made in it, named as one of the user's, goes aside.
TEST(GitGuardSweep, HooksBelowTheUsersHomeAreReadThere)
{
    Scene scene;
    const fs::path home = scene.root / "user";
    const char* searchPath = std::getenv("PATH");
    HookSearchPath::readLoginSearchPath(
        { { "HOME", home.string() }, { "SHELL", "/bin/sh" }, { "PATH", searchPath ? searchPath : "" } });
    write(home / "hooks/pre-commit",
        "#!/bin/sh\nPATH=\"node_modules/.bin:$PATH\"\ngit diff --cached --quiet\n");
    fs::permissions(home / "hooks/pre-commit", fs::perms(0755));
    GitGuard guard = scene.guard({});
    git(scene.root, { "init", "-q", "made" });
    git(scene.root / "made", { "config", "core.hooksPath", "~/hooks" });
    write(scene.root / "made/node_modules/.bin/git", kPlanted);
    fs::permissions(scene.root / "made/node_modules/.bin/git", fs::perms(0755));
    guard.sweep();
    EXPECT_FALSE(existsAt(scene.root / "made/node_modules/.bin/git"));
}

// As an ordinary user, whom folder permissions bind: a folder a command took every permission from hides
// no Git folder from the run's end, nor a new Git folder's hooks folder it may not list any hook, and one
// the user had locked before the run is left as it was.
TEST(GitGuardSweep, AFolderMadeUnlistableDuringTheRunHidesNoGitFolder)
{
    for (const auto& [how, expected] :
        { std::pair { "during", "moved 0700" }, { "before", "stayed 0000" }, { "hooks", "moved 0733" } }) {
        SCOPED_TRACE(how);
        test::TemporaryFolder temporary;
        const fs::path root = test::sharedRoot(temporary.path(), { "work", "data" });
        EXPECT_EQ(test::runUnprivileged("plant-behind-unlistable", root, how), expected);
    }
}
