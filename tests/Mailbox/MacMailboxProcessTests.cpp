// The Mac's mailbox on the cloud database, with vellumar-clouddb changing the account from a process
// of its own.
#include "VellumarMacCore/Mailbox/MacMailboxPushListener.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>

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
            MacMailboxSetup {
                .store = store,
                .keyStore = std::make_shared<movrane::InMemoryMailboxKeyStore>(),
                .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
                .clock = std::make_shared<movrane::SystemMailboxClock>(),
                .log =
                    [this](std::string_view line) {
                        std::lock_guard lock(m_lock);
                        m_log.emplace_back(line);
                        m_logged.notify_all();
                    },
            },
            [] { return std::vector<movrane::MailboxPairing> {}; });
    }

    void setAccount(const std::string& status, const std::string& user)
    {
        auto result
            = test::runPeer({ VELLUMAR_CLOUDDB_TOOL, (root / "cloud").string(), "account", status, user });
        ASSERT_EQ(result.exitStatus, 0) << result.output;
    }

    // Waits until the log holds `count` lines equal to `line`.
    bool waitForLines(const std::string& line, long count)
    {
        std::unique_lock lock(m_lock);
        return m_logged.wait_for(lock, std::chrono::seconds(15),
            [&] { return std::count(m_log.begin(), m_log.end(), line) >= count; });
    }

    static movrane::MailboxRelayResponse noAnswer(const movrane::MailboxInboundRequest&)
    {
        return movrane::MailboxRelayResponse::error(500, "internal", "unused", std::nullopt);
    }

    test::TemporaryFolder root;
    std::shared_ptr<movrane::CloudKitMailboxStore> store;
    std::shared_ptr<MacMailbox> mailbox;

private:
    std::mutex m_lock;
    std::condition_variable m_logged;
    std::vector<std::string> m_log;
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
