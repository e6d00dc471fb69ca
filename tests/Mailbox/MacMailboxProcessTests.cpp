// The Mac's mailbox on the cloud database, with vellumar-clouddb changing the account from a process
// of its own.
#include "VellumarMacCore/Mailbox/MacMailboxPushListener.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "tests/support/MemoryMailboxSetup.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

std::size_t entriesIn(const std::filesystem::path& folder)
{
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator {}));
}

class MacMailboxProcesses : public testing::Test {
protected:
    MacMailboxProcesses()
    {
        store = std::make_shared<movrane::CloudKitMailboxStore>(
            "iCloud.com.zu.plimsor", platform::CloudDatabaseOptions { .folder = root / "cloud" });
        mailbox = MacMailbox::make(
            test::memoryMailboxSetup(store, log), [] { return std::vector<movrane::MailboxPairing> {}; });
    }

    void setAccount(const std::string& status, const std::string& user)
    {
        auto result
            = test::runPeer({ VELLUMAR_CLOUDDB_TOOL, (root / "cloud").string(), "account", status, user });
        ASSERT_EQ(result.exitStatus, 0) << result.output;
    }

    bool waitForLines(const std::string& line, long count) { return log.waitFor(line, count); }

    static movrane::MailboxRelayResponse noAnswer(const movrane::MailboxInboundRequest&)
    {
        return movrane::MailboxRelayResponse::error(500, "internal", "unused", std::nullopt);
    }

    test::TemporaryFolder root;
    std::shared_ptr<movrane::CloudKitMailboxStore> store;
    test::MailboxLog log;
    std::shared_ptr<MacMailbox> mailbox;
};

}

TEST_F(MacMailboxProcesses, AnotherUserSigningInRestartsTheServerAtOnce)
{
    setAccount("1", "_userA");
    MacMailboxPushListener listener(store->container().listenForPushes(), mailbox);
    mailbox->start(noAnswer);
    ASSERT_TRUE(waitForLines("mailbox server started", 1));

    setAccount("1", "_userB");
    EXPECT_TRUE(waitForLines("mailbox server started", 2));

    setAccount("3", "_userB");
    EXPECT_TRUE(waitForLines("mailbox server stopped", 1));
    mailbox->stop();
}

TEST_F(MacMailboxProcesses, StartingAndStoppingLeavesNoThreadsOrDescriptorsBehind)
{
    store->container();
    mailbox->start(noAnswer);
    mailbox->stop();
    auto threads = entriesIn("/proc/self/task");
    auto descriptors = entriesIn("/proc/self/fd");
    for (int cycle = 0; cycle < 100; ++cycle) {
        mailbox->start(noAnswer);
        mailbox->stop();
    }
    // A stopped server loop may still be ending its pass, with what it opened.
    auto settled = [&] {
        return entriesIn("/proc/self/task") <= threads && entriesIn("/proc/self/fd") <= descriptors;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!settled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_LE(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_LE(entriesIn("/proc/self/task"), threads);
}
