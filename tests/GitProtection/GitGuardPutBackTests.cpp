// What a put-back leaves wherever the process is killed in it, what the next start knows of the killed
// run, and what is kept of the files changes went aside as.
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
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

// What each step of a put-back does in this process: set by a test, for the put-backs it starts.
std::function<void(Step)> atStep;

// A repository at "<root>/project" with the user's hook and remote, held by a run that is killed.
struct Scene {
    test::TemporaryHome home;
    fs::path project = home.root / "project";

    Scene()
    {
        fs::create_directories(project);
        git(project, { "init", "-q" });
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
            if (killedAt) {
                atStep = [at = *killedAt](Step step) {
                    if (step == at)
                        ::kill(::getpid(), SIGKILL);
                };
                GitGuardPutBack::stepSeam = [](Step step) { atStep(step); };
                run.compareAll();
            }
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

// The bytes of each file beside `file` that a change of it went aside as, or that a put-back was making.
std::vector<std::string> besideIt(const fs::path& file)
{
    std::vector<std::string> held;
    for (const auto& name : test::namesIn(file.parent_path())) {
        if (name.starts_with(file.filename().string() + ".refused-")
            || name.find(".put-back-") != std::string::npos)
            held.push_back(name.find(".put-back-") != std::string::npos
                    ? "put-back"
                    : test::readFile(file.parent_path() / name));
    }
    return held;
}

}

// Killed at any step of a put-back, or with the name empty, the next start finds the user's file at its
// name, and the command's change kept beside it; nothing it writes replaces what came at the name since.
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
        // Written at the name by someone else as the next start's copy is made.
        const char* writtenMeanwhile = nullptr;
    };
    const Case cases[] = {
        { "a hook, killed with the copy made beside the change", ".git/hooks/pre-commit", kPlanted,
            Step::copyMade },
        { "a hook, killed once the copy took the change's place", ".git/hooks/pre-commit", kPlanted,
            Step::traded },
        { "a configuration, killed with the copy made beside the change", ".git/config", fsmonitor,
            Step::copyMade },
        { "a configuration, killed once the copy took the change's place", ".git/config", fsmonitor,
            Step::traded },
        { "a configuration left missing", ".git/config", std::nullopt, std::nullopt },
        { "a hook left missing", ".git/hooks/pre-commit", std::nullopt, std::nullopt },
        { "a hook left missing, then written as the copy is made", ".git/hooks/pre-commit", std::nullopt,
            std::nullopt, "#!/bin/sh\necho mine\n" },
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
            atStep = [&](Step) { writeHook(file, testCase.writtenMeanwhile); };
            GitGuardPutBack::stepSeam = [](Step step) { atStep(step); };
        }
        test::CapturedLog log;
        scene.restoreLeftBehind();
        GitGuardPutBack::stepSeam = nullptr;

        EXPECT_EQ(test::readFile(file), testCase.writtenMeanwhile ? testCase.writtenMeanwhile : users);
        struct stat status { };
        EXPECT_EQ(::lstat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0, mode);
        auto beside = besideIt(file);
        EXPECT_EQ(std::count(beside.begin(), beside.end(), changed), testCase.written ? 1 : 0);
        EXPECT_EQ(std::count(beside.begin(), beside.end(), "put-back"), 0);
    }
}
