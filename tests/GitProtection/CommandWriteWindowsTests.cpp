// When a command of any run could write in a place: the windows' bounds, merging, the record's
// damage, what it cannot hold, and a killed run's window closed at the next start.
#include "VellumarMacCore/GitProtection/Finding/CommandWriteWindows.h"

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits>

using namespace vellumar;
using Window = CommandWriteWindows::Window;
namespace fs = std::filesystem;

namespace {

bool recordedSucceeds(const fs::path& dataFolder, const CommandWriteWindows& added)
{
    try {
        CommandWriteWindows::record(dataFolder, added);
        return true;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

}

TEST(CommandWriteWindows, AChangeCountsWithinAWindowOfAPlaceHoldingIt)
{
    constexpr time_t open = std::numeric_limits<time_t>::max();
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, Window>> windows;
        const char* path;
        timespec changed;
        bool counts;
    };
    const Case cases[] = {
        { "at a window's first instant", { { "/h/P", { { 100, 5 }, { 200, 0 } } } }, "/h/P/a/.git/config",
            { 100, 5 }, true },
        { "at its last", { { "/h/P", { { 100, 0 }, { 200, 7 } } } }, "/h/P/x", { 200, 7 }, true },
        { "just before it", { { "/h/P", { { 100, 5 }, { 200, 0 } } } }, "/h/P/x", { 100, 4 }, false },
        { "just after it", { { "/h/P", { { 100, 0 }, { 200, 7 } } } }, "/h/P/x", { 200, 8 }, false },
        { "in another place's window", { { "/h/Q", { { 100, 0 }, { 200, 0 } } } }, "/h/P/x", { 150, 0 },
            false },
        { "in a place whose name begins the same", { { "/h/P", { { 100, 0 }, { 200, 0 } } } }, "/h/P2/x",
            { 150, 0 }, false },
        { "in a window of the place around one",
            { { "/h", { { 100, 0 }, { 200, 0 } } }, { "/h/P", { { 300, 0 }, { 400, 0 } } } }, "/h/P/x",
            { 150, 0 }, true },
        { "between windows a second apart, merged",
            { { "/h/P", { { 100, 0 }, { 200, 0 } } }, { "/h/P", { { 201, 0 }, { 300, 0 } } } }, "/h/P/x",
            { 200, 500 }, true },
        { "between windows far apart",
            { { "/h/P", { { 100, 0 }, { 200, 0 } } }, { "/h/P", { { 300, 0 }, { 400, 0 } } } }, "/h/P/x",
            { 250, 0 }, false },
        { "in a live run's open window", { { "/h/P", { { 100, 0 }, { open, 0 } } } }, "/h/P/x",
            { 1'000'000'000, 0 }, true },
        { "a window ending before it begins is none", { { "/h/P", { { 200, 0 }, { 100, 0 } } } }, "/h/P/x",
            { 150, 0 }, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        CommandWriteWindows windows;
        for (const auto& [place, window] : testCase.windows)
            windows.add(place, window);
        EXPECT_EQ(windows.couldHaveWritten(testCase.path, testCase.changed), testCase.counts);
        // What the record holds counts the same once read back.
        EXPECT_EQ(
            CommandWriteWindows::decoded(windows.encoded()).couldHaveWritten(testCase.path, testCase.changed),
            testCase.counts);
    }
}

TEST(CommandWriteWindows, StaysBoundedWithoutLettingGoOfAWrite)
{
    CommandWriteWindows windows;
    const std::size_t count = CommandWriteWindows::windowsPerPlaceLimit + 10;
    for (std::size_t run = 0; run < count; ++run) {
        const time_t from = static_cast<time_t>(run * 100 + (run == 7 ? 50 : 0));
        windows.add("/h/P", { { from, 0 }, { from + 10, 0 } });
    }
    EXPECT_EQ(windows.windowsOf("/h/P").size(), CommandWriteWindows::windowsPerPlaceLimit);
    // Every run's window still counts: the closest were merged, the gap after the seventh first.
    for (std::size_t run = 0; run < count; ++run)
        EXPECT_TRUE(
            windows.couldHaveWritten("/h/P/x", { static_cast<time_t>(run * 100 + (run == 7 ? 55 : 5)), 0 }));
    EXPECT_TRUE(windows.couldHaveWritten("/h/P/x", { 770, 0 }));

    for (std::size_t place = 0; place < CommandWriteWindows::placeLimit; ++place)
        windows.add(
            "/p" + std::to_string(place), { { static_cast<time_t>(10'000 + place), 0 }, { 20'000, 0 } });
    // The place whose last window ended earliest is let go.
    EXPECT_TRUE(windows.windowsOf("/h/P").empty());
    EXPECT_FALSE(windows.windowsOf("/p0").empty());
}

TEST(CommandWriteWindows, ADamagedRecordKeepsWhatCanBeRead)
{
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::pair<const char*, timespec>> counted;
    };
    const Case cases[] = {
        { "a line cut short by a killed write", "/h/P\t100 0 200 0\n/h/Q\t100 0 20",
            { { "/h/P/x", { 150, 0 } } } },
        { "a window that is no numbers, beside one that is", "/h/P\tx 0 200 0\t300 0 400 0\n",
            { { "/h/P/x", { 350, 0 } } } },
        { "nanoseconds past a second", "/h/P\t100 1000000000 200 0\n", {} },
        { "a line with no place", "\t100 0 200 0\n", {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto read = CommandWriteWindows::decoded(testCase.bytes);
        std::size_t counted = 0;
        for (const char* path : { "/h/P/x", "/h/Q/x" }) {
            for (time_t at : { 150, 350 })
                counted += read.couldHaveWritten(path, { at, 0 });
        }
        EXPECT_EQ(counted, testCase.counted.size());
        for (const auto& [path, at] : testCase.counted)
            EXPECT_TRUE(read.couldHaveWritten(path, at));
    }
}

// A killed run's window closes when its commands had ended, as its last beat tells, or at the next start
// where no beat does; a live run's stays open.
TEST(CommandWriteWindows, AKilledRunsWindowClosesAtTheNextStart)
{
    test::TemporaryHome home;
    const timespec built { 1'000, 0 };
    LiveRuns::Entry place = GitGuardEntries::placeEntryOf(home.home / "Projects", { built, built });
    test::writeBytes(
        LiveRuns::recordOf(home.data, LiveRuns::Kind::writablePlace), LiveRuns::encoded({ &place, 1 }));
    const auto beatRead = std::chrono::steady_clock::now();
    auto beat = LiveRunsHeartbeat::now();
    const auto beatTook = std::chrono::steady_clock::now() - beatRead;
    beat.wallTime -= std::chrono::hours(1);
    beat.bootTime -= std::chrono::hours(1);
    LiveRunsHeartbeat::write(beat, LiveRuns::heartbeatOf(home.data));

    const auto restoring = std::chrono::steady_clock::now();
    GitGuard::restoreLeftBehind(home.data, {});
    const auto restoreTook = std::chrono::steady_clock::now() - restoring;

    const auto windows = CommandWriteWindows::read(home.data).windowsOf(home.home / "Projects");
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(
        std::pair(windows[0].from.tv_sec, windows[0].from.tv_nsec), std::pair(built.tv_sec, built.tv_nsec));
    const auto ended = beat.wallTime + std::chrono::nanoseconds(LiveRunsHeartbeat::margin);
    const auto closed
        = std::chrono::seconds(windows[0].to.tv_sec) + std::chrono::nanoseconds(windows[0].to.tv_nsec);
    // A beat's two clocks are read one after the other, and the wall clock seems set on by as long as that
    // took: within how long the test's beat and the start took.
    EXPECT_LE(std::chrono::abs(closed - ended), beatTook + restoreTook);
}

// A place whose window could not be written keeps that window's start while the next run holds it, so that
// the next start closes one window from then, after a kill during that run or a restart after it.
TEST(CommandWriteWindows, AWindowNotWrittenKeepsItsStartThroughTheNextRun)
{
    for (const bool killed : { true, false }) {
        SCOPED_TRACE(killed ? "killed during the next run" : "started again after the next run");
        test::TemporaryHome home;
        const fs::path place = home.home / "Projects";
        const fs::path record = home.data / CommandWriteWindows::recordName;
        const fs::path during = home.root / "during";
        auto run = [&] {
            return GitGuard(
                {}, {}, {}, { .places = { place }, .liveRuns = home.data, .settings = [](std::string_view) {
                                 return std::string();
                             } });
        };
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            fs::create_directories(record / "in-the-way");
            timespec within {};
            {
                GitGuard first = run();
                ::clock_gettime(CLOCK_REALTIME, &within);
            }
            test::writeBytes(during, std::to_string(within.tv_sec) + " " + std::to_string(within.tv_nsec));
            // The next run is built at a later tick of the clock it reads.
            for (timespec now {}; ::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0
                 && std::pair(now.tv_sec, now.tv_nsec) <= std::pair(within.tv_sec, within.tv_nsec);) { }
            {
                GitGuard second = run();
                if (killed)
                    ::kill(::getpid(), SIGKILL);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_EQ(WIFSIGNALED(status), killed);
        fs::remove_all(record);

        GitGuard::restoreLeftBehind(home.data, {});
        timespec within {};
        std::istringstream(test::readFile(during)) >> within.tv_sec >> within.tv_nsec;
        EXPECT_TRUE(CommandWriteWindows::read(home.data).couldHaveWritten(place / "x", within));
    }
}

// What the next start reads of a place a killed run held: a damaged payload opens its window from the
// epoch and knows no Git folder.
TEST(CommandWriteWindows, APlaceHeldReadsBackOrFailsClosed)
{
    struct Case {
        const char* name;
        std::string payload;
        std::pair<time_t, time_t> builtAndKnownFrom;
    };
    const Case cases[] = {
        { "as written", GitGuardEntries::placeEntryOf("/h/P", { { 5, 6 }, { 7, 8 } }).payload, { 5, 7 } },
        { "an older build's, its start alone", "5 6", { 5, 0 } },
        { "three numbers", "5 6 7", { 0, 0 } },
        { "a word", "5 x", { 0, 0 } },
        { "nothing", "", { 0, 0 } },
        { "a space too many", "5 6 7 8 ", { 0, 0 } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto held = GitGuardEntries::placeHeldOf(testCase.payload);
        EXPECT_EQ(std::pair(held.built.tv_sec, held.knownFrom.tv_sec), testCase.builtAndKnownFrom);
    }
}

// What the record cannot hold still counts: a place whose window could not be written counts at every
// time until a write succeeds, which then holds that window too; a place let go at the bound leaves its
// windows to every place; a record that is there and cannot be read counts every place, and is kept.
TEST(CommandWriteWindows, WhatTheRecordCannotHoldStillCounts)
{
    struct Case {
        const char* name;
        fs::file_type inTheWay; // at the record's name
        std::size_t placesAfter; // recorded after the place, each ending later
        bool thenWrites; // another window is recorded once the write can succeed
        bool countsOutsideEveryWindow;
        bool countsElsewhere;
        std::size_t told;
    };
    const Case cases[] = {
        { "a folder, which nobody can replace or read", fs::file_type::directory, 0, false, true, true, 1 },
        { "a FIFO, which could be replaced but not read", fs::file_type::fifo, 0, false, true, true, 1 },
        { "a place let go at the bound", fs::file_type::none, CommandWriteWindows::placeLimit, false, false,
            false, 0 },
        { "a write that succeeds after one that failed", fs::file_type::directory, 0, true, false, false, 0 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path record = home.data / CommandWriteWindows::recordName;
        const bool writeFails = testCase.inTheWay != fs::file_type::none;
        if (testCase.inTheWay == fs::file_type::directory)
            fs::create_directories(record / "in-the-way");
        if (testCase.inTheWay == fs::file_type::fifo) {
            ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
        }
        CommandWriteWindows window;
        window.add(home.home / "P", { { 100, 0 }, { 110, 0 } });
        EXPECT_EQ(recordedSucceeds(home.data, window), !writeFails);
        EXPECT_EQ(fs::symlink_status(record).type(), writeFails ? testCase.inTheWay : fs::file_type::regular);
        CommandWriteWindows later;
        for (std::size_t place = 0; place < testCase.placesAfter; ++place)
            later.add(home.home / ("p" + std::to_string(place)), { { 200, 0 }, { 300, 0 } });
        if (testCase.thenWrites) {
            fs::remove_all(record);
            later.add(home.home / "Q", { { 200, 0 }, { 300, 0 } });
        }
        if (testCase.placesAfter > 0 || testCase.thenWrites) {
            EXPECT_TRUE(recordedSucceeds(home.data, later));
        }

        const auto read = CommandWriteWindows::read(home.data);
        EXPECT_TRUE(read.couldHaveWritten(home.home / "P/x", { 105, 0 }));
        EXPECT_EQ(read.couldHaveWritten(home.home / "P/x", { 150, 0 }), testCase.countsOutsideEveryWindow);
        EXPECT_EQ(read.couldHaveWritten(home.home / "Q/x", { 150, 0 }), testCase.countsElsewhere);
        // Told once, until a write succeeds.
        EXPECT_EQ(CommandWriteWindows::untold(home.data, { home.home / "P", home.home / "Q" }).size(),
            testCase.told);
        EXPECT_TRUE(CommandWriteWindows::untold(home.data, { home.home / "P" }).empty());
        if (writeFails && !testCase.thenWrites) {
            fs::remove_all(record);
            EXPECT_TRUE(recordedSucceeds(home.data, {}));
        }
    }
}
