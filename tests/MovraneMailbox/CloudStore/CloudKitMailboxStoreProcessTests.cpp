// Two processes on one cloud folder: this test and vellumar-clouddb, which writes as the other end.
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/InteractivePeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>

using namespace movrane;
namespace fs = std::filesystem;

namespace {

class CloudKitMailboxStoreProcesses : public test::CloudStoreTest {
protected:
    std::vector<std::string> tool(std::initializer_list<std::string> arguments)
    {
        std::vector<std::string> argv { VELLUMAR_CLOUDDB_TOOL, factory.cloudFolder().string() };
        argv.insert(argv.end(), arguments);
        return argv;
    }

    // Runs the tool to its end; its standard output, and a failed expectation when it did not exit 0.
    std::string run(std::initializer_list<std::string> arguments)
    {
        auto result = vellumar::test::runPeer(tool(arguments));
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        return result.output;
    }

    std::set<std::string> storedNames() { return test::storedNames(store, zone); }

    std::string sqlite3(const std::string& statement)
    {
        auto result = vellumar::test::runPeer(
            { "sqlite3", (factory.cloudFolder() / "iCloud.com.zu.plimsor.sqlite").string(), statement });
        EXPECT_EQ(result.exitStatus, 0);
        return result.output;
    }
};

}

TEST_F(CloudKitMailboxStoreProcesses, ListenerHearsEveryEnvelopeCommittedByAnotherProcessAndNoPresence)
{
    NotificationInbox inbox;
    test::PushListenerThread listener(
        store.container().listenForPushes(), [&inbox](const std::string& datagram) {
            inbox.receiver()(test::pushedMember(datagram) + " " + test::pushedMember(datagram, "rid"));
        });
    run({ "ensure-zone", zone, "mac" });
    run({ "save-presence", zone });
    std::istringstream lines(run({ "save-envelopes", zone, "100" }));
    std::vector<std::string> expected;
    for (std::string word, name; lines >> word >> name;)
        expected.push_back("vl.mac." + zone + " " + name);
    ASSERT_EQ(expected.size(), 100u);
    ASSERT_TRUE(inbox.waitForCount(100));
    // One writer's pushes reach a listener in order, so a push for the presence would be among these.
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(inbox.received(), expected);
}

TEST_F(CloudKitMailboxStoreProcesses, AccountChangeMadeByAnotherProcessIsAnnounced)
{
    NotificationInbox inbox;
    factory.listen(store, inbox.receiver());
    auto name = store.userRecordName();
    run({ "account", "1", name });
    run({ "account", "3", name });
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(store.accountState(), MailboxAccountState::noAccount);
    run({ "account", "1", "_another" });
    ASSERT_TRUE(inbox.waitForCount(2));
    EXPECT_EQ(store.userRecordName(), "_another");
    // Storing the account as it was announced nothing.
    EXPECT_EQ(inbox.received(), std::vector<std::string>(2, "account changed"));
}

TEST_F(CloudKitMailboxStoreProcesses, FailureQueuedByAnotherProcessIsReturnedByTheNextMatchingCall)
{
    store.ensureZone(zone);
    run({ "fail", "fetchChanges", "7", "3", "1" });
    EXPECT_EQ(failureOf([&] { store.saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "x"), zone); }),
        "succeeded");
    EXPECT_EQ(failureOf([&] { store.fetchChanges(zone, std::nullopt); }), "busy(retryAfter: Optional(3.0))");
    EXPECT_EQ(storedNames().size(), 1u);
}

TEST_F(CloudKitMailboxStoreProcesses, EightWritersSeeOnlySuccessOrBusyAndLoseNoRow)
{
    constexpr int writers = 8;
    constexpr int savesEach = 200;
    store.ensureZone(zone);
    std::vector<std::unique_ptr<vellumar::test::InteractivePeer>> peers;
    for (int writer = 0; writer < writers; ++writer)
        peers.push_back(std::make_unique<vellumar::test::InteractivePeer>(
            tool({ "save-envelopes", zone, std::to_string(savesEach), "2048" })));
    std::set<std::string> saved;
    for (auto& peer : peers) {
        std::istringstream lines(peer->readAll());
        int savedByThis = 0;
        for (std::string word, value; lines >> word >> value;) {
            if (word == "saved") {
                saved.insert(value);
                ++savedByThis;
            } else {
                EXPECT_EQ(word + " " + value, "busy 1");
            }
        }
        EXPECT_EQ(savedByThis, savesEach);
        EXPECT_EQ(peer->wait(), 0);
    }
    EXPECT_EQ(saved.size(), std::size_t { writers * savesEach });
    EXPECT_EQ(storedNames(), saved);
}

TEST_F(CloudKitMailboxStoreProcesses, WriterKilledMidTransactionLeavesACleanDatabase)
{
    store.ensureZone(zone);
    std::set<std::string> acknowledged;
    for (int kill = 0; kill < 4; ++kill) {
        SCOPED_TRACE(kill);
        auto writer = std::make_unique<vellumar::test::InteractivePeer>(
            tool({ "save-envelopes", zone, "100000", "65536" }));
        for (int line = 0; line < 10 + 7 * kill; ++line) {
            auto saved = writer->readLine();
            ASSERT_TRUE(saved && saved->starts_with("saved ")) << saved.value_or("(no line)");
            acknowledged.insert(saved->substr(6));
        }
        writer.reset(); // SIGKILL, most likely inside a transaction, since the loop does little else
        EXPECT_EQ(sqlite3("PRAGMA integrity_check;"), "ok\n");
        auto stored = storedNames();
        EXPECT_TRUE(std::includes(stored.begin(), stored.end(), acknowledged.begin(), acknowledged.end()));
        // No lock outlived the writer: this save would wait past the busy time-out otherwise.
        EXPECT_EQ(failureOf([&] {
            store.saveEnvelope(envelope(MailboxRecordName::envelope(), kill, "after"), zone);
        }),
            "succeeded");
    }
    EXPECT_EQ(sqlite3("SELECT count(*) FROM records WHERE name NOT IN (SELECT record FROM changes);"), "0\n");
}
