#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace vellumar;

namespace {

struct SocketPair {
    int ends[2] = { -1, -1 };
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~SocketPair() { closeEnd(0), closeEnd(1); }
    void closeEnd(int index)
    {
        if (ends[index] >= 0)
            close(std::exchange(ends[index], -1));
    }
};

}

TEST(UnixSocketAddress, FitsPathsUpTo107BytesThatHoldNoNUL)
{
    EXPECT_TRUE(unixSocketAddress("/" + std::string(106, 'a')));
    EXPECT_FALSE(unixSocketAddress("/" + std::string(107, 'a')));
    EXPECT_FALSE(unixSocketAddress(std::string("/tmp/a\0b", 8)));
}

TEST(UnixSocketLines, ReadLineStopsAtTheFirstLineFeedOrTheEndOfTheStream)
{
    for (const auto& [sent, line] : std::vector<std::pair<std::string, std::optional<std::string>>> {
             { "first\nsecond\n", "first" }, { "\n", "" }, { "partial", "partial" }, { "", std::nullopt } }) {
        SCOPED_TRACE(sent);
        SocketPair pair;
        ASSERT_TRUE(writeAll(pair.ends[0], sent));
        pair.closeEnd(0);
        EXPECT_EQ(readLine(pair.ends[1], 1048576), line);
    }
}

TEST(UnixSocketLines, ReadLineStopsAtTheMaximumOrTheReceiveTimeout)
{
    ignoreSIGPIPE();
    SocketPair pair;
    std::thread writer([&] { writeAll(pair.ends[0], std::string(300000, 'a')); });
    auto line = readLine(pair.ends[1], 100000);
    // The writer is still blocked on the rest; closing the reading end fails its write.
    pair.closeEnd(1);
    writer.join();
    ASSERT_TRUE(line);
    EXPECT_GE(line->size(), 100000u);
    EXPECT_LT(line->size(), 100000u + 65536u);

    // The writer stays open, so only the time-out can end the read.
    SocketPair open;
    setSocketTimeouts(open.ends[1], 0.05);
    ASSERT_TRUE(writeAll(open.ends[0], "no line feed yet"));
    auto reading = std::async(std::launch::async, [&] { return readLine(open.ends[1], 1048576); });
    const bool ended = reading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    open.closeEnd(0);
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
