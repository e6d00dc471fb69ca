#include "Platform/Log.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar::platform;

namespace {

// Exit codes of the child that plays the system logger.
enum ChildOutcome { received = 0, noNamespace = 2, noSocket = 3, nothingReceived = 4 };

// In a private mount namespace with an empty /dev, binds the logger's socket /dev/log, logs one
// line and sends the datagram that arrived back through `pipe`. Runs in a forked child.
int logThroughPrivateLogger(int pipe)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
        return noNamespace;
    int logger = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = "/dev/log" };
    if (logger < 0 || ::bind(logger, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return noSocket;
    logError("sessions.json was not saved");
    char datagram[512];
    ssize_t size = ::recv(logger, datagram, sizeof datagram, MSG_DONTWAIT);
    if (size <= 0)
        return nothingReceived;
    return ::write(pipe, datagram, static_cast<std::size_t>(size)) == size ? received : nothingReceived;
}

}

TEST(Log, WritesOneErrorLineToSyslogUnderTheBundleIdentifier)
{
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(logThroughPrivateLogger(pipe[1]));
    ::close(pipe[1]);
    std::string datagram;
    char buffer[512];
    for (ssize_t count; (count = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        datagram.append(buffer, static_cast<std::size_t>(count));
    ::close(pipe[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == noNamespace)
        GTEST_SKIP() << "no private mount namespace here: syslog's socket cannot be stood in for";
    ASSERT_EQ(WEXITSTATUS(status), received);

    // <11> is the user facility (8) at error priority (3); the time stamp stands between.
    EXPECT_TRUE(datagram.starts_with("<11>")) << datagram;
    auto identifier = datagram.find(" com.zu.plimsor.mac[" + std::to_string(child) + "]: ");
    ASSERT_NE(identifier, std::string::npos) << datagram;
    EXPECT_TRUE(datagram.ends_with("]: sessions.json was not saved")) << datagram;
}
