#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <optional>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <utility>
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
    void closeEnd(int index) { close(std::exchange(ends[index], -1)); }
};

}

TEST(UnixSocketAddress, FitsPathsUpTo107BytesThatHoldNoNUL)
{
    auto address = unixSocketAddress("/tmp/s");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->sun_family, AF_UNIX);
    EXPECT_EQ(std::string(address->sun_path, sizeof address->sun_path), "/tmp/s" + std::string(102, '\0'));
    EXPECT_TRUE(unixSocketAddress("/" + std::string(106, 'a')));
    EXPECT_FALSE(unixSocketAddress("/" + std::string(107, 'a')));
    EXPECT_FALSE(unixSocketAddress(std::string("/tmp/a\0b", 8)));
}

TEST(UnixSocketLines, ReadLineStopsAtTheFirstLineFeedOrTheEndOfTheStream)
{
    struct Case {
        std::string sent;
        std::optional<std::string> line;
    };
    for (const auto& c : { Case { "first\nsecond\n", "first" }, Case { "\n", "" },
             Case { "partial", "partial" }, Case { "", std::nullopt } }) {
        SCOPED_TRACE(c.sent);
        SocketPair pair;
        ASSERT_TRUE(writeAll(pair.ends[0], c.sent));
        pair.closeEnd(0);
        EXPECT_EQ(readLine(pair.ends[1], 1048576), c.line);
    }
}

TEST(UnixSocketLines, ReadLineStopsAtTheMaximum)
{
    ignoreSIGPIPE();
    SocketPair pair;
    std::thread writer([&] {
        writeAll(pair.ends[0], std::string(300000, 'a'));
        pair.closeEnd(0);
    });
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
    // The writer stays open, so only the time-out can end the read.
    auto reading = std::async(std::launch::async, [&] { return readLine(pair.ends[1], 1048576); });
    const bool ended = reading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    pair.closeEnd(0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(reading.get(), "no line feed yet");
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
