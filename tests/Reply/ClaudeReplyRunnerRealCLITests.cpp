// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint:
// what its commands may reach, and a question still open when the run ends.
#include "tests/Reply/ReplyRunnerFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

namespace {

// A temporary folder made as the runner makes one for each run, standing for another conversation's
// run that is still going on.
struct OtherRunFolder {
    fs::path path = ClaudeReplyRunner::makeTemporaryFolder();
    ~OtherRunFolder() { ClaudeReplyRunner::removeQuietly(path); }
};

}

// Once the process has gone, as at a time limit, closing the gate must not wait for the user.
TEST(ClaudeReplyRunnerRealCLI, AQuestionStillOpenWhenTheProcessEndsEndsWithIt)
{
    RunnerWorld world;
    fs::path project = world.home / "project";
    fs::create_directories(project / ".git");
    world.openGates();
    world.startReal(JSON::array({ test::writeStep(project / ".git/notes", "x"), test::textStep("Done.") }));
    std::promise<void> asked;
    bool endedWithTheRun = false;
    auto control = world.control([&](const JSON&, std::stop_token runEnded) {
        asked.set_value();
        std::mutex lock;
        std::unique_lock guard(lock);
        // Bounded, so that a question the run's end does not reach fails the test instead of hanging it.
        std::condition_variable_any().wait_for(
            guard, runEnded, std::chrono::seconds(60), [] { return false; });
        endedWithTheRun = runEnded.stop_requested();
        return std::string("canceled");
    });
    auto job = RunnerWorld::submission();
    job.permissions = PermissionSettings {};
    job.permissions->folders = { PermissionSettings::Folder { project.string(), true } };
    std::stop_source stop;
    auto run = std::async(std::launch::async, [&] {
        return test::replyOrError([&] { return world.runner->run(job, control, stop.get_token()).reply; });
    });
    ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);
    stop.request_stop();
    EXPECT_EQ(run.get(), "stopped");
    EXPECT_TRUE(endedWithTheRun);
}

TEST(ClaudeReplyRunnerRealCLI, CommandsSeeNoOtherTemporaryFilesAndCannotPlantAGitHook)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    RunnerWorld world;
    fs::path granted = fs::canonical(world.folder.path()) / "project";
    fs::create_directories(granted);
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", granted.string() }).exitStatus, 0);
    fs::path looseFile = fs::canonical(world.folder.path()) / "loose.txt";
    std::ofstream(looseFile) << "loose-marker-7Qz";
    OtherRunFolder otherRun;
    std::ofstream(otherRun.path / "output.txt") << "other-run-marker-4Kx";
    const std::string g = "'" + granted.string() + "'";
    // Each command runs as one step; the note is committed, which leaves the rest of Git's folder writable.
    const std::vector<std::string> commands
        = { "cat '" + looseFile.string() + "'", "cat '" + (otherRun.path / "output.txt").string() + "'",
              "echo 'echo pwned' > " + g + "/.git/hooks/pre-commit",
              "echo own-folder > \"$TMPDIR/own.txt\" && cp \"$TMPDIR/own.txt\" " + g + "/notes.txt",
              "cd " + g
                  + " && git add notes.txt && git -c user.name=Bot -c user.email=bot@example.com commit -qm "
                    "committed-from-a-command" };
    world.openGates();
    world.startReal(test::commandSteps(commands));
    auto job = RunnerWorld::submission("Run the commands.");
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders = { PermissionSettings::Folder { granted.string(), true } };
    EXPECT_EQ(world.run(job).reply, "Done.");

    std::string log = world.model->requestLog();
    EXPECT_EQ(log.find("loose-marker-7Qz"), std::string::npos);
    EXPECT_EQ(log.find("other-run-marker-4Kx"), std::string::npos);
    EXPECT_FALSE(fs::exists(granted / ".git/hooks/pre-commit"));
    EXPECT_EQ(test::readFile(granted / "notes.txt"), "own-folder\n") << log;
    EXPECT_EQ(test::runPeer({ "git", "-C", granted.string(), "log", "--format=%s" }).output,
        "committed-from-a-command\n");
    // Commands the user never granted ran in the sandbox, approved by nobody.
    auto activity = world.data->activity.entries("ios-1");
    EXPECT_EQ(activity.size(), commands.size());
    for (const auto& entry : activity)
        EXPECT_EQ(entry.subscript("approved"), nullptr) << entry.encoded();
}

// The phone uploads into a conversation while the command of its first run is still going: the upload
// is stored as any other, through what the relay's upload route calls.
TEST(ClaudeReplyRunnerRealCLI, AnUploadWhileTheFirstRunsCommandGoesOnIsStored)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    RunnerWorld world;
    // The command goes on until the test releases it, two minutes at most.
    world.startReal(test::commandSteps({ "echo up > started; for i in $(seq 1200); do test -e released && "
                                         "break; sleep 0.1; done" }));
    auto job = RunnerWorld::submission("Wait.");
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    auto reply = std::async(std::launch::async, [&] { return world.run(job).reply; });
    fs::path work = world.workFolder("ios-1");
    ASSERT_TRUE(test::eventuallyWithin(120, [&] { return fs::exists(work / "started"); }));

    std::ofstream(world.folder / "spool") << "a note";
    std::string stored = test::replyOrError([&] {
        return *world.data->uploads.receive(world.folder / "spool", "ios-1", "note.txt", "text/plain")
                    .subscript("fileId")
                    ->stringValue();
    });
    std::ofstream(work / "released") << "";
    EXPECT_EQ(reply.get(), "Done.");
    EXPECT_TRUE(stored.starts_with("uploads/") && stored.ends_with("-note.txt")) << stored;
    EXPECT_EQ(test::readFile(work / stored), "a note");
}
