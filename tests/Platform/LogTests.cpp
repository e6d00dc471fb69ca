#include "Platform/Log.h"

#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <sched.h>
#include <string>
#include <thread>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vellumar::platform;

namespace {

// Exit codes of the child that plays the system logger.
enum ChildOutcome { logged = 0, noNamespace = 2, noSocket = 3, wrongLine = 4 };

// Gives the calling child a private mount namespace with an empty /dev: no system logger there.
bool enterEmptyDev()
{
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("none", "/dev", "tmpfs", 0, nullptr) == 0;
}

// In a private mount namespace with an empty /dev, binds the logger's socket /dev/log, logs one line
// and checks the datagram that arrived. Runs in a forked child.
int logThroughPrivateLogger()
{
    if (!enterEmptyDev())
        return noNamespace;
    int logger = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = "/dev/log" };
    if (logger < 0 || ::bind(logger, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return noSocket;
    logError("sessions.json was not saved");
    char datagram[512];
    ssize_t size = ::recv(logger, datagram, sizeof datagram, MSG_DONTWAIT);
    // <11> is the user facility (8) at error priority (3); the time stamp stands between.
    std::regex expected("<11>[^\\]]* com\\.zu\\.plimsor\\.mac\\[" + std::to_string(::getpid())
        + "\\]: sessions\\.json was not saved");
    return size > 0 && std::regex_match(datagram, datagram + size, expected) ? logged : wrongLine;
}

}

TEST(Log, WritesOneErrorLineToSyslogUnderTheBundleIdentifier)
{
    int outcome = vellumar::test::exitStatusWithin(std::chrono::seconds(30), logThroughPrivateLogger);
    if (outcome == noNamespace)
        GTEST_SKIP() << "no private mount namespace here: syslog's socket cannot be stood in for";
    EXPECT_EQ(outcome, logged);
}

TEST(Log, WithoutASystemLoggerLinesGoToStandardError)
{
    int errors[2];
    ASSERT_EQ(::pipe(errors), 0);
    int outcome = vellumar::test::exitStatusWithin(std::chrono::seconds(30), [&] {
        if (!enterEmptyDev() || ::dup2(errors[1], STDERR_FILENO) != STDERR_FILENO)
            return int(noNamespace);
        logError("no system tray");
        return int(logged);
    });
    ::close(errors[1]);
    if (outcome == noNamespace)
        GTEST_SKIP() << "no private mount namespace here: syslog's socket cannot be hidden";
    char written[512];
    ssize_t size = ::read(errors[0], written, sizeof written);
    ::close(errors[0]);
    EXPECT_EQ(outcome, logged);
    EXPECT_EQ(std::string(written, std::max<ssize_t>(size, 0)), "no system tray\n");
}

// A sink captures what goes once it is replaced (a test's log): a thread logging all the while never calls
// into one whose replacement has returned.
TEST(Log, NoLineReachesASinkOnceItsReplacementReturned)
{
    LogSink original = replaceLogSink([](std::string_view) {});
    std::atomic<bool> done = false;
    std::jthread logging([&] {
        while (!done)
            logInfo("a line from elsewhere");
    });
    std::atomic<int> lateCalls = 0;
    for (int round = 0; round < 100; ++round) {
        auto owner = std::make_unique<std::atomic<bool>>(false);
        std::atomic<bool> entered = false;
        replaceLogSink([gone = owner.get(), &entered, &lateCalls](std::string_view) {
            entered = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            lateCalls += gone->load() ? 1 : 0;
        });
        while (!entered)
            std::this_thread::yield();
        replaceLogSink([](std::string_view) {});
        *owner = true;
        owner.reset();
    }
    done = true;
    logging.join();
    replaceLogSink(std::move(original));
    EXPECT_EQ(lateCalls, 0);
}
