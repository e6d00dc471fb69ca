#include "Platform/SystemLog.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

using namespace vellumar;
using platform::FileDescriptor;
using platform::SystemLog;

namespace {

// What is waiting on a non-blocking descriptor, without waiting for more.
std::string pending(int descriptor)
{
    std::string text;
    char buffer[512];
    for (ssize_t size; (size = ::read(descriptor, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(size));
    return text;
}

// Runs in a child, whose standard error it takes. Each step starts a logger of the test's own at
// `socket` ("+"), ends it ("-"), or writes a line and tells where it went and what arrived there.
std::string transcript(const std::filesystem::path& socket, const std::vector<std::string>& steps)
{
    int errors[2];
    if (::pipe2(errors, O_NONBLOCK) != 0 || ::dup2(errors[1], STDERR_FILENO) != STDERR_FILENO)
        return "no pipe";
    SystemLog log(socket, "com.zu.plimsor.mac");
    FileDescriptor logger;
    // The header but for the time, which differs from run to run.
    std::regex header("<14>[A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d com\\.zu\\.plimsor\\.mac\\["
        + std::to_string(::getpid()) + "\\]: ");
    std::string seen;
    for (const auto& step : steps) {
        if (step == "+") {
            logger.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0));
            sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
            socket.native().copy(address.sun_path, sizeof address.sun_path - 1);
            ::bind(logger.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        } else if (step == "-") {
            logger.reset();
            std::filesystem::remove(socket);
        } else {
            bool toLogger = log.write(LOG_INFO, step) == SystemLog::Destination::logger;
            seen += (toLogger ? "logger " : "stderr ")
                + std::regex_replace(logger ? pending(logger.get()) : "", header, "<14>")
                + pending(errors[0]);
        }
    }
    return seen;
}

}

TEST(SystemLog, LinesGoToStandardErrorWhileNoLoggerListens)
{
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::string transcript;
    } cases[] = {
        { "no logger", { "no system tray" }, "stderr no system tray\n" },
        { "a logger", { "+", "published" }, "logger <14>published" },
        { "a logger that restarts, goes away and comes back", { "+", "a", "-", "+", "b", "-", "c", "+", "d" },
            "logger <14>alogger <14>bstderr c\nlogger <14>d" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        EXPECT_EQ(test::outputOfChildWithin(
                      std::chrono::seconds(30), [&] { return transcript(folder / "log", testCase.steps); }),
            testCase.transcript);
    }
}
