// What the guard counts as a change that could make Git run something, what it puts back, and what it
// keeps across runs at once and a kill.
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar;
using test::existsAt;
namespace fs = std::filesystem;

namespace {

const auto kNow = std::chrono::system_clock::from_time_t(1'796'000'000); // 2026-11-30T00:53:20Z
constexpr const char* kRefused = ".refused-20261130T005320Z";

void write(const fs::path& file, const std::string& bytes, fs::perms mode = fs::perms(0755))
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << bytes;
    fs::permissions(file, mode);
}

unsigned modeOf(const fs::path& path)
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::vector<fs::path> pathsOf(const std::vector<GitGuard::MovedChange>& moved)
{
    std::vector<fs::path> paths;
    for (const auto& change : moved)
        paths.push_back(change.path);
    return paths;
}

void git(const fs::path& repository, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), { "git", "-C", repository.string() });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
}

// A repository made by `git init` at "<root>/project", its sample hooks included.
struct Scene {
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    fs::path record = home.data / GitGuard::olderRecordName;
    // A repository beside it that a submodule may be added from, guarded too where a row makes it.
    fs::path library = home.root / "library";

    Scene()
    {
        fs::create_directories(project);
        git(project, { "init", "-q", "-b", "main" });
    }

    GitGuard guard(const std::vector<fs::path>& gitFiles = {}, bool placeholder = false,
        const std::vector<fs::path>& configured = {}, const std::vector<fs::path>& searchedFirst = {}) const
    {
        std::vector<GuardedRepository> repositories { { project / ".git", project, configured,
            searchedFirst } };
        if (fs::exists(library))
            repositories.push_back({ library / ".git", library });
        return GitGuard(repositories, gitFiles,
            placeholder ? std::vector { project / ".git" } : std::vector<fs::path> {},
            { .places = { home.root },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess(),
                .clock = [] { return kNow; } });
    }
};

const std::string kHook = "#!/bin/sh\nexit 0\n";
const std::string kPlanted = "#!/bin/sh\ntouch /tmp/ran\n";

// As an unprivileged user, in "/project" (the place) with its record in "/data": a command's change, then
// a folder given the mode `row` names ("<change> <folder> <mode>", or a hooks folder swapped in). Says
// whether the change went, and whether the folder is its owner's in full again.
std::string changeBehindAMode(const std::string& row)
{
    const fs::path git = "/project/.git";
    write(git / "HEAD", "ref: refs/heads/main\n", fs::perms(0644));
    // Written as Git lists settings, and read as it is: no git runs inside the peer's root.
    const std::string settings = std::string("user.name\nU") + '\0';
    write(git / "config", settings, fs::perms(0644));
    write(git / "hooks/pre-push", kHook);
    GitGuard guard({ { git, "/project" } }, {}, {},
        { .places = { "/project" }, .liveRuns = "/data", .settings = [](std::string_view bytes) {
             return std::string(bytes);
         } });
    std::istringstream words(row);
    std::string change;
    std::string folder;
    std::string mode;
    words >> change >> folder >> mode;
    if (change == "planted") {
        write(git / "hooks/pre-commit", kPlanted);
    } else if (change == "rewritten") {
        write(git / "hooks/pre-push", kPlanted);
    } else if (change == "configured") {
        std::ofstream(git / "config", std::ios::app) << "core.fsmonitor\ntouch /tmp/ran" << '\0';
    } else {
        write(git / "hooks-new/pre-commit", kPlanted);
        fs::permissions(git / "hooks-new", fs::perms(0555));
        fs::rename(git / "hooks", git / "hooks-old");
        fs::rename(git / "hooks-new", git / "hooks");
    }
    const std::optional<fs::path> changed
        = folder.empty() ? std::nullopt : std::optional(fs::path("/project") / folder);
    if (changed)
        fs::permissions(*changed, fs::perms(std::stoul(mode, nullptr, 8)));
    guard.compareAll();
    const bool owners = changed && (modeOf(*changed) & S_IRWXU) == S_IRWXU;
    if (changed)
        fs::permissions(*changed, fs::perms::owner_all, fs::perm_options::add);
    const bool undone = change == "rewritten" ? test::readFile(git / "hooks/pre-push") == kHook
        : change == "configured"              ? test::readFile(git / "config") == settings
                                              : !existsAt(git / "hooks/pre-commit");
    return std::string(undone ? "undone" : "stayed") + (owners ? " owner's" : "");
}

[[maybe_unused]] const bool registered = test::registerUnprivilegedCheck("behind a mode", changeBehindAMode);

}

TEST(GitGuard, PutsBackOnlyWhatCouldMakeGitRunSomething)
{
    using Step = std::function<void(const Scene&)>;
    struct Case {
        const char* name;
        Step prepare; // the user's, before the run
        Step change; // during the run
        const char* moved; // the path whose change goes aside, relative to the project; none when kept
        std::function<bool(const Scene&)> after; // what holds afterwards
        const char* logged = nullptr; // what the log line names as having counted, where it matters
        std::vector<fs::path> gitFiles = {};
        bool placeholder = false; // the Git folder's "commondir" is its placeholder's
        bool replaced = false; // `moved` names a file replaced in place, not moved aside
        std::vector<fs::path> configured = {}; // what Git's configuration names, relative to the project
        std::vector<fs::path> searchedFirst = {}; // what a hook puts first on PATH, relative to the project
    };
    const Step none = [](const Scene&) {};
    auto holds = [](std::string relative, std::optional<std::string> bytes) {
        return [relative, bytes](const Scene& scene) {
            fs::path file = scene.project / relative;
            return bytes ? existsAt(file) && test::readFile(file) == *bytes : !existsAt(file);
        };
    };
    auto configHolds = [](std::string text) {
        return [text](const Scene& scene) {
            return test::readFile(scene.project / ".git/config").find(text) != std::string::npos;
        };
    };
    // A new repository's configuration without what counted, in place of the one that went aside.
    auto keptWithout = [](std::string relative, std::string text) {
        return [relative, text](const Scene& scene) {
            const std::string kept = test::readFile(scene.project / relative);
            return kept.find("[core]") != std::string::npos && kept.find(text) == std::string::npos;
        };
    };
    auto lacks = [](std::string text) {
        return [text](const Scene& scene) {
            return test::readFile(scene.project / ".git/config").find(text) == std::string::npos;
        };
    };
    auto writing = [](std::string relative, std::string bytes, fs::perms mode = fs::perms(0755)) {
        return [=](const Scene& scene) { write(scene.project / relative, bytes, mode); };
    };
    auto gitting = [](std::vector<std::string> arguments) {
        return [arguments](const Scene& scene) { git(scene.project, arguments); };
    };
    // A repository with a commit, made by the user before the run or by a command during it.
    auto committed = [](const fs::path& repository) {
        git(repository.parent_path(), { "init", "-q", repository.string() });
        git(repository,
            { "-c", "user.name=U", "-c", "user.email=u@example.com", "commit", "-q", "--allow-empty", "-m",
                "x" });
    };
    const Step library = [committed](const Scene& scene) { committed(scene.library); };
    // A repository that comes inside the project during the run, as a submodule of the library or a
    // gitlink, then `more`.
    auto inner = [committed](bool submodule, std::vector<std::string> more) {
        return [=](const Scene& scene) {
            if (submodule) {
                git(scene.project,
                    { "-c", "protocol.file.allow=always", "submodule", "add", "-q", scene.library.string(),
                        "lib" });
            } else {
                committed(scene.project / "emb");
                git(scene.project, { "add", "emb" });
            }
            if (!more.empty())
                git(scene.project / (submodule ? "lib" : "emb"), more);
        };
    };
    const Case cases[] = {
        // Hooks.
        { "a new hook", none, writing(".git/hooks/pre-commit", kPlanted), ".git/hooks/pre-commit",
            holds(".git/hooks/pre-commit", std::nullopt), "the hook pre-commit was added" },
        { "a changed hook", writing(".git/hooks/pre-push", kHook), writing(".git/hooks/pre-push", kPlanted),
            ".git/hooks/pre-push", holds(".git/hooks/pre-push", kHook) },
        { "a hook made executable", writing(".git/hooks/post-merge", kHook, fs::perms(0644)),
            [](const Scene& scene) {
                fs::permissions(scene.project / ".git/hooks/post-merge", fs::perms(0755));
            },
            ".git/hooks/post-merge",
            [](const Scene& scene) { return modeOf(scene.project / ".git/hooks/post-merge") == 0644u; } },
        { "a sample", none, writing(".git/hooks/pre-commit.sample", kPlanted), nullptr,
            holds(".git/hooks/pre-commit.sample", kPlanted) },
        { "another name among the hooks", none, writing(".git/hooks/tool.sh", kPlanted), nullptr,
            holds(".git/hooks/tool.sh", kPlanted) },
        { "a hook link's target rewritten",
            [](const Scene& scene) {
                write(scene.project / "scripts/pre-commit.sh", kHook);
                fs::create_symlink("../../scripts/pre-commit.sh", scene.project / ".git/hooks/pre-commit");
            },
            writing("scripts/pre-commit.sh", kPlanted), "scripts/pre-commit.sh",
            holds("scripts/pre-commit.sh", kHook) },
        { "a hard-linked hook rewritten through its other name",
            [](const Scene& scene) {
                write(scene.project / "scripts/pre-commit.sh", kHook);
                fs::create_hard_link(
                    scene.project / "scripts/pre-commit.sh", scene.project / ".git/hooks/pre-commit");
            },
            [](const Scene& scene) { std::ofstream(scene.project / "scripts/pre-commit.sh") << kPlanted; },
            ".git/hooks/pre-commit",
            [](const Scene& scene) {
                // The user's script keeps what was written and its mode.
                return test::readFile(scene.project / ".git/hooks/pre-commit") == kHook
                    && test::readFile(scene.project / "scripts/pre-commit.sh") == kPlanted
                    && modeOf(scene.project / "scripts/pre-commit.sh") == 0755u;
            },
            nullptr, {}, false, true },
        { "a new hook hard-linked to a work-tree script", writing("scripts/build.sh", kHook),
            [](const Scene& scene) {
                fs::create_hard_link(
                    scene.project / "scripts/build.sh", scene.project / ".git/hooks/pre-commit");
            },
            ".git/hooks/pre-commit",
            [](const Scene& scene) {
                return !existsAt(scene.project / ".git/hooks/pre-commit")
                    && modeOf(scene.project / "scripts/build.sh") == 0755u;
            },
            nullptr, {}, false, true },
        // Configuration.
        { "a program setting", none, gitting({ "config", "core.fsmonitor", "touch /tmp/ran; false" }),
            ".git/config",
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/config").find("fsmonitor") == std::string::npos;
            },
            "core.fsmonitor was set (can make Git run a program)" },
        { "a filter's process", none, gitting({ "config", "filter.lfs.process", "./tool" }), ".git/config",
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/config").find("lfs") == std::string::npos;
            } },
        { "an include", none, gitting({ "config", "include.path", "../shared.cfg" }), ".git/config",
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/config").find("include") == std::string::npos;
            } },
        { "a conditional include", none,
            gitting({ "config", "includeIf.onbranch:main.path", "../shared.cfg" }), ".git/config",
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/config").find("include") == std::string::npos;
            } },
        { "a hooks folder", none, gitting({ "config", "core.hooksPath", ".husky" }), ".git/config",
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/config").find("hooksPath") == std::string::npos;
            } },
        { "a program setting in the worktree's configuration", none,
            writing(".git/config.worktree", "[core]\n\tpager = touch /tmp/ran\n", fs::perms(0644)),
            ".git/config.worktree", holds(".git/config.worktree", std::nullopt) },
        { "a configuration Git cannot read", none, writing(".git/config", "[core\n", fs::perms(0644)),
            ".git/config", configHolds("repositoryformatversion") },
        { "git remote add", none, gitting({ "remote", "add", "origin", "https://example.com/x.git" }),
            nullptr, configHolds("[remote \"origin\"]") },
        { "git remote add in a configuration past a hook's copy bound",
            [](const Scene& scene) {
                std::ofstream(scene.project / ".git/config", std::ios::app)
                    << "# " << std::string(GitNotedFiles::maxCopiedBytes, 'x') << "\n";
            },
            gitting({ "remote", "add", "origin", "https://example.com/x.git" }), nullptr,
            configHolds("[remote \"origin\"]") },
        { "git config user.email", none, gitting({ "config", "user.email", "bot@example.com" }), nullptr,
            configHolds("bot@example.com") },
        { "the upstream of git push -u", gitting({ "remote", "add", "origin", "https://example.com/x.git" }),
            [](const Scene& scene) {
                git(scene.project, { "config", "branch.main.remote", "origin" });
                git(scene.project, { "config", "branch.main.merge", "refs/heads/main" });
            },
            nullptr, configHolds("merge = refs/heads/main") },
        { "git submodule init", none,
            [](const Scene& scene) {
                git(scene.project, { "config", "submodule.lib.url", "https://example.com/lib.git" });
                git(scene.project, { "config", "submodule.lib.active", "true" });
            },
            nullptr, configHolds("[submodule \"lib\"]") },
        // Every setting off the everyday list counts, and an everyday one whose value is no plain data.
        { "a work tree elsewhere", none, gitting({ "config", "core.worktree", "../elsewhere" }),
            ".git/config", lacks("worktree"), "core.worktree was set (can make Git run a program)" },
        { "a setting no list names", none, gitting({ "config", "protocol.ext.allow", "always" }),
            ".git/config", lacks("protocol"), "protocol.ext.allow was set (can make Git run a program)" },
        { "a bare repository no longer", none, gitting({ "config", "core.bare", "true" }), ".git/config",
            lacks("bare = true"), "core.bare was set (can make Git run a program)" },
        { "a remote URL naming a transport helper", none,
            gitting({ "remote", "add", "origin", "ext::sh -c touch% /tmp/ran" }), ".git/config",
            lacks("ext::"), "remote.origin.url was set (can make Git run a program)" },
        { "a remote URL whose scheme names a helper", none,
            gitting({ "remote", "add", "origin", "evil://example.com/x" }), ".git/config", lacks("evil") },
        { "a remote URL read as an option", none,
            writing(".git/config", "[remote \"origin\"]\n\turl = -oProxyCommand=sh\n", fs::perms(0644)),
            ".git/config", lacks("ProxyCommand") },
        { "an upstream remote naming a helper", none, gitting({ "config", "branch.main.remote", "fd::7" }),
            ".git/config", lacks("fd::") },
        { "a key with control bytes, cut in the log line", none,
            writing(".git/config", "[url \"x\x1b[31m\"]\n\tinsteadOf = y\n", fs::perms(0644)), ".git/config",
            lacks("insteadOf"),
            "core.bare was removed (can make Git run a program), url.x?[31m.insteadof was set (changes where "
            "Git connects or whom it trusts)" },
        { "a boolean that is no boolean", none, gitting({ "config", "submodule.lib.active", "!sh" }),
            ".git/config", lacks("active") },
        // What sends Git to another Git folder.
        { "a new commondir", none, writing(".git/commondir", "../.g2\n", fs::perms(0644)), ".git/commondir",
            holds(".git/commondir", std::nullopt) },
        { "a commondir rewritten in a linked worktree's folder",
            [](const Scene& scene) {
                write(scene.project / ".git/worktrees/linked/HEAD", "ref: refs/heads/x\n");
                write(scene.project / ".git/worktrees/linked/gitdir",
                    (scene.project / "linked/.git").string() + "\n");
                write(scene.project / ".git/worktrees/linked/commondir", "../..\n", fs::perms(0644));
            },
            writing(".git/worktrees/linked/commondir", "../../../.g2\n", fs::perms(0644)),
            ".git/worktrees/linked/commondir", holds(".git/worktrees/linked/commondir", "../..\n") },
        { "a commondir removed",
            [](const Scene& scene) {
                write(scene.project / ".git/modules/lib/HEAD", "ref: refs/heads/x\n");
                write(scene.project / ".git/modules/lib/commondir", "../..\n", fs::perms(0644));
            },
            [](const Scene& scene) { fs::remove(scene.project / ".git/modules/lib/commondir"); }, nullptr,
            holds(".git/modules/lib/commondir", std::nullopt) },
        { "a commondir that is a link", none,
            [](const Scene& scene) { fs::create_symlink(scene.home.root, scene.project / ".git/commondir"); },
            ".git/commondir", holds(".git/commondir", std::nullopt) },
        // Another run's placeholder names its own folder, coming before or after this guard notes it.
        { "a commondir naming its own folder", none, writing(".git/commondir", "../.git\n", fs::perms(0444)),
            nullptr, holds(".git/commondir", "../.git\n") },
        { "a commondir rewritten over one naming its own folder",
            writing(".git/commondir", "../.git\n", fs::perms(0644)),
            writing(".git/commondir", "../.g2\n", fs::perms(0644)), ".git/commondir",
            holds(".git/commondir", std::nullopt) },
        { "the commondir a placeholder holds", none, writing(".git/commondir", "../.g2\n", fs::perms(0644)),
            nullptr, holds(".git/commondir", "../.g2\n"), nullptr, {}, true },
        { "a submodule's .git file sent elsewhere",
            writing("sub/.git", "gitdir: ../.git/modules/sub\n", fs::perms(0644)),
            writing("sub/.git", "gitdir: ../.sub-copy\n", fs::perms(0644)), "sub/.git",
            holds("sub/.git", "gitdir: ../.git/modules/sub\n"), nullptr, { "sub/.git" } },
        // A repository that comes inside the project is judged against an empty one.
        { "a submodule as Git adds it", library, inner(true, {}), nullptr,
            [](const Scene& scene) {
                return test::readFile(scene.project / ".git/modules/lib/config")
                           .find("worktree = ../../../lib")
                    != std::string::npos;
            } },
        { "a submodule's work tree sent outside the project", library,
            inner(true, { "config", "core.worktree", "../../../../elsewhere" }), ".git/modules/lib/config",
            keptWithout(".git/modules/lib/config", "worktree"),
            "core.worktree was set (can make Git run a program)" },
        { "an embedded repository with a hook", none,
            [inner](const Scene& scene) {
                write(scene.project / "emb/.git/hooks/post-index-change", kPlanted);
                inner(false, {})(scene);
            },
            "emb/.git/hooks/post-index-change", holds("emb/.git/hooks/post-index-change", std::nullopt),
            "the hook post-index-change was added" },
        { "an embedded repository whose hooks folder is a link", none,
            [inner](const Scene& scene) {
                inner(false, {})(scene);
                write(scene.home.root / "planted/pre-commit", kPlanted);
                fs::remove_all(scene.project / "emb/.git/hooks");
                fs::create_directory_symlink(scene.home.root / "planted", scene.project / "emb/.git/hooks");
            },
            "emb/.git/hooks", holds("emb/.git/hooks", std::nullopt), "the hooks folder is no folder" },
        { "an embedded repository with a work tree elsewhere", none,
            inner(false, { "config", "core.worktree", "../lib" }), "emb/.git/config",
            keptWithout("emb/.git/config", "worktree"),
            "core.worktree was set (can make Git run a program)" },
        // What the configuration names: husky 9's folder whole, an included file, a program not there yet.
        { "a script in a named folder rewritten", writing(".husky/pre-commit", kHook),
            writing(".husky/pre-commit", kPlanted), ".husky/pre-commit", holds(".husky/pre-commit", kHook),
            nullptr, {}, false, false, { ".husky" } },
        { "a new file in a named folder's folder", writing(".husky/_/h", kHook),
            writing(".husky/_/sh", kPlanted), ".husky/_/sh", holds(".husky/_/sh", std::nullopt), nullptr, {},
            false, false, { ".husky" } },
        { "a new folder in a named folder", writing(".husky/pre-commit", kHook),
            writing(".husky/lib/run.sh", kPlanted), ".husky/lib", holds(".husky/lib/run.sh", std::nullopt),
            nullptr, {}, false, false, { ".husky" } },
        { "an included file rewritten", writing("shared.cfg", "[user]\n\tname = u\n", fs::perms(0644)),
            writing("shared.cfg", "[core]\n\tpager = touch /tmp/ran\n", fs::perms(0644)), "shared.cfg",
            holds("shared.cfg", "[user]\n\tname = u\n"), nullptr, {}, false, false, { "shared.cfg" } },
        { "a named program made", none, writing("tools/monitor", kPlanted), "tools/monitor",
            holds("tools/monitor", std::nullopt), nullptr, {}, false, false, { "tools/monitor" } },
        { "a file beside a named folder", writing(".husky/pre-commit", kHook),
            writing("package.json", "{}", fs::perms(0644)), nullptr, holds("package.json", "{}"), nullptr, {},
            false, false, { ".husky" } },
        // Named but not there when the run starts, as husky 9's ".husky/_" before the first `npm install`.
        { "a hook in a named folder made during the run", writing(".husky/pre-commit", kHook),
            writing(".husky/_/pre-commit", kPlanted), ".husky/_/pre-commit",
            holds(".husky/_/pre-commit", std::nullopt), nullptr, {}, false, false, { ".husky/_" } },
        { "a hook in a named folder made with the folder above it", none,
            writing("tools/hooks/pre-push", kPlanted), "tools/hooks/pre-push",
            holds("tools/hooks/pre-push", std::nullopt), nullptr, {}, false, false, { "tools/hooks" } },
        { "a folder in a named folder made during the run", none, writing(".husky/_/lib/run.sh", kPlanted),
            ".husky/_/lib", holds(".husky/_/lib/run.sh", std::nullopt), nullptr, {}, false, false,
            { ".husky/_" } },
        // A folder a hook puts first on PATH: a name of the user's programs there counts, no other, and
        // nothing beyond a link put on the way is touched.
        { "a program's name and a tool's made where a hook's PATH starts, with its folders", none,
            [&](const Scene& scene) {
                writing("node_modules/.bin/sh", kPlanted)(scene);
                writing("node_modules/.bin/eslint", kPlanted)(scene);
            },
            "node_modules/.bin/sh",
            [&](const Scene& scene) {
                return holds("node_modules/.bin/sh", std::nullopt)(scene)
                    && holds("node_modules/.bin/eslint", kPlanted)(scene);
            },
            nullptr, {}, false, false, {}, { "node_modules/.bin" } },
        { "a program's name rewritten there", writing("node_modules/.bin/git", kHook),
            writing("node_modules/.bin/git", kPlanted), "node_modules/.bin/git",
            holds("node_modules/.bin/git", kHook), nullptr, {}, false, false, {}, { "node_modules/.bin" } },
        { "the folder there swapped for a link", writing("node_modules/.bin/eslint", kHook),
            [&](const Scene& scene) {
                writing("elsewhere/sh", kPlanted)(scene);
                fs::rename(scene.project / "node_modules/.bin", scene.project / "node_modules/.old");
                fs::create_directory_symlink(
                    scene.project / "elsewhere", scene.project / "node_modules/.bin");
            },
            "node_modules/.bin", holds("elsewhere/sh", kPlanted), nullptr, {}, false, false, {},
            { "node_modules/.bin" } },
        { "the folder above it swapped for a link", writing("node_modules/.bin/eslint", kHook),
            [&](const Scene& scene) {
                writing("elsewhere/.bin/sh", kPlanted)(scene);
                fs::rename(scene.project / "node_modules", scene.project / "node_modules.old");
                fs::create_directory_symlink(scene.project / "elsewhere", scene.project / "node_modules");
            },
            "node_modules", holds("elsewhere/.bin/sh", kPlanted), nullptr, {}, false, false, {},
            { "node_modules/.bin" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        testCase.prepare(scene);
        auto inProject = [&](const std::vector<fs::path>& relatives) {
            std::vector<fs::path> paths;
            for (const auto& relative : relatives)
                paths.push_back(scene.project / relative);
            return paths;
        };
        test::CapturedLog log;
        GitGuard guard = scene.guard(inProject(testCase.gitFiles), testCase.placeholder,
            inProject(testCase.configured), inProject(testCase.searchedFirst));
        testCase.change(scene);
        // As at a run's end: a repository that came inside the project is found by the sweep.
        auto moved = guard.compareAll();
        auto swept = guard.sweep();
        moved.insert(moved.end(), swept.begin(), swept.end());

        const fs::path aside = !testCase.moved ? fs::path()
            : testCase.replaced
            ? scene.project / testCase.moved
            : test::withRandomPart(scene.project / (std::string(testCase.moved) + kRefused));
        EXPECT_EQ(pathsOf(moved), testCase.moved ? std::vector { aside } : std::vector<fs::path> {});
        EXPECT_EQ(log.lines().size(), testCase.moved ? 1u : 0u);
        if (testCase.logged && !log.lines().empty()) {
            EXPECT_NE(log.lines().front().find(std::string("(") + testCase.logged + ")"), std::string::npos);
            // The bot is told the same.
            EXPECT_EQ(moved.front().reason, testCase.logged);
        }
        if (testCase.moved && !testCase.replaced
            && fs::symlink_status(aside).type() == fs::file_type::regular) {
            EXPECT_EQ(modeOf(aside) & ~S_IXUSR, 0600u);
        }
        EXPECT_TRUE(testCase.after(scene));
        EXPECT_TRUE(guard.compareAll().empty());
        EXPECT_TRUE(guard.sweep().empty());
    }
}

// Each change of the run is caught, however often, under a name of its own, and a change that does not
// count is what the next one compares with: a program setting after a new remote takes only itself.
TEST(GitGuard, CatchesEveryLaterChangeAgainAndKeepsWhatDidNotCount)
{
    Scene scene;
    GitGuard guard = scene.guard();
    const fs::path commondir = scene.project / ".git/commondir";
    for (const auto& suffix : { "", "-2", "-3" }) {
        const std::string bytes = std::string("../.g") + suffix + "\n";
        write(commondir, bytes);
        const auto moved = pathsOf(guard.compareAll());
        ASSERT_EQ(moved.size(), 1u) << suffix;
        EXPECT_EQ(test::withoutRandomPart(moved[0]), commondir.string() + kRefused);
        EXPECT_EQ(test::readFile(moved[0]), bytes);
    }
    git(scene.project, { "remote", "add", "origin", "https://example.com/x.git" });
    EXPECT_TRUE(guard.compareAll().empty());
    git(scene.project, { "config", "core.pager", "touch /tmp/ran" });
    EXPECT_EQ(guard.compareAll().size(), 1u);
    const std::string config = test::readFile(scene.project / ".git/config");
    EXPECT_NE(config.find("[remote \"origin\"]"), std::string::npos);
    EXPECT_EQ(config.find("pager"), std::string::npos);
}

// A command that writes a second setting while the first is being read: what went aside names both,
// in a repository noted before the run and in one made during it.
TEST(GitGuard, NamesEverySettingOfWhatWentAside)
{
    for (const char* repository : { "project", "fresh" }) {
        SCOPED_TRACE(repository);
        Scene scene;
        const fs::path gitFolder = scene.home.root / repository / ".git";
        auto reader = GitCountedSettings::gitReaderForThisProcess();
        bool written = false;
        GitGuard guard({ { scene.project / ".git", scene.project } }, {}, {},
            { .places = { scene.home.root },
                .liveRuns = scene.home.data,
                .settings =
                    [&](std::string_view bytes) {
                        if (bytes.find("editor") != std::string_view::npos && !std::exchange(written, true))
                            git(gitFolder.parent_path(), { "config", "core.pager", "./page" });
                        return reader(bytes);
                    },
                .clock = [] { return kNow; } });
        git(scene.home.root, { "init", "-q", "fresh" });
        git(gitFolder.parent_path(), { "config", "core.editor", "./edit" });
        auto moved = repository == std::string("project") ? guard.compareAll() : guard.sweep();

        ASSERT_EQ(moved.size(), 1u);
        EXPECT_EQ(moved[0].reason,
            "core.editor was set (can make Git run a program), core.pager was set (can make Git run a "
            "program)");
    }
}

// A second run that starts while a change of the first's command is still there takes what the first
// noted: the change goes, whichever run compares first.
TEST(GitGuard, ARunStartedLaterTakesWhatTheFirstNoted)
{
    Scene scene;
    GitGuard first = scene.guard();
    write(scene.project / ".git/hooks/pre-commit", kPlanted);
    {
        GitGuard second = scene.guard();
        EXPECT_EQ(second.compareAll().size(), 1u);
    }
    EXPECT_FALSE(existsAt(scene.project / ".git/hooks/pre-commit"));
    write(scene.project / ".git/hooks/pre-commit", kPlanted);
    EXPECT_EQ(first.compareAll().size(), 1u);
}

// A process killed during a run leaves its record; the next start puts back what counts from it, keeps
// what does not, and drops the record.
TEST(GitGuard, TheNextStartAfterAKillPutsBackFromTheRecord)
{
    Scene scene;
    const fs::path other = scene.home.root / "other";
    fs::create_directories(other);
    git(other, { "init", "-q" });
    write(scene.project / ".git/hooks/pre-push", kHook);
    write(scene.project / ".husky/pre-commit", kHook);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        GitGuard guard(
            { { scene.project / ".git", scene.project, { scene.project / ".husky", scene.project / "hooks" },
                  { scene.project / "node_modules/.bin" } },
                { other / ".git", other } },
            {}, {},
            { .places = { scene.home.root },
                .liveRuns = scene.home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess(),
                .keptOff = { scene.project / ".envrc" } });
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const fs::path record = LiveRuns::recordOf(scene.home.data, LiveRuns::Kind::guardedUnit);
    ASSERT_TRUE(fs::exists(record));
    EXPECT_EQ(modeOf(record), 0600u);

    write(scene.project / ".git/hooks/pre-push", kPlanted);
    write(scene.project / ".git/hooks/post-checkout", kPlanted);
    git(scene.project, { "config", "core.fsmonitor", "touch /tmp/ran; false" });
    git(other, { "remote", "add", "origin", "https://example.com/x.git" });
    write(scene.project / ".husky/pre-commit", kPlanted);
    write(scene.project / "hooks/pre-commit", kPlanted);
    write(scene.project / "node_modules/.bin/sh", kPlanted);
    write(scene.project / ".envrc", kPlanted);
    git(scene.project, { "init", "-q", "emb" });
    git(scene.project / "emb", { "config", "core.fsmonitor", "touch /tmp/ran" });
    git(scene.project / "emb",
        { "-c", "user.name=U", "-c", "user.email=u@example.com", "commit", "-q", "--allow-empty", "-m",
            "x" });
    git(scene.project, { "add", "emb" });
    test::CapturedLog log;
    GitGuard::restoreLeftBehind(
        scene.home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });

    EXPECT_EQ(test::readFile(scene.project / ".git/hooks/pre-push"), kHook);
    EXPECT_EQ(
        test::readFile(test::withRandomPart(scene.project / (std::string(".git/hooks/pre-push") + kRefused))),
        kPlanted);
    EXPECT_FALSE(existsAt(scene.project / ".git/hooks/post-checkout"));
    EXPECT_EQ(test::readFile(scene.project / ".git/config").find("fsmonitor"), std::string::npos);
    EXPECT_NE(test::readFile(other / ".git/config").find("[remote \"origin\"]"), std::string::npos);
    EXPECT_EQ(test::readFile(scene.project / ".husky/pre-commit"), kHook);
    EXPECT_EQ(test::readFile(scene.project / "emb/.git/config").find("fsmonitor"), std::string::npos);
    EXPECT_NE(test::readFile(scene.project / "emb/.git/config").find("[core]"), std::string::npos);
    EXPECT_FALSE(existsAt(scene.project / "hooks/pre-commit"));
    EXPECT_FALSE(existsAt(scene.project / "node_modules/.bin/sh"));
    EXPECT_EQ(
        test::readFile(test::withRandomPart(scene.project / (std::string(".envrc") + kRefused))), kPlanted);
    EXPECT_FALSE(existsAt(scene.project / ".envrc"));
    EXPECT_EQ(log.lines().size(), 8u);
    // Nothing of the record is left beside it either.
    for (const auto& left : fs::directory_iterator(scene.home.data))
        EXPECT_FALSE(left.path().filename().native().starts_with("live-runs")) << left.path();
}

// A file past what a copy holds is noted by its identity: a change to it still goes aside, with
// nothing to put back, and the log says so.
TEST(GitGuard, AHookPastTheCopyBoundIsMovedAsideWithNothingPutBack)
{
    Scene scene;
    write(scene.project / ".git/hooks/pre-commit", std::string(GitNotedFiles::maxCopiedBytes + 1, '#'));
    GitGuard guard = scene.guard();
    test::CapturedLog log;
    std::ofstream(scene.project / ".git/hooks/pre-commit", std::ios::app) << "\ntouch /tmp/ran\n";
    EXPECT_EQ(guard.compareAll().size(), 1u);
    EXPECT_FALSE(existsAt(scene.project / ".git/hooks/pre-commit"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("nothing could be put back"), std::string::npos);
}

// A command cannot keep its change by taking away the permission the guard needs to read, list or write
// a folder: the folder's owner gets it all back, and the log says so. Run as an ordinary user, since root
// ignores the permission.
TEST(GitGuard, UndoesAChangeInAFolderWhateverModeACommandLeftIt)
{
    struct Case {
        const char* row;
        const char* expected;
    };
    const Case cases[] = {
        { "planted .git/hooks 0555", "undone owner's" },
        { "swapped", "undone" },
        { "swapped .git 0555", "undone owner's" },
        { "planted .git/hooks 0111", "undone owner's" },
        { "planted .git/hooks 0000", "undone owner's" },
        { "planted .git 0000", "undone owner's" },
        // The user's hook, read to tell the change and put back, in a folder that can be searched alone.
        { "rewritten .git/hooks 0111", "undone owner's" },
        { "rewritten .git/hooks 0333", "undone owner's" },
        { "configured .git 0111", "undone owner's" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.row);
        test::TemporaryFolder temporary;
        const fs::path root = test::sharedRoot(temporary.path(), { "project", "data" });
        EXPECT_EQ(test::runUnprivileged("behind a mode", root, testCase.row), testCase.expected);
    }
}

// A record cut short is logged, and what can be read of it, to the last whole file, is put back.
TEST(GitGuard, ADamagedRecordIsLoggedAndWhatCanBeReadIsPutBack)
{
    Scene scene;
    const fs::path other = scene.home.root / "other";
    fs::create_directories(other);
    git(other, { "init", "-q" });
    BeneathPlaces places({ scene.home.root });
    std::string bytes
        = GitNotedFiles::encoded({ GitNotedFiles::noteUnit(scene.project / ".git", scene.project, places),
            GitNotedFiles::noteUnit(other / ".git", other, places) });
    write(scene.record, bytes.substr(0, bytes.size() - 10), fs::perms(0600));
    write(scene.project / ".git/hooks/pre-commit", kPlanted);
    write(other / ".git/hooks/pre-commit", kPlanted);
    test::CapturedLog log;
    GitGuard::restoreLeftBehind(
        scene.home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });

    EXPECT_FALSE(existsAt(scene.project / ".git/hooks/pre-commit"));
    EXPECT_FALSE(existsAt(other / ".git/hooks/pre-commit"));
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_NE(log.lines()[0].find("is damaged"), std::string::npos);
}

// An older build noted a work tree's top by its identity too: after a kill, a new folder around the user's
// own ".git", renamed into the work tree's place, is no change either.
TEST(GitGuard, AnOlderRecordsWorkTreeTopIsNoChange)
{
    Scene scene;
    auto unit
        = GitNotedFiles::noteUnit(scene.project / ".git", scene.project, BeneathPlaces({ scene.home.root }));
    unit.files.emplace(scene.project, GitNotedFiles::noteFile(scene.project, GitNotedFiles::maxCopiedBytes));
    write(scene.record, GitNotedFiles::encoded({ unit }), fs::perms(0600));
    fs::create_directory(scene.home.root / "new");
    fs::rename(scene.project / ".git", scene.home.root / "new/.git");
    fs::rename(scene.project, scene.home.root / "old");
    fs::rename(scene.home.root / "new", scene.project);
    test::CapturedLog log;
    GitGuard::restoreLeftBehind(
        scene.home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });

    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(existsAt(scene.project / ".git/HEAD"));
}

// A Git folder that went during a run is kept with what was noted, through runs in other places, and a
// hook it brings back during a later run goes aside.
TEST(GitGuard, AGitFolderGoneIsComparedWithWhatWasNotedWhenItComesBack)
{
    Scene scene;
    {
        GitGuard first = scene.guard();
        fs::rename(scene.project / ".git", scene.project / ".git-away");
    }
    const fs::path elsewhere = scene.home.root / "elsewhere";
    fs::create_directories(elsewhere);
    GitGuard({}, {}, {}, { .places = { elsewhere }, .liveRuns = scene.home.data, .settings = {} });
    // The search finds no Git folder at its name now.
    GitGuard later(
        {}, {}, {}, { .places = { scene.home.root }, .liveRuns = scene.home.data, .settings = {} });
    fs::rename(scene.project / ".git-away", scene.project / ".git");
    write(scene.project / ".git/hooks/pre-commit", kPlanted);
    EXPECT_EQ(later.compareAll().size(), 1u);
    EXPECT_FALSE(existsAt(scene.project / ".git/hooks/pre-commit"));
}

// Every hook githooks(5) names, written here rather than read from the guard's own list, so that a name
// missing there shows: each new one goes aside and each changed one is put back.
TEST(GitGuard, EveryHookGitRunsIsPutBack)
{
    const char* hooks[] = { "applypatch-msg", "pre-applypatch", "post-applypatch", "pre-commit",
        "pre-merge-commit", "prepare-commit-msg", "commit-msg", "post-commit", "pre-rebase", "post-checkout",
        "post-merge", "pre-push", "pre-receive", "update", "proc-receive", "post-receive", "post-update",
        "reference-transaction", "push-to-checkout", "pre-auto-gc", "post-rewrite", "sendemail-validate",
        "fsmonitor-watchman", "p4-changelist", "p4-prepare-changelist", "p4-post-changelist", "p4-pre-submit",
        "post-index-change" };
    Scene planted;
    Scene changed;
    for (const char* hook : hooks)
        write(changed.project / ".git/hooks" / hook, kHook);
    GitGuard plantedGuard = planted.guard();
    GitGuard changedGuard = changed.guard();
    for (const char* hook : hooks) {
        write(planted.project / ".git/hooks" / hook, kPlanted);
        write(changed.project / ".git/hooks" / hook, kPlanted);
    }
    test::CapturedLog log;
    EXPECT_EQ(plantedGuard.compareAll().size(), std::size(hooks));
    EXPECT_EQ(changedGuard.compareAll().size(), std::size(hooks));
    for (const char* hook : hooks) {
        SCOPED_TRACE(hook);
        EXPECT_FALSE(existsAt(planted.project / ".git/hooks" / hook));
        EXPECT_EQ(test::readFile(changed.project / ".git/hooks" / hook), kHook);
    }
}

// A hook of exactly the copy bound is still copied, so what the run found is put back.
TEST(GitGuard, AHookOfExactlyTheCopyBoundIsPutBack)
{
    Scene scene;
    const std::string hook(GitNotedFiles::maxCopiedBytes, '#');
    write(scene.project / ".git/hooks/pre-commit", hook);
    GitGuard guard = scene.guard();
    test::CapturedLog log;
    write(scene.project / ".git/hooks/pre-commit", kPlanted);
    EXPECT_EQ(guard.compareAll().size(), 1u);
    // Compared as a truth value: a failure would print a mebibyte.
    EXPECT_TRUE(test::readFile(scene.project / ".git/hooks/pre-commit") == hook);
}

// A put-back that fails says so, and not that the run kept no copy when it kept one: here a link whose
// target is longer than a link can hold, as a damaged record could name.
TEST(GitGuard, AFailedPutBackOfAKeptCopyIsLoggedAsSuch)
{
    Scene scene;
    const fs::path hook = scene.project / ".git/hooks/pre-commit";
    GitNotedFiles::NotedUnit unit { scene.project / ".git", scene.project, { scene.home.root },
        { { hook, { GitNotedFiles::NotedFile::Kind::link, std::string(5000, 'a'), 0 } } } };
    write(scene.record, GitNotedFiles::encoded({ unit }), fs::perms(0600));
    write(hook, kPlanted);
    test::CapturedLog log;
    GitGuard::restoreLeftBehind(
        scene.home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });

    EXPECT_EQ(test::readFile(test::withRandomPart(hook.string() + kRefused)), kPlanted);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("could not be put back"), std::string::npos);
    EXPECT_EQ(log.lines()[0].find("kept no copy"), std::string::npos);
}

// Git moving a work tree's Git folder into the superproject's ("git submodule absorbgitdirs") writes the
// ".git" file at its name after the move: its writer, here the comparison's own check of writers, may
// finish it between the unit's being found at neither name and the look at that name.
TEST(GitGuard, AGitFileFinishedWhileItsNameIsComparedLeadsToTheMovedGitFolder)
{
    Scene scene;
    fs::create_directories(scene.library);
    git(scene.library, { "init", "-q", "-b", "main" });
    GitGuard guard = scene.guard();
    fs::create_directories(scene.project / ".git/modules");
    fs::rename(scene.library / ".git", scene.project / ".git/modules/library");
    const fs::path gitFile = scene.library / ".git";
    const std::string leads = "gitdir: ../project/.git/modules/library\n";
    std::ofstream { gitFile };
    auto finishedByItsWriter = [&](const fs::path& path) {
        if (path == gitFile && test::readFile(gitFile).empty())
            std::ofstream(gitFile) << leads;
        return false;
    };
    test::CapturedLog log;
    EXPECT_TRUE(guard.compare(0, finishedByItsWriter).empty());
    EXPECT_TRUE(guard.compare(1, finishedByItsWriter).empty());
    EXPECT_EQ(test::readFile(gitFile), leads);
    EXPECT_EQ(log.lines(), std::vector<std::string> {});
}

// What Git cannot read where it reads a file, and a configuration past what the guard judges, go aside
// whole, nothing of them read or copied, and what was noted takes their place; everyday work on a large
// configuration of the user's stays. Sparse files: the sizes cost no disk.
TEST(GitGuard, WhatGitCannotReadOrTheGuardCannotJudgeGoesAsideWhole)
{
    const struct {
        const char* name;
        const char* before; // a shell line in the Git folder, before the guard notes it
        const char* change; // and one after
        std::size_t aside;
        const char* told; // in the log line of what went aside
        const char* check; // a shell line in the Git folder once compared, which prints `expected`
        const char* expected;
    } rows[] = {
        { "a configuration of two gigabytes", "", "truncate -s 2G config", 1, "larger than the 64 MB",
            "stat -c %s config.refused-*; git config core.bare", "2147483648\nfalse\n" },
        { "a FIFO at HEAD", "", "mv HEAD HEAD.bak && mkfifo HEAD", 1, "no regular file",
            "cat HEAD; test -p HEAD.refused-* && echo FIFO aside", "ref: refs/heads/main\nFIFO aside\n" },
        { "a link at HEAD to a FIFO", "", "mkfifo ../fifo && rm HEAD && ln -s ../fifo HEAD", 1,
            "no regular file", "cat HEAD", "ref: refs/heads/main\n" },
        { "a FIFO at the configuration", "", "rm config && mkfifo config", 1, "no regular file",
            "git config core.bare", "false\n" },
        { "HEAD rewritten as a checkout does", "", "printf 'ref: refs/heads/other\\n' > HEAD", 0, "",
            "cat HEAD", "ref: refs/heads/other\n" },
        // Past the bound, this change would go aside: the whole of it is judged.
        { "a configuration of 50 MB that Git rewrites with an everyday setting",
            "printf '# ' >> config && truncate -s 50M config && echo >> config",
            "git config user.name Someone", 0, "",
            "git config user.name; test $(stat -c %s config) -gt 50000000 && echo large",
            "Someone\nlarge\n" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Scene scene;
        const fs::path git = scene.project / ".git";
        auto shell = [&](const std::string& line) {
            auto result = test::runPeer({ "sh", "-c", "cd \"$0\" && { " + line + "\n}", git.string() });
            EXPECT_EQ(result.exitStatus, 0) << line << "\n" << result.output;
            return result.output;
        };
        shell(*row.before ? row.before : "true");
        GitGuard guard = scene.guard();
        shell(row.change);
        test::CapturedLog log;
        EXPECT_EQ(guard.compareAll().size(), row.aside);
        for (const auto& line : log.lines())
            EXPECT_NE(line.find(row.told), std::string::npos) << line;
        EXPECT_EQ(shell(std::string("timeout 60 sh -c '") + row.check + "'"), row.expected);
    }
}
