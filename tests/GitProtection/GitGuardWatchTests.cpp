// What a guarded Git folder is given goes aside while the run lasts, without waiting for the next
// check, also past a queue that overflowed; and the placeholder that keeps the repository's own ".git"
// from getting a "commondir".
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/GitGuardWatch.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace vellumar;
namespace fs = std::filesystem;
using test::existsAt;

namespace {

// A repository at "<root>/project" with a submodule's Git folder "lib" and a hook that is a hard link
// of a script in the work tree and one that is a symbolic link to another.
struct WatchedRepository {
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    fs::path git = test::madeFolder(project / ".git");
    fs::path module = test::madeFolder(git / "modules/lib");
    fs::path hooks = test::madeFolder(git / "hooks");
    fs::path scripts = test::madeFolder(project / "scripts");
    // What the configuration names, as husky 9 has it.
    fs::path husky = test::madeFolder(project / ".husky/_").parent_path();

    WatchedRepository()
    {
        std::ofstream(husky / "pre-commit") << "npm test\n";
        std::ofstream(husky / "_/h") << "#!/usr/bin/env sh\n";
        test::emptyGitFolder(git);
        test::emptyGitFolder(module);
        std::ofstream(scripts / "pre-commit.sh") << "#!/bin/sh\n";
        fs::create_hard_link(scripts / "pre-commit.sh", hooks / "pre-commit");
        std::ofstream(scripts / "pre-push.sh") << "#!/bin/sh\n";
        fs::create_symlink("../../scripts/pre-push.sh", hooks / "pre-push");
    }

    GitGuard::Options options(
        GitCountedSettings::Reader settings = GitCountedSettings::gitReaderForThisProcess()) const
    {
        return { .places = { home.root }, .liveRuns = home.data, .settings = std::move(settings) };
    }
};

// The guard of "/project" as an unprivileged user meets it: its hooks folder may be written but not read,
// so that no watch can be set there.
GitGuard guardOfProject()
{
    return GitGuard({ { "/project/.git", "/project" } }, {}, {},
        { .places = { "/project" }, .liveRuns = "/data", .settings = [](std::string_view) {
             return std::string();
         } });
}

// As an unprivileged user: guards "/project", whose hooks folder it may write but not read, so that no
// watch can be set there; plants a hook once the watch runs, and says whether the watch's periodic
// comparison moved it aside in time.
std::string plantWhereNoWatchCanBeSet(const std::string&)
{
    const fs::path git = "/project/.git";
    GitGuard guard = guardOfProject();
    GitGuardWatch watch(guard, {});
    std::ofstream(git / "hooks/pre-commit") << "#!/bin/sh\n";
    bool moved
        = test::eventually([&] { return !fs::exists(git / "hooks/pre-commit"); }, std::chrono::seconds(20));
    return std::to_string(watch.unwatchedCount()) + (moved ? " moved" : " stayed");
}

[[maybe_unused]] const bool registered = test::registerUnprivilegedCheck("plant", plantWhereNoWatchCanBeSet);

// The same, with the plant just before the run's end, long before the next periodic comparison.
std::string plantJustBeforeTheEnd(const std::string&)
{
    const fs::path git = "/project/.git";
    GitGuard guard = guardOfProject();
    GitGuardWatch watch(guard, {});
    std::ofstream(git / "hooks/pre-commit") << "#!/bin/sh\n";
    watch.finish();
    return fs::exists(git / "hooks/pre-commit") ? "stayed" : "moved";
}

[[maybe_unused]] const bool registeredAtEnd
    = test::registerUnprivilegedCheck("plant-at-end", plantJustBeforeTheEnd);

// As an unprivileged user, in the place "/work": makes a Git folder during the run, takes its own
// permission to list its hooks folder ("before" it holds HEAD, so that no watch can be set there yet, or
// "after"), plants a hook, and says whether it went aside while the run lasted.
std::string plantInANewGitFolderMadeUnlistable(const std::string& when)
{
    GitGuard guard(
        {}, {}, {}, { .places = { "/work" }, .liveRuns = "/data", .settings = [](std::string_view) {
                         return std::string();
                     } });
    GitGuardWatch watch(guard, { .places = { "/work" } });
    const fs::path git = "/work/made/.git";
    for (const char* folder : { "hooks", "objects", "refs" })
        fs::create_directories(git / folder);
    auto unlistable = [&] { fs::permissions(git / "hooks", fs::perms(0333)); };
    if (when == "before")
        unlistable();
    std::ofstream(git / "HEAD") << "ref: refs/heads/main\n";
    if (when == "after") {
        // Once the watch has judged it: a first hook goes aside.
        std::ofstream(git / "hooks/post-checkout") << "#!/bin/sh\n";
        if (!test::eventually(
                [&] { return !fs::exists(git / "hooks/post-checkout"); }, std::chrono::seconds(20)))
            return "not judged";
        unlistable();
    }
    std::ofstream(git / "hooks/pre-commit") << "#!/bin/sh\ntouch /tmp/ran\n";
    return test::eventually([&] { return !fs::exists(git / "hooks/pre-commit"); }, std::chrono::seconds(20))
        ? "moved"
        : "stayed";
}

[[maybe_unused]] const bool registeredUnlistable
    = test::registerUnprivilegedCheck("plant-in-new-unlistable", plantInANewGitFolderMadeUnlistable);

fs::path recordIn(const test::TemporaryHome& home)
{
    return LiveRuns::recordOf(home.data, LiveRuns::Kind::commonDirPlaceholder);
}

// Holds the watch's thread at its next wait for events once armed and something went aside, until let
// go: what is done meanwhile waits unseen in the queue, as on a busy machine.
struct Hold {
    std::atomic<bool> armed = false;
    std::atomic<bool> holding = false;

    void movedAside()
    {
        if (armed.exchange(false)) {
            holding = true;
            holding.notify_all();
        }
    }
    int poll(pollfd* watched, nfds_t count, int timeout)
    {
        holding.wait(true);
        return ::poll(watched, count, timeout);
    }
    void letGo()
    {
        armed = false;
        holding = false;
        holding.notify_all();
    }
};

std::size_t refusedCount(const fs::path& folder)
{
    std::size_t count = 0;
    std::error_code absent;
    for (const auto& entry : fs::directory_iterator(folder, absent))
        count += entry.path().filename().string().find(".refused-") != std::string::npos ? 1 : 0;
    return count;
}

}

// Each way a file can come to be at a watched name, or be rewritten through another name, is caught
// again and again by the watch's own thread.
TEST(GitGuardWatch, MovesAsideEachChangeWhileItLasts)
{
    WatchedRepository repository;
    test::CapturedLog log;
    // Named but not there yet, nor the folder above it.
    const fs::path sharedHooks = repository.project / "tools/hooks";
    const fs::path bin = repository.project / "node_modules/.bin";
    GitGuard guard({ { repository.git, repository.project, { repository.husky, sharedHooks }, { bin } } }, {},
        {}, repository.options());
    Hold hold;
    GitGuardWatch watch(guard,
        { .places = { repository.home.root },
            .onMovedAside = [&](const std::vector<GitGuard::MovedChange>&) { hold.movedAside(); },
            .poll = [&](pollfd* watched, nfds_t count,
                        int timeout) { return hold.poll(watched, count, timeout); } });
    EXPECT_GT(watch.watchedCount(), 0u);
    EXPECT_EQ(watch.unwatchedCount(), 0u);
    const fs::path commondir = repository.module / "commondir";
    const fs::path runner = repository.husky / "_/h";
    const std::string runnerBytes = test::readFile(runner);
    FileDescriptor heldOpen;
    std::size_t logged = 0;
    struct Case {
        const char* name;
        std::function<void()> change;
        fs::path folder; // where it goes aside
        std::size_t aside = 1; // how many more names go aside there
        std::size_t lines = 1; // how many more lines the log holds
    };
    const Case cases[] = {
        { "a commondir written", [&] { std::ofstream(commondir) << "../../../.g2\n"; }, repository.module },
        { "a commondir renamed into place",
            [&] {
                std::ofstream(repository.module / "prepared") << "../../../.g3\n";
                fs::rename(repository.module / "prepared", commondir);
            },
            repository.module },
        { "a commondir as a link", [&] { fs::create_symlink(repository.home.root, commondir); },
            repository.module },
        { "a new hook", [&] { std::ofstream(repository.hooks / "post-checkout") << "#!/bin/sh\n"; },
            repository.hooks },
        // Replaced at the hook's name rather than moved, so that the script keeps its mode.
        { "a hook rewritten through its hard link",
            [&] { std::ofstream(repository.scripts / "pre-commit.sh") << "#!/bin/sh\ntouch /tmp/ran\n"; },
            repository.hooks, 0 },
        { "a hook's link target rewritten",
            [&] { std::ofstream(repository.scripts / "pre-push.sh") << "#!/bin/sh\ntouch /tmp/ran\n"; },
            repository.scripts },
        { "a new file in a folder the configuration names",
            [&] { std::ofstream(repository.husky / "_/sh") << "#!/bin/sh\ntouch /tmp/ran\n"; },
            repository.husky / "_" },
        { "a script the configuration names rewritten",
            [&] { std::ofstream(repository.husky / "pre-commit") << "touch /tmp/ran\n"; }, repository.husky },
        { "a hook in a folder the configuration names, made with the folder above it",
            [&] { std::ofstream(test::madeFolder(sharedHooks) / "pre-commit") << "touch /tmp/ran\n"; },
            sharedHooks },
        { "a program's name where a hook puts PATH first, made with the folders above it",
            [&] { std::ofstream(test::madeFolder(bin) / "sh") << "touch /tmp/ran\n"; }, bin },
        // Truncated first, as husky's `prepare` rewrites its runner, and read so by a comparison that a
        // new hook starts before the bytes are back: no change once its writer is done.
        { "a file the configuration names rewritten with the same bytes",
            [&] {
                FileDescriptor rewritten(::open(runner.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
                std::ofstream(repository.hooks / "post-merge") << "#!/bin/sh\n";
                ASSERT_TRUE(test::eventually(
                    [&] { return log.lines().size() == logged + 1; }, std::chrono::seconds(5)));
                ASSERT_EQ(::write(rewritten.get(), runnerBytes.data(), runnerBytes.size()),
                    ssize_t(runnerBytes.size()));
            },
            repository.husky / "_", 0 },
        // A new inode, which no file watch is on while it is empty: judged once its writer is done.
        { "a file the configuration names removed and made again, then written once a new hook went aside",
            [&] {
                fs::remove(runner);
                FileDescriptor made(::open(runner.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
                // Twice: the comparison that moves the second aside begins once the file is made.
                for (std::size_t planted = 1; planted <= 2; ++planted) {
                    std::ofstream(repository.hooks / "post-rewrite") << "#!/bin/sh\n";
                    ASSERT_TRUE(test::eventually(
                        [&] { return log.lines().size() == logged + planted; }, std::chrono::seconds(5)));
                }
                ASSERT_EQ(
                    ::write(made.get(), runnerBytes.data(), runnerBytes.size()), ssize_t(runnerBytes.size()));
            },
            repository.husky / "_", 0, 2 },
        // Made in place, as Git writes a gitlink's ".git" anew: the new file's watch comes before its bytes.
        { "a hook removed and made again with the same bytes, written once a new hook went aside",
            [&] {
                const fs::path hook = repository.hooks / "pre-commit";
                fs::remove(hook);
                FileDescriptor made(::open(hook.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
                std::ofstream(repository.hooks / "pre-applypatch") << "#!/bin/sh\n";
                ASSERT_TRUE(test::eventually(
                    [&] { return log.lines().size() == logged + 1; }, std::chrono::seconds(5)));
                ASSERT_EQ(::write(made.get(), "#!/bin/sh\n", 10), 10);
            },
            repository.hooks },
        // Truncated again before the watch looks at what it put back, as the next prepare step does.
        { "a file the configuration names changed, put back, then rewritten with what was put back",
            [&] {
                hold.armed = true;
                std::ofstream(runner) << "touch /tmp/ran-once\n";
                const bool held
                    = test::eventually([&] { return hold.holding.load(); }, std::chrono::seconds(5));
                FileDescriptor rewritten(::open(runner.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
                hold.letGo();
                ASSERT_TRUE(held);
                std::ofstream(repository.hooks / "post-rewrite") << "#!/bin/sh\n";
                ASSERT_TRUE(test::eventually(
                    [&] { return log.lines().size() == logged + 2; }, std::chrono::seconds(5)));
                ASSERT_EQ(::write(rewritten.get(), runnerBytes.data(), runnerBytes.size()),
                    ssize_t(runnerBytes.size()));
            },
            repository.husky / "_", 1, 2 },
        // No close tells that the write is done: judged all the same, a moment later.
        { "a file the configuration names rewritten and held open",
            [&] {
                heldOpen = FileDescriptor(::open(runner.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
                const std::string_view bytes = "touch /tmp/ran\n";
                ASSERT_EQ(::write(heldOpen.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
            },
            repository.husky / "_" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::size_t before = refusedCount(testCase.folder);
        testCase.change();
        // The watch moves a change aside in milliseconds; a few seconds only keep a missed one from
        // holding up the suite.
        logged += testCase.lines;
        ASSERT_TRUE(test::eventually([&] { return log.lines().size() == logged; }, std::chrono::seconds(5)))
            << testing::PrintToString(log.lines());
        EXPECT_EQ(refusedCount(testCase.folder), before + testCase.aside) << testing::PrintToString(log.lines());
        EXPECT_FALSE(fs::exists(fs::symlink_status(commondir)));
    }
    EXPECT_EQ(test::readFile(repository.hooks / "pre-commit"), "#!/bin/sh\n");
    EXPECT_EQ(test::readFile(repository.scripts / "pre-push.sh"), "#!/bin/sh\n");
}

// Whatever comes to be at a name kept off goes aside whole with a line in the log, while the run's own
// comparisons race the watch's: each arrival goes aside once.
TEST(GitGuardWatch, MovesAsideWhatAppearsAtANameKeptOff)
{
    WatchedRepository repository;
    test::CapturedLog log;
    const fs::path& top = repository.project;
    auto options = repository.options();
    options.keptOff = { top / ".envrc", top / ".vscode", repository.git / "config.worktree" };
    GitGuard guard({ { repository.git, top } }, {}, {}, options);
    GitGuardWatch watch(guard, { .places = options.places });
    std::jthread racing([&](std::stop_token stop) {
        while (!stop.stop_requested())
            guard.compareAll();
    });
    struct Case {
        const char* name;
        std::function<void()> arrive;
        fs::path folder;
    };
    const Case cases[] = {
        { "a file written", [&] { std::ofstream(top / ".envrc") << "export X=1\n"; }, top },
        { "a folder with a file", [&] { test::touch(test::madeFolder(top / ".vscode") / "tasks.json"); },
            top },
        { "a link", [&] { fs::create_symlink("/etc/passwd", top / ".envrc"); }, top },
        { "a file renamed into place",
            [&] {
                std::ofstream(repository.git / "prepared") << "[core]\n";
                fs::rename(repository.git / "prepared", repository.git / "config.worktree");
            },
            repository.git },
    };
    std::size_t logged = 0;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::size_t before = refusedCount(testCase.folder);
        testCase.arrive();
        ++logged;
        ASSERT_TRUE(test::eventually([&] { return log.lines().size() == logged; }, std::chrono::seconds(5)));
        EXPECT_EQ(refusedCount(testCase.folder), before + 1);
    }
    racing.request_stop();
    racing.join();
    EXPECT_EQ(log.lines().size(), logged);
    for (const char* name : { ".envrc", ".vscode" })
        EXPECT_FALSE(fs::exists(fs::symlink_status(top / name)));
    EXPECT_FALSE(fs::exists(repository.git / "config.worktree"));
}

// A hook planted where only the way down from the place shows it (the work tree renamed and a copy put in
// its place), in a hooks folder made after the watch started, past the watch's budget (compared every
// few seconds instead, as past the user's limit), and once the watch's thread failed (compared after
// each command instead, as the run does): each goes aside while the run lasts.
TEST(GitGuardWatch, SeesAHookPlantedInFoldersThatCameAndPastItsBudget)
{
    struct Case {
        const char* name;
        std::function<void(const WatchedRepository&)> change;
        std::size_t watchBudget = GitGuardWatch::defaultWatchBudget();
        bool hooksFolderAtStart = true;
        std::function<int(pollfd*, nfds_t, int)> poll = ::poll;
        // Events come all along in a folder the watch looks at, at a name that matters to no unit.
        bool eventsAllAlong = false;
    };
    const Case cases[] = {
        // The copy's Git folder is not the one noted, so it trades places with the user's, perhaps while
        // it is being made, and goes aside whole.
        { "the work tree renamed and a copy put in its place",
            [](const WatchedRepository& r) {
                auto inodeAt = [](const fs::path& path) {
                    struct stat status { };
                    return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
                };
                const ino_t users = inodeAt(r.git);
                fs::rename(r.project, r.home.root / "orig");
                test::runPeer({ "cp", "-a", (r.home.root / "orig").string(), r.project.string() });
                // The user's comes back first, and the copy's goes aside after.
                ASSERT_TRUE(
                    test::eventually([&] { return inodeAt(r.git) == users && refusedCount(r.project) >= 1u; },
                        std::chrono::seconds(5)));
            } },
        // Its first plant the comparison at its coming finds; the next only a watch of the new folder.
        { .name = "a hooks folder made after the watch started",
            .change =
                [](const WatchedRepository& r) {
                    std::ofstream(test::madeFolder(r.hooks) / "post-checkout") << "#!/bin/sh\n";
                    ASSERT_TRUE(test::eventually(
                        [&] { return !fs::exists(r.hooks / "post-checkout"); }, std::chrono::seconds(5)));
                    ASSERT_TRUE(fs::is_directory(r.hooks));
                },
            .hooksFolderAtStart = false },
        { "past the budget", [](const WatchedRepository&) {}, 2 },
        { .name = "past the budget, events coming all along",
            .change = [](const WatchedRepository&) {},
            .watchBudget = 2,
            .eventsAllAlong = true },
        { .name = "the watch's thread failed, with a fake poll",
            .change = [](const WatchedRepository&) {},
            .poll =
                [](pollfd*, nfds_t, int) {
                    errno = ENOMEM;
                    return -1;
                } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        WatchedRepository repository;
        if (!testCase.hooksFolderAtStart)
            fs::remove_all(repository.hooks);
        GitGuard guard({ { repository.git, repository.project } }, {}, {}, repository.options());
        GitGuardWatch watch(guard,
            { .places = { repository.home.root },
                .watchBudget = testCase.watchBudget,
                .poll = testCase.poll });
        EXPECT_LE(watch.watchedCount(), testCase.watchBudget);
        std::jthread events;
        if (testCase.eventsAllAlong)
            events = std::jthread([&](std::stop_token stop) {
                while (!stop.stop_requested()) {
                    test::touch(repository.project / "build.log");
                    fs::remove(repository.project / "build.log");
                }
            });
        testCase.change(repository);
        std::ofstream(repository.hooks / "post-checkout") << "#!/bin/sh\ntouch /tmp/ran\n";
        // Milliseconds where watched; the bound only keeps a missed one from holding up the suite. Each
        // look stands for a command's end, after which the run compares where the thread does not run.
        EXPECT_TRUE(test::eventually(
            [&] {
                if (!watch.running())
                    watch.compareAll();
                return !fs::exists(repository.hooks / "post-checkout");
            },
            std::chrono::seconds(5)));
    }
}

// However many files earlier runs moved aside from a name, this run's change goes aside beside them and
// none is removed.
TEST(GitGuardWatch, KeepsTheMovedAsideFilesOfEarlierRuns)
{
    WatchedRepository repository;
    const std::size_t earlier = KeptMovedAside::InRun::keptNewest + 2;
    for (std::size_t index = 0; index < earlier; ++index)
        test::touch(repository.hooks / ("pre-commit.refused-20250101T000000Z-" + std::to_string(index + 9)));
    test::touch(repository.hooks / "pre-push.refused-20250101T000000Z");
    test::CapturedLog log;
    {
        GitGuard guard({ { repository.git, repository.project } }, {}, {}, repository.options());
        GitGuardWatch watch(guard, {});
        fs::remove(repository.hooks / "pre-commit");
        std::ofstream(repository.hooks / "pre-commit") << "#!/bin/sh\ntouch /tmp/ran\n";
        watch.finish();
    }
    EXPECT_EQ(refusedCount(repository.hooks), earlier + 2);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back().find("was removed"), std::string::npos);
}

// While the watch's thread is held in a comparison, more events than the kernel queues arrive and a
// hook is planted in another repository after them: the queue overflows, the hook's own event is
// lost, and the full comparison that follows the overflow still finds the hook.
TEST(GitGuardWatch, AQueueThatOverflowedIsFollowedByAFullComparison)
{
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    std::size_t queued = 16384;
    limit >> queued;
    if (queued > 65536)
        GTEST_SKIP() << "The kernel queues " << queued << " events, too many to overflow here";
    WatchedRepository repository;
    const fs::path other = test::madeFolder(repository.home.root / "other/.git");
    test::emptyGitFolder(other);
    std::atomic<bool> holding = false;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto held = [&, reader = GitCountedSettings::gitReaderForThisProcess()](std::string_view bytes) {
        if (!holding.exchange(true))
            released.wait();
        return reader(bytes);
    };
    GitGuard guard({ { repository.git, repository.project }, { other, other.parent_path() } }, {}, {},
        repository.options(held));
    GitGuardWatch watch(guard, {});
    std::ofstream(repository.git / "config") << "[user]\n\temail = user@example.com\n";
    ASSERT_TRUE(test::eventually([&] { return holding.load(); }, std::chrono::seconds(10)));

    // Two names in turn, so that the kernel cannot merge each event into the one before.
    test::touch(repository.git / "flood-0");
    test::touch(repository.git / "flood-1");
    for (std::size_t index = 0; index <= queued; ++index)
        fs::permissions(
            repository.git / ("flood-" + std::to_string(index % 2)), fs::perms(index % 4 < 2 ? 0644 : 0600));
    fs::create_directory(other / "hooks");
    std::ofstream(other / "hooks/pre-commit") << "#!/bin/sh\ntouch /tmp/ran\n";
    release.set_value();

    EXPECT_TRUE(
        test::eventually([&] { return !fs::exists(other / "hooks/pre-commit"); }, std::chrono::seconds(30)));
    EXPECT_EQ(refusedCount(other / "hooks"), 1u);
}

// Where a watch cannot be set, the unit is compared every few seconds instead: a hook planted there
// still goes aside, and the log says why.
TEST(GitGuardWatch, AFolderThatCannotBeWatchedIsComparedPeriodically)
{
    test::TemporaryFolder temporary;
    const fs::path root = resolvingSymlinks(temporary.path()).value();
    test::emptyGitFolder(test::madeFolder(root / "project/.git/hooks").parent_path());
    test::madeFolder(root / "data");
    for (const char* folder : { "", "project", "project/.git", "data" })
        fs::permissions(root / folder, fs::perms(0777));
    // Written and searched by anyone, listed and watched by no one but its owner.
    fs::permissions(root / "project/.git/hooks", fs::perms(0333));
    EXPECT_EQ(test::runUnprivileged("plant", root, ""), "1 moved");
    EXPECT_EQ(test::runUnprivileged("plant-at-end", root, ""), "moved");
    fs::permissions(root / "project/.git/hooks", fs::perms(0755));
}

// A change whose events the watch's thread never read goes aside at the run's end all the same: its
// events wait in the queue, a write held open among them, however the watch saw nothing during the run.
TEST(GitGuardWatch, WhatTheThreadNeverReadIsComparedAtTheEnd)
{
    struct Case {
        const char* name;
        std::function<void(const WatchedRepository&, FileDescriptor& heldOpen)> change;
        fs::path WatchedRepository::*folder; // where it goes aside
        const char* file; // what is back as it was there
        std::size_t aside = 1; // how many names go aside there
    };
    const Case cases[] = {
        { "a new hook",
            [](const WatchedRepository& r, FileDescriptor&) {
                std::ofstream(r.hooks / "post-checkout") << "#!/bin/sh\n";
            },
            &WatchedRepository::hooks, nullptr },
        { "a hook rewritten through its hard link",
            [](const WatchedRepository& r, FileDescriptor&) {
                std::ofstream(r.scripts / "pre-commit.sh") << "#!/bin/sh\ntouch /tmp/ran\n";
            },
            // Replaced at the hook's name rather than moved, so that the script keeps its mode.
            &WatchedRepository::hooks, "pre-commit", 0 },
        { "a file the configuration names rewritten and still held open",
            [](const WatchedRepository& r, FileDescriptor& heldOpen) {
                heldOpen = FileDescriptor(
                    ::open((r.husky / "pre-commit").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
                const std::string_view bytes = "touch /tmp/ran\n";
                ASSERT_EQ(::write(heldOpen.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
            },
            &WatchedRepository::husky, "pre-commit" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        WatchedRepository repository;
        const fs::path folder = repository.*testCase.folder;
        const std::string before = testCase.file ? test::readFile(folder / testCase.file) : "";
        GitGuard guard(
            { { repository.git, repository.project, { repository.husky } } }, {}, {}, repository.options());
        // Waits for the watch's stop alone, never for its events.
        GitGuardWatch watch(guard,
            { .places = { repository.home.root },
                .poll = [](pollfd* watched, nfds_t, int) { return ::poll(watched + 1, 1, -1); } });
        FileDescriptor heldOpen;
        testCase.change(repository, heldOpen);
        watch.finish();
        EXPECT_EQ(refusedCount(folder), testCase.aside);
        if (testCase.file) {
            EXPECT_EQ(test::readFile(folder / testCase.file), before);
        }
    }
}

// A comparison on the watch's thread that runs out of memory counts as not made: the run's end makes it,
// though nothing there changes again.
TEST(GitGuardWatch, AComparisonThatRanOutOfMemoryIsMadeAtTheEnd)
{
    WatchedRepository repository;
    std::atomic<bool> failed = false;
    auto reader = [&, settings = GitCountedSettings::gitReaderForThisProcess()](std::string_view bytes) {
        if (!failed.exchange(true))
            throw std::bad_alloc();
        return settings(bytes);
    };
    GitGuard guard({ { repository.git, repository.project } }, {}, {}, repository.options(reader));
    GitGuardWatch watch(guard, { .places = { repository.home.root } });
    // Brought there whole, so that the thread's one comparison reads all of it.
    std::ofstream(repository.project / "config") << "[core]\n\tfsmonitor = touch /tmp/ran\n";
    fs::rename(repository.project / "config", repository.git / "config");
    ASSERT_TRUE(test::eventually([&] { return failed.load(); }, std::chrono::seconds(10)));
    watch.finish();
    EXPECT_EQ(refusedCount(repository.git), 1u);
    EXPECT_FALSE(fs::exists(repository.git / "config"));
}

// Runs of the program one after another, its watch kept between them: what the user changes while no
// run holds the repository is theirs, and the next run notes it as it is now; what changes during that
// run still goes aside. A repository the watch saw nothing in is taken as it was left, where it would be
// noted alike, by a run of the same registry, while the watch still keeps it.
TEST(GitGuardWatch, AChangeBetweenRunsIsTheUsersAndOneDuringTheNextRunGoesAside)
{
    const std::string users = "#!/bin/sh\nnpm test\n";
    const std::string planted = "#!/bin/sh\ntouch /tmp/ran\n";
    struct Case {
        const char* name;
        std::function<void(const fs::path& project)> between; // the user's
        std::function<void(const fs::path& project)> during; // a command's, in the second run
        std::optional<std::string> hook; // the project's pre-commit after the second run
        std::size_t aside; // how many went aside during the second run
        bool takenAsKept; // whether the second run took the project as it was left
        bool otherTakenAsKept = true; // and the other repository, which no one touched
        std::size_t watchBudget = GitGuardWatch::defaultWatchBudget();
        // The places of the first run and of the second, below the folder holding both repositories.
        std::vector<std::string> firstPlaces = { "" };
        std::vector<std::string> secondPlaces = { "" };
        // Runs between the two that hold the other repository alone.
        int runsWithoutProject = 0;
        // The second run is of another registry of live runs, handed the first's kept watch all the same.
        bool otherRegistry = false;
        // A run beside the first, of the same registry, ends before it: the first's kept watch replaces
        // the one this run kept.
        bool besideTheFirst = false;
    };
    auto writeHook = [](const std::string& text) {
        return [text](const fs::path& project) { std::ofstream(project / ".git/hooks/pre-commit") << text; };
    };
    // Still open when the run ends, its writer killed with the run's commands.
    FileDescriptor heldHook;
    auto holdHook = [&](const fs::path& project) {
        heldHook = FileDescriptor(::open((project / ".git/hooks/pre-commit").c_str(),
            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
        ASSERT_EQ(::write(heldHook.get(), planted.data(), planted.size()), ssize_t(planted.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    const Case cases[] = {
        { "nothing", nullptr, nullptr, std::nullopt, 0, true },
        { "the user's new hook", writeHook(users), nullptr, users, 0, false },
        { "a command's new hook", nullptr, writeHook(planted), std::nullopt, 1, true },
        { "a command's new hook still held open by its writer", nullptr, holdHook, std::nullopt, 1, true },
        { "a command's rewrite of the user's new hook", writeHook(users), writeHook(planted), users, 1,
            false },
        { "the user's Git folder swapped for a copy with a hook",
            [&](const fs::path& project) {
                fs::rename(project / ".git", project / ".git-before");
                fs::copy(project / ".git-before", project / ".git", fs::copy_options::recursive);
                writeHook(users)(project);
            },
            nullptr, users, 0, false },
        { "the user's hook where the events were lost",
            [&](const fs::path& project) {
                for (int index = 0; index < 8200; ++index) {
                    test::touch(project / ".git/flood");
                    fs::remove(project / ".git/flood");
                }
                writeHook(users)(project);
            },
            nullptr, users, 0, false, false },
        { "the user's hook where no watch could be set", writeHook(users), nullptr, users, 0, false, false,
            0 },
        { .name = "noted beneath another place",
            .takenAsKept = false,
            .otherTakenAsKept = false,
            .firstPlaces = { "project" } },
        { .name = "a place added inside the one it was noted beneath",
            .takenAsKept = true,
            .secondPlaces = { "", "project" } },
        { .name = "let go after as many runs without it as a watch keeps it",
            .takenAsKept = false,
            .runsWithoutProject = GitGuardWatch::keptRuns + 1 },
        { .name = "a run of another registry",
            .takenAsKept = false,
            .otherTakenAsKept = false,
            .otherRegistry = true },
        { .name = "a run beside the first", .takenAsKept = true, .besideTheFirst = true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path project = home.root / "project";
        const fs::path other = home.root / "other";
        for (const auto& repository : { project, other })
            test::emptyGitFolder(test::madeFolder(repository / ".git/hooks").parent_path());
        const GitGuard::Options options { .places = { home.root },
            .liveRuns = home.data,
            .settings = GitCountedSettings::gitReaderForThisProcess() };
        const fs::path otherRegistry = test::madeFolder(home.data / "other");
        const std::vector<GuardedRepository> repositories
            = { { project / ".git", project }, { other / ".git", other } };
        // As a run of the program makes it: taking over the watch the run before kept.
        auto run = [&](auto& self, const std::vector<std::string>& placeNames, const fs::path& liveRuns,
                       const std::vector<GuardedRepository>& held,
                       const std::function<void(const fs::path&)>& during,
                       bool beside = false) -> std::tuple<std::size_t, bool, bool> {
            auto kept = GitGuardWatch::takeKept(options.liveRuns);
            GitGuard::Options taking = options;
            taking.places.clear();
            for (const auto& name : placeNames)
                taking.places.push_back(home.root / name);
            taking.liveRuns = liveRuns;
            taking.unchangedSinceKept = kept ? kept->unchangedSinceKept() : std::set<fs::path> {};
            GitGuard guard(held, {}, {}, taking);
            std::size_t aside = 0;
            auto watch = std::make_unique<GitGuardWatch>(guard,
                GitGuardWatch::Options { .places = taking.places,
                    .watchBudget = testCase.watchBudget,
                    .onMovedAside = [&](const auto& moved) { aside += moved.size(); } },
                std::move(kept));
            if (during)
                during(project);
            if (beside)
                self(self, placeNames, liveRuns, held, nullptr);
            watch->finish();
            GitGuardWatch::keep(std::move(watch), liveRuns);
            return std::tuple(aside, guard.takenAsKept(0), guard.takenAsKept(1));
        };
        run(run, testCase.firstPlaces, options.liveRuns, repositories, nullptr, testCase.besideTheFirst);
        for (int index = 0; index < testCase.runsWithoutProject; ++index)
            run(run, { "" }, options.liveRuns, { repositories[1] }, nullptr);
        if (testCase.between)
            testCase.between(project);
        auto [aside, projectTaken, otherTaken] = run(run, testCase.secondPlaces,
            testCase.otherRegistry ? otherRegistry : options.liveRuns, repositories, testCase.during);
        EXPECT_EQ(aside, testCase.aside);
        EXPECT_EQ(projectTaken, testCase.takenAsKept);
        EXPECT_EQ(otherTaken, testCase.otherTakenAsKept);
        const fs::path hook = project / ".git/hooks/pre-commit";
        EXPECT_EQ(existsAt(hook) ? std::optional(test::readFile(hook)) : std::nullopt, testCase.hook);
        GitGuardWatch::takeKept(options.liveRuns);
        GitGuardWatch::takeKept(otherRegistry);
    }
}

// A Git folder that comes to be during the run where the watch looks (made in a folder made during it,
// moved in, added as a linked worktree) is judged against an empty repository as it appears, and again
// whenever something is written into it: what counts goes aside, stage by stage, before the run's end,
// whose sweep then finds nothing more. What ordinary work makes in a new repository stays.
TEST(GitGuardWatch, JudgesAGitFolderAsItAppearsAndWhileItLasts)
{
    using Step = std::function<void(const fs::path& root)>;
    struct Stage {
        Step change;
        std::vector<std::string> aside; // relative to the place
    };
    struct Case {
        const char* name;
        std::vector<Stage> stages;
        Step prepare = nullptr; // the user's, before the run
        std::function<bool(const fs::path& root)> kept = nullptr;
        std::size_t watchBudget = GitGuardWatch::defaultWatchBudget();
        std::vector<std::string> atEnd = {}; // what only the run's end moves aside
        std::size_t otherLines = 0; // in the log, besides one for each moved aside
    };
    auto gitting = [](std::string folder, std::vector<std::string> arguments) {
        return [folder, arguments](const fs::path& root) { test::git(root / folder, arguments); };
    };
    auto hook = [](std::string relative) {
        return
            [relative](const fs::path& root) { test::write(root / relative, "#!/bin/sh\ntouch /tmp/ran\n"); };
    };
    auto steps = [](std::vector<Step> all) {
        return [all](const fs::path& root) {
            for (const auto& step : all)
                step(root);
        };
    };
    const std::string monitor = "touch /tmp/ran; false";
    auto configHolds = [](const fs::path& gitFolder, const std::string& text) {
        return test::readFile(gitFolder / "config").find(text) != std::string::npos;
    };
    const Case cases[] = {
        { "git init in a folder made during the run, core.fsmonitor, then a hook",
            { { steps({ gitting("plain/repo", { "init", "-q" }),
                    gitting("plain/repo", { "config", "core.fsmonitor", monitor }) }),
                  { "plain/repo/.git/config" } },
                { hook("plain/repo/.git/hooks/pre-commit"), { "plain/repo/.git/hooks/pre-commit" } } } },
        { "a bare repository made in the place, then a hook for the user's push",
            { { gitting("", { "init", "-q", "--bare", "mirror.git" }), {} },
                { hook("mirror.git/hooks/pre-receive"), { "mirror.git/hooks/pre-receive" } } } },
        { "a Git folder moved in with a hook in it",
            { { steps({ gitting("stash/made", { "init", "-q" }), hook("stash/made/.git/hooks/pre-commit"),
                    [](const fs::path& root) { fs::rename(root / "stash/made", root / "moved"); } }),
                { "moved/.git/hooks/pre-commit" } } },
            [](const fs::path& root) { fs::create_directories(root / "stash"); } },
        { "a linked worktree added, its own configuration given core.fsmonitor",
            { { steps({ gitting("project", { "worktree", "add", "-q", "../wt" }),
                    gitting("project", { "config", "extensions.worktreeConfig", "true" }),
                    gitting("wt", { "config", "--worktree", "core.fsmonitor", monitor }) }),
                { "project/.git/worktrees/wt/config.worktree" } } } },
        // The one before was compared at its coming; the next only a watch of the folder at its new name
        // sees.
        { "a repository renamed with a hook, then another hook",
            { { steps({ [](const fs::path& root) { fs::rename(root / "project", root / "project-v2"); },
                    hook("project-v2/.git/hooks/pre-commit") }),
                  { "project-v2/.git/hooks/pre-commit" } },
                { hook("project-v2/.git/hooks/pre-push"), { "project-v2/.git/hooks/pre-push" } } } },
        { "a repository moved into a folder made during the run, then a hook",
            { { steps({ [](const fs::path& root) { fs::create_directories(root / "deep"); },
                    [](const fs::path& root) { fs::rename(root / "project", root / "deep/project"); } }),
                  {} },
                { hook("deep/project/.git/hooks/pre-commit"), { "deep/project/.git/hooks/pre-commit" } } } },
        { "a new repository inside a work tree, then a hook",
            { { gitting("project/sub", { "init", "-q" }), {} },
                { hook("project/sub/.git/hooks/pre-commit"), { "project/sub/.git/hooks/pre-commit" } } } },
        // A hook in another new repository last: once it went aside, the first was judged too.
        { "a new repository's commits, refs and everyday settings",
            { { steps({ gitting("fresh", { "init", "-q", "-b", "main" }),
                    gitting("fresh", { "commit", "-q", "--allow-empty", "-m", "x" }),
                    gitting("fresh", { "config", "user.name", "Bot" }),
                    [](const fs::path& root) {
                        test::git(root / "fresh", { "remote", "add", "origin", (root / "project").string() });
                    },
                    gitting("other", { "init", "-q" }), hook("other/.git/hooks/pre-commit") }),
                { "other/.git/hooks/pre-commit" } } },
            nullptr,
            [&](const fs::path& root) {
                return configHolds(root / "fresh/.git", "name = Bot")
                    && configHolds(root / "fresh/.git", "[remote \"origin\"]")
                    && existsAt(root / "fresh/.git/refs/heads/main")
                    && test::runPeer({ "git", "-C", (root / "fresh").string(), "log", "-1" }).exitStatus == 0;
            } },
        { "a new repository's relative remote, name and monitor: the monitor alone goes",
            { { steps({ gitting("plain/repo", { "init", "-q" }),
                    gitting("plain/repo", { "remote", "add", "origin", "../../project" }),
                    gitting("plain/repo", { "config", "user.name", "Bot" }),
                    gitting("plain/repo", { "config", "core.fsmonitor", monitor }) }),
                { "plain/repo/.git/config" } } },
            nullptr,
            [&](const fs::path& root) {
                return configHolds(root / "plain/repo/.git", "name = Bot")
                    && configHolds(root / "plain/repo/.git", "url = ../../project")
                    && !configHolds(root / "plain/repo/.git", "fsmonitor");
            } },
        { "a submodule's Git folder made in a new repository's modules/, then a hook",
            { { steps({ gitting("sup", { "init", "-q" }), hook("sup/.git/hooks/pre-commit") }),
                  { "sup/.git/hooks/pre-commit" } },
                { steps({ gitting("sup", { "init", "-q", "--bare", ".git/modules/lib" }),
                      hook("sup/.git/modules/lib/hooks/pre-commit") }),
                    { "sup/.git/modules/lib/hooks/pre-commit" } } } },
        { "a folder moved out, given a repository and moved back in, then a hook",
            { { steps({ gitting("made/first", { "init", "-q" }), hook("made/first/.git/hooks/pre-commit") }),
                  { "made/first/.git/hooks/pre-commit" } },
                { steps({ [](const fs::path& root) { fs::rename(root / "made", root / "stash/made"); },
                      gitting("stash/made/second", { "init", "-q" }),
                      [](const fs::path& root) { fs::rename(root / "stash/made", root / "made"); },
                      hook("made/second/.git/hooks/pre-commit") }),
                    { "made/second/.git/hooks/pre-commit" } } },
            [](const fs::path& root) { fs::create_directories(root / "stash"); } },
        // One line says that the run's own repository is compared every few seconds, one that nothing
        // new is watched.
        { .name = "past the watch's budget, at the run's end only",
            .stages = { { steps({ gitting("plain/repo", { "init", "-q" }),
                              hook("plain/repo/.git/hooks/pre-commit") }),
                {} } },
            .watchBudget = 0,
            .atEnd = { "plain/repo/.git/hooks/pre-commit" },
            .otherLines = 2 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path root = resolvingSymlinks(home.root).value();
        test::git(root / "project", { "init", "-q", "-b", "main" });
        test::git(root / "project", { "commit", "-q", "--allow-empty", "-m", "x" });
        if (testCase.prepare)
            testCase.prepare(root);
        test::CapturedLog log;
        GitGuard guard({ { root / "project/.git", root / "project" } }, {}, {},
            { .places = { root },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess() });
        std::mutex lock;
        std::vector<fs::path> moved;
        GitGuardWatch watch(guard,
            { .places = { root },
                .watchBudget = testCase.watchBudget,
                .onMovedAside = [&](const std::vector<GitGuard::MovedChange>& changes) {
                    std::lock_guard held(lock);
                    for (const auto& change : changes) {
                        const std::string path = change.path.string();
                        moved.emplace_back(path.substr(0, path.find(".refused-")));
                    }
                } });
        std::vector<fs::path> expected;
        auto asideNow = [&] {
            std::lock_guard held(lock);
            auto sorted = moved;
            std::sort(sorted.begin(), sorted.end());
            return sorted;
        };
        for (const auto& stage : testCase.stages) {
            stage.change(root);
            for (const auto& relative : stage.aside)
                expected.push_back(root / relative);
            std::sort(expected.begin(), expected.end());
            // The watch moves a change aside in milliseconds; the bound only keeps a missed one from
            // holding up the suite.
            EXPECT_TRUE(test::eventually(
                [&] { return asideNow().size() >= expected.size(); }, std::chrono::seconds(20)));
            EXPECT_EQ(asideNow(), expected);
        }
        watch.finish();
        for (const auto& relative : testCase.atEnd)
            expected.push_back(root / relative);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(asideNow(), expected);
        EXPECT_EQ(log.lines().size(), expected.size() + testCase.otherLines);
        if (testCase.kept) {
            EXPECT_TRUE(testCase.kept(root));
        }
    }
}

// As an ordinary user, whom file modes bind: a command that takes its own permission to list a new Git
// folder's hooks hides no hook from the watch.
TEST(GitGuardWatch, SeesAHookInANewGitFolderWhoseHooksItsOwnerCannotList)
{
    for (const char* when : { "before", "after" }) {
        SCOPED_TRACE(when);
        test::TemporaryFolder temporary;
        const fs::path root = test::sharedRoot(temporary.path(), { "work", "data" });
        EXPECT_EQ(test::runUnprivileged("plant-in-new-unlistable", root, when), "moved");
    }
}

TEST(CommonDirPlaceholders, HoldOneReadingTheFolderItselfAndLeaveNoTrace)
{
    constexpr const char* ownPath = "(the Git folder's own path)\n";
    struct Case {
        const char* name;
        std::optional<std::string> before; // the repository's own "commondir" before the run
        bool changedDuring;
        bool held;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        { "none there", std::nullopt, false, true, std::nullopt },
        { "the user's own", "../..\n", false, false, "../..\n" },
        { "one an earlier process left", ownPath, false, true, std::nullopt },
        { "one an earlier version left", ".\n", false, true, std::nullopt },
        { "changed while held", std::nullopt, true, true, "../.g2\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        WatchedRepository repository;
        const fs::path commondir = repository.git / "commondir";
        const std::string placeholder = "../.git\n";
        const std::string before
            = testCase.before == ownPath ? repository.git.string() + "\n" : testCase.before.value_or("");
        if (testCase.before)
            std::ofstream(commondir) << before;
        {
            CommonDirPlaceholders placeholders(
                CommonDirPlaceholders::gitFolders({ repository.project }), repository.home.data);
            EXPECT_EQ(placeholders.held().size(), testCase.held ? 1u : 0u);
            EXPECT_EQ(test::readFile(commondir), testCase.before ? before : placeholder);
            if (testCase.changedDuring)
                std::ofstream(commondir) << "../.g2\n";
        }
        EXPECT_EQ(
            fs::exists(commondir) ? std::optional(test::readFile(commondir)) : std::nullopt, testCase.after);
    }
}

// Runs at once share the placeholder, the last removes it, and Git reads it as the folder itself.
TEST(CommonDirPlaceholders, SharedByRunsAtOnceAndReadByGitAsTheFolderItself)
{
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", project.string() }).exitStatus, 0);
    const std::string placeholder = "../.git\n";

    auto first
        = std::make_unique<CommonDirPlaceholders>(CommonDirPlaceholders::gitFolders({ project }), home.data);
    {
        CommonDirPlaceholders second(CommonDirPlaceholders::gitFolders({ project }), home.data);
        EXPECT_EQ(second.held().size(), 1u);
        auto commonDir = test::runPeer({ "git", "-C", project.string(), "rev-parse", "--git-common-dir" });
        EXPECT_EQ(commonDir.exitStatus, 0);
        EXPECT_EQ(commonDir.output, (project / ".git").string() + "\n");
    }
    EXPECT_EQ(test::readFile(project / ".git/commondir"), placeholder);
    first.reset();
    EXPECT_FALSE(fs::exists(project / ".git/commondir"));
    EXPECT_FALSE(fs::exists(recordIn(home)));
}
