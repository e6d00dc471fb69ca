// What a put-back leaves wherever the process is killed in it, what the next start knows of the killed
// run, and what is kept of the files changes went aside as.
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "VellumarMacCore/Foundations/LiveRunsHeartbeat.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <random>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vellumar;
using test::existsAt;
namespace fs = std::filesystem;
using GitGuardPutBack::Step;

namespace {

const auto kNow = std::chrono::system_clock::from_time_t(1'796'000'000); // 2026-11-30T00:53:20Z
const std::string kHook = "#!/bin/sh\nexit 0\n";
const std::string kPlanted = "#!/bin/sh\ntouch /tmp/ran\n";

void git(const fs::path& repository, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(),
        { "git", "-C", repository.string(), "-c", "user.name=U", "-c", "user.email=u@example.com", "-c",
            "protocol.file.allow=always" });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0);
}

void writeHook(const fs::path& file, const std::string& bytes)
{
    test::writeBytes(file, bytes);
    fs::permissions(file, fs::perms(0755));
}

// A Git folder as `git init` makes one, written without Git so that a peer as an ordinary user makes it
// too, with `hook` as its pre-commit.
void writeGitFolder(const fs::path& git, const std::string& hook)
{
    test::writeBytes(git / "HEAD", "ref: refs/heads/main\n");
    fs::create_directories(git / "objects");
    fs::create_directories(git / "refs/heads");
    writeHook(git / "hooks/pre-commit", hook);
}

// Rewrites `file` in place with `bytes`, again until its status-change time moves, if only by the file
// clock's next step: the same file at its name, no longer as it was.
void rewrittenInPlace(const fs::path& file, const std::string& bytes)
{
    struct stat was { };
    ASSERT_EQ(::lstat(file.c_str(), &was), 0);
    struct stat now = was;
    while (now.st_ctim.tv_sec == was.st_ctim.tv_sec && now.st_ctim.tv_nsec == was.st_ctim.tv_nsec) {
        std::ofstream(file, std::ios::trunc) << bytes;
        ASSERT_EQ(::lstat(file.c_str(), &now), 0);
    }
}

// Makes hard links fail with EPERM in this process from now on, as on file systems without them.
bool withoutHardLinks()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_linkat, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program { static_cast<unsigned short>(std::size(filter)), filter };
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

ino_t inodeOf(const fs::path& path)
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? status.st_ino : 0;
}

// What each step of a put-back does in this process: set by a test, for the put-backs it starts.
std::function<void(Step)> atStep;

// A repository at "<root>/project" with the user's hook and remote, held by a run that is killed.
struct Scene {
    test::TemporaryHome home;
    fs::path project = home.root / "project";

    Scene()
    {
        git(home.root, { "init", "-q", project.string() });
        git(project, { "remote", "add", "origin", "https://example.com/x.git" });
        writeHook(project / ".git/hooks/pre-commit", kHook);
    }

    // Where the run granted an empty folder alone, that folder: it notes no repository.
    std::optional<fs::path> emptyGrant;

    GitGuard guard() const
    {
        return GitGuard(emptyGrant ? std::vector<GuardedRepository> {}
                                   : std::vector<GuardedRepository> { { project / ".git", project } },
            {}, {},
            { .places = { emptyGrant.value_or(home.root) },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess(),
                .clock = [] { return kNow; } });
    }

    // In a process of its own: a run notes the project, `change` is made during it, and the run is
    // killed as its comparison reaches `killedAt`, or once it compared where `between` acts at each step
    // as a command would, or before it compares; on a file system that refuses renameat2's flags where
    // `cannotTrade`.
    void killedRun(const std::function<void(const Scene&)>& change, std::optional<Step> killedAt,
        bool cannotTrade = false, const std::function<void(Step)>& between = nullptr) const
    {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (cannotTrade)
                Renames::refuseFlagsForTests(true);
            GitGuard run = guard();
            change(*this);
            atStep = [killedAt, between](Step step) {
                if (between)
                    between(step);
                if (step == killedAt)
                    ::kill(::getpid(), SIGKILL);
            };
            GitGuardPutBack::stepSeam = [](Step step) { atStep(step); };
            if (killedAt || between)
                run.compareAll();
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
    }

    // The next start, in a process of its own whose file system refuses renameat2's flags where
    // `cannotTrade`.
    void restoreLeftBehind(bool cannotTrade = false) const
    {
        if (!cannotTrade) {
            GitGuard::restoreLeftBehind(
                home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });
            return;
        }
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Renames::refuseFlagsForTests(true);
            restoreLeftBehind();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
};

// What each file beside `file` holds that a change of it went aside as, in order, "put-back" for one a
// put-back was making.
std::vector<std::string> besideIt(const fs::path& file)
{
    std::vector<std::string> held;
    for (const auto& name : test::namesIn(file.parent_path())) {
        if (name.find(".put-back-") != std::string::npos)
            held.emplace_back("put-back");
        else if (name.starts_with(file.filename().string() + ".refused-"))
            held.push_back(test::readFile(file.parent_path() / name));
    }
    std::sort(held.begin(), held.end());
    return held;
}

// Runs the check registered as `name` on `argument` as user 65534, in a root of its own whose "place" and
// "data" are that user's, the data folder private already: the peer has no /proc to make it so.
std::string runAsNobody(const char* name, const std::string& argument)
{
    test::TemporaryFolder temporary;
    const fs::path root = resolvingSymlinks(temporary.path()).value();
    for (const char* folder : { "place", "data" })
        EXPECT_EQ(::chown(test::madeFolder(root / folder).c_str(), 65534, 65534), 0);
    fs::permissions(root / "data", fs::perms(0700));
    fs::permissions(root, fs::perms(0755));
    return test::runUnprivileged(name, root, argument);
}

}

// Killed at any step of a put-back, or with the name empty, the next start finds the user's file at its
// name, and the command's change kept beside it; nothing it writes replaces what came at the name since,
// whether or not the file system can trade two names.
TEST(GitGuardPutBack, NoKillLosesTheUsersFile)
{
    const std::string fsmonitor = "[core]\n\tfsmonitor = touch /tmp/ran\n";
    struct Case {
        const char* name;
        const char* file; // relative to the project
        // What the command writes there in the killed run (after the user's configuration, in place of
        // a hook); it removes the file where there is nothing.
        std::optional<std::string> written;
        std::optional<Step> killedAt; // in the killed run's comparison; else before it compares
        // Written at the name by someone else, where it is empty, as the next start's copy is made.
        const char* writtenMeanwhile = nullptr;
        // The next start's file system cannot trade two names: the change goes aside, then the copy follows.
        bool withoutExchange = false;
        bool usersLink = false; // the user's file is a link to a script in the work tree
    };
    const Case cases[] = {
        { "a hook, killed with the copy made beside the change", ".git/hooks/pre-commit", kPlanted,
            Step::copyMade },
        { "a configuration, killed once the copy took the change's place", ".git/config", fsmonitor,
            Step::traded },
        { "a configuration left missing", ".git/config", std::nullopt, std::nullopt },
        { "a hook left missing, then written as the copy is made", ".git/hooks/pre-commit", std::nullopt,
            std::nullopt, "#!/bin/sh\necho mine\n" },
        { "a hook where names cannot be traded, then written as the copy is made", ".git/hooks/pre-commit",
            kPlanted, std::nullopt, "#!/bin/sh\necho mine\n", true },
        { .name = "a hook link left missing",
            .file = ".git/hooks/pre-commit",
            .written = std::nullopt,
            .killedAt = std::nullopt,
            .usersLink = true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        const fs::path file = scene.project / testCase.file;
        if (testCase.usersLink) {
            fs::rename(file, scene.project / "pre-commit.sh");
            fs::create_symlink("../../pre-commit.sh", file);
        }
        const bool configuration = file.filename() == "config";
        const std::string users = test::readFile(file);
        const unsigned mode = testCase.usersLink ? 0777u : configuration ? 0644u : 0755u;
        const std::string changed = testCase.written ? (configuration ? users : "") + *testCase.written : "";
        scene.killedRun(
            [&](const Scene&) {
                if (testCase.written)
                    test::writeBytes(file, changed);
                else
                    fs::remove(file);
            },
            testCase.killedAt);
        if (testCase.writtenMeanwhile) {
            atStep = [&](Step) {
                if (!existsAt(file))
                    writeHook(file, testCase.writtenMeanwhile);
            };
            GitGuardPutBack::stepSeam = [](Step step) { atStep(step); };
        }
        test::CapturedLog log;
        scene.restoreLeftBehind(testCase.withoutExchange);
        GitGuardPutBack::stepSeam = nullptr;

        EXPECT_EQ(test::readFile(file), testCase.writtenMeanwhile ? testCase.writtenMeanwhile : users);
        struct stat status { };
        EXPECT_EQ(::lstat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0, mode);
        // A kill with the copy made leaves that copy beside the name too, holding the user's bytes.
        auto beside = besideIt(file);
        EXPECT_EQ(std::count(beside.begin(), beside.end(), changed), testCase.written ? 1 : 0);
        EXPECT_EQ(std::count(beside.begin(), beside.end(), "put-back"), 0);
    }
}

namespace {

// In "<root>/place", with its record in "<root>/data", a run noting nothing is killed once a command
// made "plain" a repository, without Git so that a peer as an ordinary user makes it too, planted a hook
// there and left the hooks folder unwritable. What the next start left at the hook's name.
std::string afterAKillInAPlainFolder(const std::string& rootPath)
{
    const fs::path root = rootPath;
    const fs::path git = root / "place/plain/.git";
    pid_t child = ::fork();
    if (child == 0) {
        GitGuard run({}, {}, {}, { .places = { root / "place" }, .liveRuns = root / "data", .settings = {} });
        writeGitFolder(git, kPlanted);
        fs::permissions(git / "hooks", fs::perms(0555));
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFSIGNALED(status))
        return "the run was not killed";
    GitGuard::restoreLeftBehind(root / "data", {}, [] { return kNow; });
    if (existsAt(git / "hooks/pre-commit"))
        return "the plant stays";
    return besideIt(git / "hooks/pre-commit") == std::vector { kPlanted } ? "aside" : "lost";
}

// Git is outside the peer's root: the new repository has no configuration to read.
[[maybe_unused]] const bool registeredAfterAKill
    = test::registerUnprivilegedCheck("after a kill in a plain folder", afterAKillInAPlainFolder);

}

// What the killed run noted is the next start's to compare, however it finds it: a submodule that run
// noted is no new repository, and a Git folder away at the next start stays in the record until a later
// run sees it come back. Every other Git folder in its places is judged against an empty repository, what
// changed from the run's start until its commands had ended. The next start does it once.
TEST(GitGuardPutBack, TheNextStartKnowsWhatTheKilledRunHeld)
{
    using SceneStep = std::function<void(const Scene&)>;
    const SceneStep none = [](const Scene&) {};
    struct Case {
        const char* name;
        SceneStep prepare; // the user's, before the killed run
        SceneStep change; // during it
        SceneStep later; // after the next start
        std::function<bool(const Scene&)> holds;
        SceneStep afterKill = [](const Scene&) {}; // the user's, before the next start
        bool emptyGrant = false;
        std::size_t usersChanges = 0; // lines in the log keeping a change as the user's own
    };
    const fs::path plainHook = "plain/.git/hooks/pre-commit";
    const SceneStep plainMadeARepository = [](const Scene& scene) {
        git(scene.home.root, { "init", "-q", "plain" });
    };
    auto planted
        = [](const fs::path& hook) { return !existsAt(hook) && besideIt(hook) == std::vector { kPlanted }; };
    auto kept = [](const fs::path& hook) { return test::readFile(hook) == kHook && besideIt(hook).empty(); };
    // The killed run's commands ended now, its beat as though it was the last one's margin ago; then the
    // user writes the hook.
    auto hookWrittenLater = [](fs::path relative) {
        return [relative](const Scene& scene) {
            const fs::path beatFile = LiveRuns::heartbeatOf(scene.home.data);
            auto beat = LiveRunsHeartbeat::now();
            beat.wallTime -= LiveRunsHeartbeat::margin;
            beat.bootTime -= LiveRunsHeartbeat::margin;
            LiveRunsHeartbeat::write(beat, beatFile);
            // Made anew each time, so that its folder too last changed once the commands had ended.
            test::changedLaterThan(
                scene.home.root / relative, *LiveRunsHeartbeat::commandsEndedBy(beatFile), [&] {
                    fs::remove(scene.home.root / relative);
                    writeHook(scene.home.root / relative, kHook);
                });
        };
    };
    const Case cases[] = {
        { "a submodule with the user's hook",
            [](const Scene& scene) {
                const fs::path library = scene.home.root / "library";
                git(scene.home.root, { "init", "-q", library.string() });
                git(library, { "commit", "-q", "--allow-empty", "-m", "x" });
                git(scene.project, { "submodule", "add", "-q", library.string(), "lib" });
                writeHook(scene.project / ".git/modules/lib/hooks/pre-commit", kHook);
            },
            none, none,
            [](const Scene& scene) {
                const fs::path hook = scene.project / ".git/modules/lib/hooks/pre-commit";
                return test::readFile(hook) == kHook && besideIt(hook).empty();
            } },
        { "a Git folder away at the next start, back during a later run", none,
            [](const Scene& scene) {
                writeHook(scene.project / ".git/hooks/post-checkout", kPlanted);
                fs::rename(scene.project / ".git", scene.project / ".git-away");
            },
            [](const Scene& scene) {
                GitGuard later({}, {}, {},
                    { .places = { scene.home.root }, .liveRuns = scene.home.data, .settings = {} });
                fs::rename(scene.project / ".git-away", scene.project / ".git");
                later.compareAll();
            },
            [](const Scene& scene) { return !existsAt(scene.project / ".git/hooks/post-checkout"); } },
        // Where the next start cannot look for it: only the record knows it then.
        { "a Git folder outside the places at the next start, back during a later run", none,
            [](const Scene& scene) {
                writeHook(scene.project / ".git/hooks/post-checkout", kPlanted);
                fs::rename(scene.project / ".git", scene.home.root.string() + "-away");
            },
            [](const Scene& scene) {
                GitGuard later({}, {}, {},
                    { .places = { scene.home.root }, .liveRuns = scene.home.data, .settings = {} });
                fs::rename(scene.home.root.string() + "-away", scene.project / ".git");
                later.compareAll();
            },
            [](const Scene& scene) { return !existsAt(scene.project / ".git/hooks/post-checkout"); } },
        { "the project moved into a new folder, then planted", none,
            [](const Scene& scene) {
                fs::create_directory(scene.home.root / "deep");
                fs::rename(scene.project, scene.home.root / "deep/project");
                writeHook(scene.home.root / "deep/project/.git/hooks/post-checkout", kPlanted);
            },
            none,
            [&](const Scene& scene) {
                return planted(scene.home.root / "deep/project/.git/hooks/post-checkout")
                    && test::readFile(scene.home.root / "deep/project/.git/hooks/pre-commit") == kHook;
            } },
        { "a plain folder made a repository with a hook", none,
            [&](const Scene& scene) {
                plainMadeARepository(scene);
                writeHook(scene.home.root / plainHook, kPlanted);
            },
            none, [&](const Scene& scene) { return planted(scene.home.root / plainHook); } },
        { "an empty grant given a bare repository with a hook", none,
            [](const Scene& scene) {
                git(*scene.emptyGrant, { "init", "-q", "--bare", "mirror.git" });
                writeHook(*scene.emptyGrant / "mirror.git/hooks/pre-receive", kPlanted);
            },
            none,
            [&](const Scene& scene) { return planted(*scene.emptyGrant / "mirror.git/hooks/pre-receive"); },
            none, true },
        { "the user's hook in a repository the run never noted",
            [&](const Scene& scene) {
                plainMadeARepository(scene);
                writeHook(scene.home.root / plainHook, kHook);
                test::settled(scene.home.root / plainHook);
            },
            none, none, [&](const Scene& scene) { return kept(scene.home.root / plainHook); } },
        // Outside every window when commands could write: not even judged.
        { "a hook the user writes once the run's commands had ended", none, plainMadeARepository, none,
            [&](const Scene& scene) { return kept(scene.home.root / plainHook); },
            hookWrittenLater(plainHook), false, 0 },
        // Found at its new name both by its own comparison and among every Git folder of the places.
        { "a hook the user writes in the project a command renamed", none,
            [](const Scene& scene) { fs::rename(scene.project, scene.home.root / "project-v2"); }, none,
            [&](const Scene& scene) { return kept(scene.home.root / "project-v2/.git/hooks/post-checkout"); },
            hookWrittenLater("project-v2/.git/hooks/post-checkout"), false, 1 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        if (testCase.emptyGrant)
            scene.emptyGrant = test::madeFolder(scene.home.root / "grant");
        testCase.prepare(scene);
        scene.killedRun(testCase.change, std::nullopt);
        testCase.afterKill(scene);
        test::CapturedLog log;
        scene.restoreLeftBehind();
        const auto lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) {
                          return line.ends_with("it is the user's own change and stays.");
                      }),
            testCase.usersChanges);
        test::CapturedLog again;
        scene.restoreLeftBehind();
        EXPECT_EQ(again.lines(), std::vector<std::string> {});
        testCase.later(scene);
        EXPECT_TRUE(testCase.holds(scene));
    }
    // As an ordinary user, whose guard must give itself back the right to write in the hooks folder.
    EXPECT_EQ(runAsNobody("after a kill in a plain folder", "/"), "aside");
}

// Killed as the user's Git folder, or its hooks folder, trades places with what a command put at its
// name, or before, the next start finds both at their names, the user's hook there and no plant; where
// the trade takes steps, a command putting its own again at the name a step left leaves nothing waiting
// beside it either.
TEST(GitGuardPutBack, NoKillLeavesTheUsersFolderAway)
{
    struct Case {
        const char* name;
        const char* folder; // below the root, moved to "<folder>-old" in the killed run
        std::function<void(const fs::path&)> putInstead; // by the command, at the folder's name
        std::optional<Step> killedAt;
        bool cannotTrade = false; // at the next start: what took the name goes aside, then the user's comes
        int takenAfterStep = 0; // of the trade's steps, after which the command puts its own again at the
                                // name the step left: the folder's (1) or "<folder>-old" (2)
    };
    auto gitFolder = [](const fs::path& git) { writeGitFolder(git, kPlanted); };
    auto workTree = [](const fs::path& work) { writeGitFolder(test::madeFolder(work) / ".git", kPlanted); };
    auto hooks = [](const fs::path& folder) { writeHook(folder / "pre-commit", kPlanted); };
    auto link = [](const fs::path& folder) {
        writeHook(folder.parent_path().parent_path() / "mine/pre-commit", kPlanted);
        fs::create_directory_symlink("../mine", folder);
    };
    const Case cases[] = {
        { "the Git folder, killed as it trades back", "project/.git", gitFolder, Step::folderTraded },
        { "the Git folder, killed before the run's end", "project/.git", gitFolder, std::nullopt },
        { "the work tree, killed as it trades back", "project", workTree, Step::folderTraded },
        { "the hooks folder, killed as it trades back", "project/.git/hooks", hooks, Step::folderTraded },
        { "the hooks folder, killed before the run's end", "project/.git/hooks", hooks, std::nullopt },
        { "the hooks folder swapped for a link, killed as it trades back", "project/.git/hooks", link,
            Step::folderTraded },
        { "the Git folder where names cannot be traded", "project/.git", gitFolder, std::nullopt, true },
        { "the hooks folder where names cannot be traded", "project/.git/hooks", hooks, std::nullopt, true },
        { "the Git folder where names cannot be traded, killed between the steps of its trade",
            "project/.git", gitFolder, Step::tradeStepTaken, true },
        { "the hooks folder where names cannot be traded, killed between the steps of its trade",
            "project/.git/hooks", hooks, Step::tradeStepTaken, true },
        { "the Git folder where names cannot be traded, its name taken again after the first step",
            "project/.git", gitFolder, std::nullopt, true, 1 },
        { "the hooks folder where names cannot be traded, the name it left taken after the second step",
            "project/.git/hooks", hooks, std::nullopt, true, 2 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        const fs::path folder = scene.home.root / testCase.folder;
        const ino_t usersGitFolder = inodeOf(scene.project / ".git");
        const ino_t usersHooks = inodeOf(scene.project / ".git/hooks");
        int steps = 0;
        auto takenAgain = [&](Step step) {
            if (step == Step::tradeStepTaken && ++steps == testCase.takenAfterStep)
                testCase.putInstead(steps == 1 ? folder : fs::path(folder.string() + "-old"));
        };
        scene.killedRun(
            [&](const Scene&) {
                fs::rename(folder, folder.string() + "-old");
                testCase.putInstead(folder);
            },
            testCase.killedAt, testCase.cannotTrade,
            testCase.takenAfterStep ? std::function<void(Step)>(takenAgain) : nullptr);
        scene.restoreLeftBehind(testCase.cannotTrade);

        for (const auto& entry : fs::recursive_directory_iterator(scene.home.root))
            EXPECT_EQ(entry.path().filename().string().find(".trading-"), std::string::npos) << entry.path();
        EXPECT_EQ(inodeOf(scene.project / ".git"), usersGitFolder);
        EXPECT_EQ(inodeOf(scene.project / ".git/hooks"), usersHooks);
        EXPECT_EQ(test::readFile(scene.project / ".git/hooks/pre-commit"), kHook);
        git(scene.project, { "commit", "-q", "--allow-empty", "-m", "x" });
    }
}

// Nothing moved aside is removed but a file a newer one holds the same bytes of, and the run's own past
// its first and newest in a flood of one name, each named in the log; what earlier runs moved aside,
// and a file someone else put at a name the run used or rewrote there, stay.
TEST(GitGuardPutBack, KeepsEveryMovedAsideFileButSameBytesAndARunsOwnFlood)
{
    struct Case {
        const char* name;
        std::vector<std::string> earlier; // what earlier runs moved aside
        int changes; // "c0", "c1"... written in turn during the run, each compared
        bool secondReplaced; // the run's second file replaced by someone else's at its name
        std::vector<std::string> kept; // sorted
        std::size_t removed;
        // The run's second file rewritten in place by someone else, the same file at its name.
        bool secondRewritten = false;
    };
    const Case cases[] = {
        { "earlier runs' files, however many", { "e0", "e1", "e2", "e3", "e4", "e5", "e6" }, 1, false,
            { "c0", "e0", "e1", "e2", "e3", "e4", "e5", "e6" }, 0 },
        { "an earlier file of the same bytes", { "c0" }, 1, false, { "c0" }, 1 },
        { "a flood within the run", {}, 9, false, { "c0", "c4", "c5", "c6", "c7", "c8" }, 3 },
        { "a flood where someone else's file took a name the run used", {}, 7, true,
            { "c0", "c2", "c3", "c4", "c5", "c6", "someone's" }, 0 },
        { "a flood where someone else rewrote a file the run moved aside", {}, 7, false,
            { "c0", "c2", "c3", "c4", "c5", "c6", "someone's" }, 0, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        const fs::path hook = scene.project / ".git/hooks/pre-commit";
        for (std::size_t index = 0; index < testCase.earlier.size(); ++index)
            test::writeBytes(hook.string() + ".refused-20250101T000000Z-" + std::to_string(index + 2),
                testCase.earlier[index]);
        test::CapturedLog log;
        {
            GitGuard run = scene.guard();
            for (int index = 0; index < testCase.changes; ++index) {
                writeHook(hook, "c" + std::to_string(index));
                auto moved = run.compareAll();
                ASSERT_EQ(moved.size(), 1u);
                if (index == 1 && testCase.secondReplaced) {
                    test::writeBytes(scene.home.root / "someone's", "someone's");
                    fs::rename(scene.home.root / "someone's", moved[0].path);
                }
                if (index == 1 && testCase.secondRewritten)
                    rewrittenInPlace(moved[0].path, "someone's");
            }
        }
        EXPECT_EQ(besideIt(hook), testCase.kept);
        EXPECT_EQ(test::readFile(hook), kHook);
        std::size_t removed = 0;
        for (const auto& line : log.lines()) {
            for (auto at = line.find(" was removed"); at != std::string::npos;
                 at = line.find(" was removed", at + 1))
                ++removed;
        }
        EXPECT_EQ(removed, testCase.removed);
    }
}

namespace {

// Where a command moves the user's Git folder, or a folder above it, in "<place>/project" beside
// "<place>/other": each a repository as `git init` makes one, written without Git so that a peer as an
// ordinary user makes it too, with the user's pre-commit.
struct Whereabouts {
    const char* name;
    std::function<void(const fs::path& place)> change; // during the run
    std::size_t aside; // how many changes the run's comparisons move aside
    const char* at = "project/.git"; // where the user's Git folder is once the user is done
    std::function<void(const fs::path& place)> usersAfter = nullptr;
    bool asNobody = false;
};

void renamed(const fs::path& from, const fs::path& to, unsigned flags = 0)
{
    ASSERT_EQ(::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags), 0) << from;
}

const Whereabouts kWhereabouts[] = {
    { "a link swapped for .git",
        [](const fs::path& place) {
            renamed(place / "project/.git", place / "project/.git-real");
            fs::create_directory_symlink(".git-real", place / "project/.git");
        },
        1, "project/.git", nullptr, true },
    { "a link swapped for .git in a work tree left unwritable",
        [](const fs::path& place) {
            renamed(place / "project/.git", place / "project/.git-real");
            fs::create_directory_symlink(".git-real", place / "project/.git");
            fs::permissions(place / "project", fs::perms(0555));
        },
        1, "project/.git", nullptr, true },
    { "a link swapped for the work tree",
        [](const fs::path& place) {
            renamed(place / "project", place / "project-real");
            fs::create_directory_symlink("project-real", place / "project");
        },
        1 },
    { "a new folder around the user's .git renamed into the work tree's place",
        [](const fs::path& place) {
            fs::create_directory(place / "new");
            renamed(place / "project/.git", place / "new/.git");
            renamed(place / "project", place / "project-old");
            renamed(place / "new", place / "project");
        },
        0 },
    { "two repositories' Git folders exchanged",
        [](const fs::path& place) { renamed(place / "project/.git", place / "other/.git", RENAME_EXCHANGE); },
        0, "project/.git", nullptr, true },
    { "two repositories' hooks folders exchanged",
        [](const fs::path& place) {
            renamed(place / "project/.git/hooks", place / "other/.git/hooks", RENAME_EXCHANGE);
        },
        0, "project/.git", nullptr, true },
    { "moved aside by name, planted, moved back by the user after the run",
        [](const fs::path& place) {
            renamed(place / "project/.git", place / "project/.git-old");
            writeHook(place / "project/.git-old/hooks/post-checkout", kPlanted);
        },
        1, "project/.git",
        [](const fs::path& place) { renamed(place / "project/.git-old", place / "project/.git"); } },
    { "the work tree renamed, then planted",
        [](const fs::path& place) {
            renamed(place / "project", place / "project2");
            writeHook(place / "project2/.git/hooks/post-checkout", kPlanted);
        },
        1, "project2/.git" },
};

// Runs the row in "<root>/place", its record in "<root>/data": how many changes went aside, and where
// the repositories' Git folders are not as the user left them, or a plant stays.
std::string afterTheRun(
    const Whereabouts& row, const fs::path& root, const GitCountedSettings::Reader& settings)
{
    const fs::path place = root / "place";
    for (const char* repository : { "project", "other" }) {
        writeGitFolder(place / repository / ".git", "#!/bin/sh\ntouch pre-commit-ran\n");
    }
    const ino_t project = inodeOf(place / "project/.git");
    const ino_t other = inodeOf(place / "other/.git");
    std::size_t aside = 0;
    {
        GitGuard guard(
            { { place / "project/.git", place / "project" }, { place / "other/.git", place / "other" } }, {},
            {}, { .places = { place }, .liveRuns = root / "data", .settings = settings, .clock = [] {
                     return kNow;
                 } });
        row.change(place);
        aside = guard.compareAll().size();
        aside += guard.compareAll().size();
    }
    if (row.usersAfter)
        row.usersAfter(place);
    std::error_code gone;
    fs::permissions(place / "project", fs::perms::owner_all, fs::perm_options::add, gone);
    const fs::path at = place / row.at;
    std::string outcome = std::to_string(aside) + " aside";
    if (inodeOf(at) != project)
        outcome += ", the user's Git folder is not at " + std::string(row.at);
    if (inodeOf(place / "other/.git") != other)
        outcome += ", the other Git folder is not at its name";
    if (existsAt(at / "hooks/post-checkout"))
        outcome += ", the plant stays";
    return outcome;
}

const Whereabouts& whereaboutsRow(const std::string& name)
{
    return *std::find_if(std::begin(kWhereabouts), std::end(kWhereabouts),
        [&](const Whereabouts& row) { return name == row.name; });
}

// Git is outside the peer's root: the configurations stay as they were, so no setting is read.
[[maybe_unused]] const bool registeredWhereabouts = test::registerUnprivilegedCheck(
    "whereabouts", [](const std::string& name) { return afterTheRun(whereaboutsRow(name), "/", nullptr); });

}

// A Git folder is known by its identity wherever a command moves it: what took its name goes aside and
// the user's folder comes back there, two traded are traded back, a work tree is its Git folder wherever
// that lies, and one moved is compared where it went.
TEST(GitGuardPutBack, TheUsersGitFolderIsKnownWhereverItMoves)
{
    for (const auto& row : kWhereabouts) {
        SCOPED_TRACE(row.name);
        const std::string expected = std::to_string(row.aside) + " aside";
        test::TemporaryHome home;
        test::CapturedLog log;
        EXPECT_EQ(afterTheRun(row, home.root, GitCountedSettings::gitReaderForThisProcess()), expected);
        // The user's own hook still runs, and a push works.
        const fs::path project = (home.root / "place" / row.at).parent_path();
        git(home.root, { "init", "-q", "--bare", "origin.git" });
        git(project, { "commit", "-q", "--allow-empty", "-m", "x" });
        EXPECT_TRUE(existsAt(project / "pre-commit-ran"));
        git(project, { "push", "-q", (home.root / "origin.git").string(), "HEAD:refs/heads/main" });
        if (row.asNobody) {
            EXPECT_EQ(runAsNobody("whereabouts", row.name), expected);
        }
    }
}

// A writer that renames its file into place between the guard's reading and its trade, as Git commits
// its "config.lock", keeps its write: only what counted in the writer's file is taken out. The guard
// never takes that lock, so that no Git command of the bot's fails on it; a lock no writer releases
// holds the guard off for a few readings only.
TEST(GitGuardPutBack, AWriteBetweenTheReadingAndTheTradeIsKept)
{
    static fs::path config;
    static bool lockLeft = false;
    const std::string counted = "[core]\n\tfsmonitor = x\n";
    const std::string remote = "[remote \"o\"]\n\turl = y\n";
    // Without what counted: here the configuration's first two lines.
    GitGuardPutBack::MadeFromNow withoutCounted = [](const GitNotedFiles::NotedFile& now) {
        auto rest = now.content.substr(now.content.find('\n', now.content.find('\n') + 1) + 1);
        return GitNotedFiles::NotedFile { GitNotedFiles::NotedFile::Kind::file, rest, now.mode };
    };
    for (bool leftLocked : { false, true }) {
        SCOPED_TRACE(leftLocked ? "the lock left behind" : "the lock released");
        test::TemporaryFolder temporary;
        const fs::path place = resolvingSymlinks(temporary.path()).value();
        config = place / "config";
        lockLeft = leftLocked;
        test::writeBytes(config, counted);
        GitGuardPutBack::stepSeam = [](Step step) {
            static fs::path written;
            if (step != Step::copyMade || std::exchange(written, config) == config)
                return;
            EXPECT_FALSE(fs::exists(config.string() + ".lock"));
            test::writeBytes(
                config.string() + ".lock", "[core]\n\tfsmonitor = x\n[remote \"o\"]\n\turl = y\n");
            if (lockLeft)
                fs::copy_file(config.string() + ".lock", config.string() + ".new");
            fs::rename(config.string() + (lockLeft ? ".new" : ".lock"), config);
        };
        auto undone = GitGuardPutBack::undo(
            place / "data", BeneathPlaces({ place }), config, {}, 4096, [] { return kNow; }, nullptr,
            withoutCounted);
        GitGuardPutBack::stepSeam = nullptr;
        ASSERT_TRUE(undone && undone->putBack);
        EXPECT_EQ(test::readFile(config), remote);
        EXPECT_EQ(besideIt(config), std::vector<std::string> { counted + remote });
        EXPECT_EQ(fs::exists(config.string() + ".lock"), leftLocked);
    }
}

// Real Git writing the configuration in a loop while the guard trades it again and again for the same
// file without what counted: no Git command fails on a lock, and no write is lost from the name.
TEST(GitGuardPutBack, GitWritingWhileTheGuardTradesNeitherFailsNorLosesAWrite)
{
    test::TemporaryFolder temporary;
    const fs::path place = resolvingSymlinks(temporary.path()).value();
    const fs::path config = place / "config";
    test::writeBytes(config, "");
    GitGuardPutBack::MadeFromNow withoutMonitor = [](const GitNotedFiles::NotedFile& now) {
        std::string kept;
        std::istringstream lines(now.content);
        for (std::string line; std::getline(lines, line);)
            if (line.find("fsmonitor") == std::string::npos)
                kept += line + "\n";
        return GitNotedFiles::NotedFile { GitNotedFiles::NotedFile::Kind::file, kept, now.mode };
    };
    constexpr int kWrites = 40;
    std::atomic<bool> done = false;
    std::vector<std::string> failed;
    std::thread writer([&] {
        for (int write = 0; write < kWrites; ++write)
            for (const std::string& setting :
                { std::string("core.fsmonitor"), "kept.w" + std::to_string(write) })
                if (test::runPeer({ "git", "config", "--file", config.string(), setting, "x" }).exitStatus
                    != 0)
                    failed.push_back(setting);
        done = true;
    });
    // The guard wakes at times spread across Git's, as a watch under load does.
    const BeneathPlaces places({ place });
    std::minstd_rand spread;
    while (!done) {
        GitGuardPutBack::undo(
            place / "data", places, config, {}, 4096, [] { return kNow; }, nullptr, withoutMonitor);
        std::this_thread::sleep_for(std::chrono::microseconds(spread() % 2000));
    }
    writer.join();
    EXPECT_EQ(failed, std::vector<std::string> {});
    const std::string kept = test::readFile(config);
    for (int write = 0; write < kWrites; ++write)
        EXPECT_NE(kept.find("w" + std::to_string(write) + " = x"), std::string::npos) << write;
}

// On a file system with neither renameat2's flags nor hard links, a configuration that counts cannot go
// aside: the same file without the settings that counted takes its place, and the rest of the change
// stays.
TEST(GitGuardPutBack, AConfigurationThatCannotGoAsideLosesOnlyWhatCounted)
{
    Scene scene;
    const fs::path config = scene.project / ".git/config";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Renames::refuseFlagsForTests(true);
        if (!withoutHardLinks())
            ::_exit(2);
        GitGuard run = scene.guard();
        test::writeBytes(
            config, test::readFile(config) + "[core]\n\tfsmonitor = touch /tmp/ran\n[user]\n\tname = Bot\n");
        auto moved = run.compareAll();
        ::_exit(moved.size() == 1 && moved[0].path == config && !moved[0].stayed ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(
        test::runPeer({ "git", "-C", scene.project.string(), "config", "core.fsmonitor" }).exitStatus, 1);
    EXPECT_EQ(test::runPeer({ "git", "-C", scene.project.string(), "config", "user.name" }).output, "Bot\n");
    EXPECT_EQ(test::runPeer({ "git", "-C", scene.project.string(), "remote", "get-url", "origin" }).output,
        "https://example.com/x.git\n");
}
