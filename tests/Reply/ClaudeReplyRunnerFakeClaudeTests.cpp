// The reply runner's turns against the python3 stand-in for `claude`, which records how each start was
// made and ends as each test scripts it.
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <stop_token>
#include <sys/inotify.h>
#include <utility>

using namespace vellumar;
namespace fs = std::filesystem;
using test::argumentAfter;
using test::kFakeSessionID;
using test::replyStep;
using test::RunnerWorld;
using test::stdinOf;

TEST(ClaudeReplyRunnerWithFakeClaude, FailedStoppedAndTimedOutRunsLeaveNothingBehindAndRecordNothing)
{
    // What the test does once the stand-in hangs. The runner's clock stands still until the test moves it
    // past the time limit, so that no limit comes before the stand-in has recorded its start.
    enum class OnceHanging { none, stop, passTheTimeLimit };
    struct Case {
        const char* name;
        JSON step;
        OnceHanging onceHanging;
        std::string error;
    };
    const Case cases[] {
        { "failed", test::failStep("error: unknown option '--restricted'\n", 3), OnceHanging::none,
            "502 claude_failed Claude Code on the Mac is too old. Run claude update in Terminal." },
        { "stopped", test::kHangStep, OnceHanging::stop, "stopped" },
        { "timed out", test::kHangStep, OnceHanging::passTheTimeLimit,
            "504 timeout The reply took longer than its time limit (10 min)." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto begun = std::chrono::steady_clock::now();
        std::atomic<bool> late = false;
        RunnerWorld world;
        world.play(JSON::array({ testCase.step }));
        world.openGates();
        world.options.now = [&] { return begun + (late ? std::chrono::hours(1) : std::chrono::hours(0)); };
        world.start();
        const auto job = RunnerWorld::submission();
        std::stop_source stop;
        auto outcome = std::async(std::launch::async,
            [&] { return test::replyOrError([&] { return world.run(job, stop.get_token()).reply; }); });
        if (testCase.onceHanging != OnceHanging::none) {
            ASSERT_TRUE(world.awaitHanging());
            if (testCase.onceHanging == OnceHanging::stop)
                stop.request_stop();
            else
                late = true;
        }
        EXPECT_EQ(outcome.get(), testCase.error);
        auto calls = world.calls();
        EXPECT_EQ(calls.size(), 1u);
        for (const auto& call : calls) {
            EXPECT_FALSE(fs::exists(*call.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue()));
            EXPECT_FALSE(fs::exists(test::gateFolder(call)));
        }
        EXPECT_FALSE(fs::exists(world.workFolder("ios-1") / "CLAUDE.md"));
        EXPECT_FALSE(world.data->sessions.entry("ios-1", "bot-1"));
    }
}

// A lost session, or an unusable end of a resumed run whose input carried notices, is retried once in
// a new session that gets the hand-over and the notices again, if the time limit leaves room for it.
TEST(ClaudeReplyRunnerWithFakeClaude, AResumedRunIsRetriedOnceInANewSessionWhenItCannotGoOn)
{
    const std::string stoppedNote = "[Stopped reply] Your previous reply was stopped.";
    const JSON lost = test::failStep("No Conversation Found with session ID: old-session-1\n");
    const JSON failed
        = JSON::object({ { "stdout", JSON::array({ test::resultLine("Tool use was interrupted.", true) }) },
            { "exit", 1 } });
    struct Case {
        const char* name;
        JSON steps;
        bool noticed;
        int secondsUsed; // by the first run, as the runner's clock sees it
        std::string outcome;
        std::size_t starts;
    };
    const Case cases[] {
        { "lost, then answered", JSON::array({ lost, replyStep("Fresh.") }), false, 0, "Fresh.", 2 },
        { "lost with five seconds left", JSON::array({ lost }), false, 595,
            "504 timeout The reply took longer than its time limit.", 1 },
        { "an error with a notice", JSON::array({ failed, replyStep("Fresh.") }), true, 0, "Fresh.", 2 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        world.play(testCase.steps);
        world.storeSession({ { "summary", "We planned the trip to Lyon." } });
        auto begun = std::chrono::steady_clock::now();
        std::atomic<int> reads = 0;
        world.options.now = [&] { return begun + std::chrono::seconds(reads++ ? testCase.secondsUsed : 0); };
        world.start();
        auto note = testCase.noticed ? std::optional(stoppedNote) : std::nullopt;
        EXPECT_EQ(test::replyOrError([&] { return world.run(RunnerWorld::submission(), {}, note).reply; }),
            testCase.outcome);
        auto calls = world.calls();
        ASSERT_EQ(calls.size(), testCase.starts);
        EXPECT_EQ(argumentAfter(calls[0], "--resume"), "old-session-1");
        if (testCase.starts == 2) {
            EXPECT_FALSE(argumentAfter(calls[1], "--resume"));
            EXPECT_NE(stdinOf(calls[1]).find("We planned the trip to Lyon."), std::string::npos);
            EXPECT_NE(world.data->sessions.sessionID("ios-1", "bot-1"), "old-session-1");
        }
        for (const auto& call : testCase.noticed ? calls : std::vector<JSON> {})
            EXPECT_LT(stdinOf(call).find(stoppedNote), stdinOf(call).find("Hello"));
    }
}

TEST(ClaudeReplyRunnerWithFakeClaude, AStoppedJobWaitingForTheConversationGivesWayToTheNext)
{
    RunnerWorld world;
    world.play(JSON::array({ test::kHangStep, replyStep("Third.") }));
    world.start();
    std::stop_source firstStop;
    std::stop_source secondStop;
    auto first = std::async(
        std::launch::async, [&] { return world.run(RunnerWorld::submission(), firstStop.get_token()); });
    ASSERT_TRUE(world.awaitHanging());
    secondStop.request_stop();
    auto second = std::async(
        std::launch::async, [&] { return world.run(RunnerWorld::submission(), secondStop.get_token()); });
    auto third = std::async(std::launch::async, [&] { return world.run(RunnerWorld::submission()); });
    firstStop.request_stop();
    EXPECT_THROW(first.get(), CancellationError);
    EXPECT_THROW(second.get(), CancellationError);
    EXPECT_EQ(third.get().reply, "Third.");
    // The stopped second job never started Claude Code.
    EXPECT_EQ(world.calls().size(), 2u);
}

// What the guard could not undo reaches the user with the stop of a reply: a part of the user's hooks
// folder whose name leaves no room to move it aside, written while the run hangs.
TEST(ClaudeReplyRunnerWithFakeClaude, AStoppedReplyStillTellsWhatStayed)
{
    RunnerWorld world;
    const fs::path project = fs::canonical(world.folder.path()) / "project";
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0);
    ASSERT_EQ(
        test::runPeer({ "git", "-C", project.string(), "config", "core.hooksPath", ".githooks" }).exitStatus,
        0);
    fs::create_directories(project / ".githooks");
    world.play(JSON::array({ test::kHangStep }));
    world.start();
    auto job = RunnerWorld::submission();
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders = { PermissionSettings::Folder { project.string(), true } };
    std::stop_source stop;
    auto told = std::async(std::launch::async, [&] {
        try {
            world.run(job, stop.get_token());
            return std::string("not stopped");
        } catch (const CancellationError& stopped) {
            return stopped.note.value_or("stopped without a note");
        }
    });
    ASSERT_TRUE(world.awaitHanging());
    const fs::path part = project / ".githooks" / (std::string(240, 'x') + ".sh");
    test::writeExecutable(part, "#!/bin/sh\n");
    stop.request_stop();
    EXPECT_TRUE(told.get().starts_with(
        "(From Vellumar for Mac: the Git protection could not undo what changed in "
        "these repositories during this reply; Git run there may act on it until it is removed.\n- In "
        + project.string() + ": " + part.string()));
}

// From a hundred thousand tokens Claude Code compacts by itself; below, the relay compacts before the
// turn, which goes on in the old session when that fails. No run finds an instruction file another left.
TEST(ClaudeReplyRunnerWithFakeClaude,
    AutomaticCompactionIsClaudeCodesFromAHundredThousandTokensAndTheRelaysBelow)
{
    const JSON hi = JSON::array({ replyStep("Hi.") });
    struct Case {
        const char* name;
        AutoCompactSetting setting;
        bool storedSession;
        JSON steps;
        std::optional<std::string> option;
        std::optional<JSON> compacted;
        std::optional<std::string> turnResumes;
    };
    const Case cases[] {
        { "auto at 100000", { "auto", 100'000 }, true, hi, "100000", std::nullopt, "old-session-1" },
        { "auto at 50000 with 60000 stored tokens", { "auto", 50'000 }, true,
            JSON::array({ replyStep("The summary.", { { "writeClaudeFile", true } }),
                replyStep("OK", { { "writeClaudeFile", true } }), replyStep("Hi.") }),
            std::nullopt, JSON::object({ { "by", "relay" }, { "summary", "The summary." } }),
            kFakeSessionID },
        { "a failed compaction", { "auto", 50'000 }, true,
            JSON::array({ replyStep("```action\n{}\n```"), replyStep("Hi.") }), std::nullopt, std::nullopt,
            "old-session-1" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        world.play(testCase.steps);
        if (testCase.storedSession)
            world.storeSession({ { "contextTokens", 60'000 } });
        world.start();
        auto job = RunnerWorld::submission();
        job.autoCompact = testCase.setting;
        ReplyOutput output = world.run(job);
        EXPECT_EQ(output.reply, "Hi.");
        EXPECT_EQ(output.compacted, testCase.compacted);
        auto calls = world.calls();
        EXPECT_EQ(argumentAfter(calls.back(), "--autocompact"), testCase.option);
        EXPECT_EQ(argumentAfter(calls.back(), "--resume"), testCase.turnResumes);
        for (const auto& call : calls)
            EXPECT_EQ(*call.subscript("claudeFileFound"), JSON(false));
    }
}

// Set in the copy of the test below that runs where no inotify watch can be set.
constexpr const char* kNoWatches = "VELLUMAR_TEST_NO_INOTIFY_WATCHES";

// A "commondir" written after the last tool result, as by a command left running in the background, is
// still moved aside when the run ends; without commands only an approved write can make one, and it
// stays. So too where the guard's watch can set no watch, and only the run's last comparison sees it
// in time: in a user namespace of its own whose inotify watch limit is 0.
TEST(ClaudeReplyRunnerWithFakeClaude, ACommonDirLeftAtTheRunsEndIsMovedAsideWhenCommandsRan)
{
    const bool noWatches = std::getenv(kNoWatches) != nullptr;
    if (noWatches) {
        std::ofstream("/proc/sys/user/max_inotify_watches") << 0;
        FileDescriptor events(::inotify_init1(IN_CLOEXEC));
        ASSERT_EQ(::inotify_add_watch(events.get(), ".", IN_CREATE), -1);
    }
    for (bool commands : { true, false }) {
        SCOPED_TRACE(commands ? "commands on" : "commands off");
        RunnerWorld world;
        fs::path granted = fs::canonical(world.folder.path()) / "project";
        fs::create_directories(granted / ".git");
        world.play(JSON::array({ replyStep("Done.", { { "hang", true } }) }));
        world.start();
        auto job = RunnerWorld::submission();
        job.permissions = PermissionSettings {};
        job.permissions->bash = commands;
        job.permissions->folders = { PermissionSettings::Folder { granted.string(), true } };
        auto reply = std::async(std::launch::async, [&] { return world.run(job).reply; });
        ASSERT_TRUE(world.awaitHanging());
        std::ofstream(granted / ".git/commondir") << "../.g2\n";
        world.releaseHanging();
        EXPECT_EQ(reply.get(), "Done.");
        EXPECT_EQ(fs::exists(granted / ".git/commondir"), !commands);
        auto entries = std::distance(fs::directory_iterator(granted / ".git"), fs::directory_iterator());
        EXPECT_EQ(entries, 1);
    }
    if (noWatches)
        return;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    auto unwatched = test::runPeer({ "unshare", "--user", "--map-root-user", "env",
        std::string(kNoWatches) + "=1", fs::read_symlink("/proc/self/exe").string(),
        "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name() });
    EXPECT_EQ(unwatched.exitStatus, 0) << unwatched.output;
}

// While a run lasts, Git and libgit2 open each place's repository, its ".git" a folder or a link to one in
// another writable place; when the host is killed during the run, its next start removes each placeholder
// that still holds what was written, and moves aside a hook planted since the run began.
TEST(ClaudeReplyRunnerWithFakeClaude, RepositoriesOpenDuringARunAndAKilledHostsPlaceholdersGoAtTheNextStart)
{
    const char* hostOf = std::getenv(test::kKilledHostOf);
    RunnerWorld world;
    const fs::path root = fs::canonical(hostOf ? fs::path(hostOf) : world.folder.path());
    const fs::path plain = root / "plain";
    const fs::path linked = root / "linked";
    // Where the linked repository's Git folder lies: a writable place of its own.
    const fs::path store = root / "store";
    auto job = RunnerWorld::submission();
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders
        = { { plain.string(), true }, { linked.string(), true }, { store.string(), true } };
    if (hostOf)
        test::runAsKilledHost(world, root, job, false);
    for (const auto& project : { plain, linked })
        ASSERT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0);
    fs::create_directories(store);
    fs::rename(linked / ".git", store / "linked.git");
    fs::create_directory_symlink(store / "linked.git", linked / ".git");
    world.play(JSON::array({ replyStep("Done.", { { "hang", true } }) }));
    test::InteractivePeer host(test::killedHostCommand(world));
    ASSERT_TRUE(world.awaitHanging());

    struct Case {
        const char* name;
        std::vector<std::string> command;
        std::string output;
    };
    for (const auto& [project, git] :
        { std::pair { plain, plain / ".git" }, std::pair { linked, store / "linked.git" } }) {
        SCOPED_TRACE(project);
        EXPECT_EQ(test::readFile(git / "commondir"), "../" + git.filename().string() + "\n");
        const std::string path = project.string();
        const Case cases[] = {
            { "git rev-parse", { "git", "-C", path, "rev-parse", "--git-common-dir" }, git.string() + "\n" },
            { "git commit",
                { "git", "-C", path, "-c", "user.name=T", "-c", "user.email=t@example.com", "commit", "-q",
                    "--allow-empty", "-m", "During the run" },
                "" },
            { "git status", { "git", "-C", path, "status", "--porcelain" }, "" },
            { "git worktree add", { "git", "-C", path, "worktree", "add", "-q", path + "-worktree" }, "" },
            { "libgit2",
                { "/usr/bin/python3", "-c",
                    "import pygit2, sys\nr = pygit2.Repository(sys.argv[1])\n"
                    "print(r.workdir, len(list(r.walk(r.head.target))))",
                    path },
                path + "/ 1\n" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto result = test::runPeer(testCase.command);
            EXPECT_EQ(result.exitStatus, 0);
            EXPECT_EQ(result.output, testCase.output);
        }
    }

    host.kill();
    EXPECT_EQ(host.wait(), 128 + SIGKILL);
    // The host's end ends the hanging fake Claude Code with it: nobody is left to release.
    // Only a host that lives to the run's end removes the run's temporary folder.
    for (const auto& call : world.calls())
        fs::remove_all(*call.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue());
    std::ofstream(store / "linked.git/commondir") << "../..\n";
    // A hook planted while the killed host could not watch.
    std::ofstream(plain / ".git/hooks/pre-commit") << "#!/bin/sh\n";
    // What a kill in the middle of writing the settings leaves beside them.
    const fs::path settingsCopy = world.dataFolder / "claude-settings/.ios-1.json.0123abcd";
    std::ofstream(settingsCopy) << "{";
    world.start();
    EXPECT_FALSE(fs::exists(plain / ".git/commondir"));
    // What came at the placeholder's name since is not the placeholder: it is nobody's to remove, and
    // since it sends Git elsewhere, the guard moves it aside, as anything new there.
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(store / "linked.git")) {
        if (entry.path().filename().string().starts_with("commondir."))
            aside.push_back(test::readFile(entry.path()));
    }
    EXPECT_EQ(aside, std::vector<std::string> { "../..\n" });
    EXPECT_FALSE(fs::exists(store / "linked.git/commondir"));
    EXPECT_FALSE(fs::exists(plain / ".git/hooks/pre-commit"));
    EXPECT_FALSE(fs::exists(LiveRuns::recordOf(world.dataFolder, LiveRuns::Kind::guardedUnit)));
    EXPECT_FALSE(fs::exists(settingsCopy));
    EXPECT_TRUE(fs::exists(world.dataFolder / "claude-settings/ios-1.json"));
}
