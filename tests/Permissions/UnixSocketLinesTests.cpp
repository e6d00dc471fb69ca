#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vellumar;

TEST(UnixSocketAddress, FitsPathsUpTo107BytesThatHoldNoNUL)
{
    EXPECT_TRUE(unixSocketAddress("/" + std::string(106, 'a')));
    EXPECT_FALSE(unixSocketAddress("/" + std::string(107, 'a')));
    EXPECT_FALSE(unixSocketAddress(std::string("/tmp/a\0b", 8)));
}

TEST(UnixSocketLines, ReadLineStopsAtTheMaximumAndWriteAllFailsWhenThePeerIsGone)
{
    ignoreSIGPIPE();
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    // The kernel queues up to the send buffer and one more packet of half of it; the line takes less
    // than 64 KiB beyond its maximum. Well over both, the writer is still blocked when the reading end
    // goes, whatever the buffer sizes and however the threads are scheduled.
    int sendBufferBytes = 0;
    socklen_t optionLength = sizeof(sendBufferBytes);
    ASSERT_EQ(getsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, &optionLength), 0);
    const std::string data(100000 + 65536 + 4 * static_cast<std::size_t>(sendBufferBytes), 'a');
    bool written = true;
    std::thread writer([&] { written = writeAll(ends[0], data); });
    auto line = readLine(ends[1], 100000);
    // The writer is still blocked on the rest; closing the reading end fails its write.
    close(ends[1]);
    writer.join();
    close(ends[0]);
    ASSERT_TRUE(line);
    EXPECT_GE(line->size(), 100000u);
    EXPECT_LT(line->size(), 100000u + 65536u);
    EXPECT_FALSE(written);
}
