#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using namespace vellumar;

namespace {

struct SocketPair {
    int ends[2] = { -1, -1 };
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~SocketPair()
    {
        for (int end : ends) {
            if (end >= 0)
                close(end);
        }
    }
    void closeEnd(int index)
    {
        close(ends[index]);
        ends[index] = -1;
    }
};

}

TEST(UnixSocketAddress, FitsPathsUpTo107Bytes)
{
    struct Case {
        std::string name;
        std::string path;
        bool fits;
    };
    std::string accented;
    for (int index = 0; index < 27; ++index)
        accented += "\xc3\xa9";
    for (const auto& testCase : std::vector<Case> {
             { "short", "/tmp/s", true },
             { "107 bytes", "/" + std::string(106, 'a'), true },
             { "108 bytes", "/" + std::string(107, 'a'), false },
             { "embedded NUL", std::string("/tmp/a\0b", 8), false },
             { "107 bytes of UTF-8", "/" + std::string(52, 'a') + accented, true },
             { "108 bytes of UTF-8", "/" + std::string(53, 'a') + accented, false },
         }) {
        SCOPED_TRACE(testCase.name);
        auto address = unixSocketAddress(testCase.path);
        ASSERT_EQ(address.has_value(), testCase.fits);
        if (!address)
            continue;
        EXPECT_EQ(address->sun_family, AF_UNIX);
        EXPECT_EQ(std::string(address->sun_path), testCase.path);
        for (std::size_t index = testCase.path.size(); index < sizeof(address->sun_path); ++index)
            EXPECT_EQ(address->sun_path[index], '\0');
    }
}

TEST(UnixSocketLines, ReadLineStopsAtTheFirstLineFeed)
{
    struct Case {
        std::string name;
        std::string sent;
        std::optional<std::string> line;
    };
    for (const auto& testCase : std::vector<Case> {
             { "one line", "{\"a\":1}\n", "{\"a\":1}" },
             { "rest dropped", "first\nsecond\n", "first" },
             { "carriage return kept", "x\r\n", "x\r" },
             { "empty line", "\n", "" },
             { "end of stream without line feed", "partial", "partial" },
             { "nothing at all", "", std::nullopt },
         }) {
        SCOPED_TRACE(testCase.name);
        SocketPair pair;
        ASSERT_TRUE(writeAll(pair.ends[0], testCase.sent));
        pair.closeEnd(0);
        EXPECT_EQ(readLine(pair.ends[1], 1048576), testCase.line);
    }
}

TEST(UnixSocketLines, ReadLineStopsAtTheMaximum)
{
    ignoreSIGPIPE();
    SocketPair pair;
    std::string sent(300000, 'a');
    std::thread writer([&] { writeAll(pair.ends[0], sent); });
    auto line = readLine(pair.ends[1], 100000);
    // The writer is still blocked on the rest; closing the reading end fails its write.
    pair.closeEnd(1);
    writer.join();
    ASSERT_TRUE(line);
    EXPECT_GE(line->size(), 100000u);
    EXPECT_LT(line->size(), 100000u + 65536u);
}

TEST(UnixSocketLines, ReadLineGivesUpAfterTheReceiveTimeout)
{
    SocketPair pair;
    setSocketTimeouts(pair.ends[1], 0.05);
    ASSERT_TRUE(writeAll(pair.ends[0], "no line feed yet"));
    // The writer stays open: only the time-out can end the read.
    EXPECT_EQ(readLine(pair.ends[1], 1048576), "no line feed yet");
    SocketPair silent;
    setSocketTimeouts(silent.ends[1], 0.05);
    EXPECT_EQ(readLine(silent.ends[1], 1048576), std::nullopt);
}

TEST(UnixSocketLines, WriteAllFailsInsteadOfDyingWhenThePeerIsGone)
{
    ignoreSIGPIPE();
    SocketPair pair;
    pair.closeEnd(1);
    EXPECT_FALSE(writeAll(pair.ends[0], "anyone?\n"));
    EXPECT_TRUE(writeAll(pair.ends[0], ""));
}

TEST(UnixSocketLines, SetSocketTimeoutsIgnoresValuesThatCannotBeTimes)
{
    SocketPair pair;
    for (double seconds : { -1.0, std::nan(""), 1e300, std::numeric_limits<double>::infinity() })
        setSocketTimeouts(pair.ends[0], seconds);
    timeval timeout {};
    socklen_t size = sizeof(timeout);
    ASSERT_EQ(getsockopt(pair.ends[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, &size), 0);
    EXPECT_EQ(timeout.tv_sec, 0);
    EXPECT_EQ(timeout.tv_usec, 0);
    setSocketTimeouts(pair.ends[0], 1800.5);
    ASSERT_EQ(getsockopt(pair.ends[0], SOL_SOCKET, SO_SNDTIMEO, &timeout, &size), 0);
    EXPECT_EQ(timeout.tv_sec, 1800);
    // The kernel keeps time-outs in clock ticks.
    EXPECT_NEAR(timeout.tv_usec, 500000, 10000);
}
