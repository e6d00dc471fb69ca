// What a put-back leaves wherever the process is killed in it, what the next start knows of the killed
// run, and what is kept of the files changes went aside as.
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

// Makes renameat2 refuse to trade two names in this process from now on, as some file systems do.
bool withoutExchange()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program { static_cast<unsigned short>(std::size(filter)), filter };
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
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

    GitGuard guard() const
    {
        return GitGuard({ { project / ".git", project } }, {}, {},
            { .places = { home.root },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess(),
                .clock = [] { return kNow; } });
    }

    // In a process of its own: a run notes the project, `change` is made during it, and the run is
    // killed as its comparison reaches `killedAt`, or before it compares.
    void killedRun(const std::function<void(const Scene&)>& change, std::optional<Step> killedAt) const
    {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            GitGuard run = guard();
            change(*this);
            atStep = [killedAt](Step step) {
                if (step == killedAt)
                    ::kill(::getpid(), SIGKILL);
            };
            GitGuardPutBack::stepSeam = [](Step step) { atStep(step); };
            if (killedAt)
                run.compareAll();
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
    }

    void restoreLeftBehind() const
    {
        GitGuard::restoreLeftBehind(
            home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });
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
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        const fs::path file = scene.project / testCase.file;
        const bool configuration = file.filename() == "config";
        const std::string users = test::readFile(file);
        const unsigned mode = configuration ? 0644u : 0755u;
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
        if (testCase.withoutExchange) {
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                if (!withoutExchange())
                    ::_exit(1);
                scene.restoreLeftBehind();
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            scene.restoreLeftBehind();
        }
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

// What the killed run noted is the next start's to compare, however it finds it: a submodule that run
// noted is no new repository, and a Git folder away at the next start stays in the record until a later
// run sees it come back.
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
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Scene scene;
        testCase.prepare(scene);
        scene.killedRun(testCase.change, std::nullopt);
        test::CapturedLog log;
        scene.restoreLeftBehind();
        testCase.later(scene);
        EXPECT_TRUE(testCase.holds(scene));
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
