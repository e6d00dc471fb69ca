#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "tests/Mailbox/AlwaysFailingKeyStoreFake.h"
#include "tests/Mailbox/SteppedMailboxClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace vellumar;
using movrane::MailboxAccountState;
using movrane::MailboxError;
using Operation = movrane::InMemoryMailboxStore::Operation;

namespace {

class MacMailboxTest : public testing::Test {
protected:
    MacMailboxTest() { store->setRecordName("_userA"); }

    std::shared_ptr<MacMailbox> makeMailbox(std::shared_ptr<movrane::MailboxKeyStore> keyStore
        = std::make_shared<movrane::InMemoryMailboxKeyStore>())
    {
        MacMailboxSetup setup {
            .store = store,
            .keyStore = std::move(keyStore),
            .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
            .clock = clock,
            .macName = [] { return std::string("Studio"); },
            .log =
                [this](std::string_view line) {
                    std::lock_guard lock(m_logLock);
                    m_log.emplace_back(line);
                },
        };
        auto mailbox = MacMailbox::make(std::move(setup), [this] {
            std::lock_guard lock(m_logLock);
            return m_pairings;
        });
        return mailbox;
    }

    // Pairs one phone with the mailbox's key in a zone that exists, so every fetch asks the store for it.
    void pairPhone(MacMailbox& mailbox)
    {
        auto zone = movrane::MailboxZoneName::make();
        store->ensureZone(zone);
        auto key = *mailbox.macKey();
        std::lock_guard lock(m_logLock);
        m_pairings.push_back(movrane::MailboxPairing::make(
            zone, "mac-1", "ios-1", key, movrane::MailboxIdentity::generate().publicKey()));
    }

    static movrane::MailboxRelayResponse noAnswer(const movrane::MailboxInboundRequest&)
    {
        return movrane::MailboxRelayResponse::error(500, "internal", "unused", std::nullopt);
    }

    std::vector<std::string> log()
    {
        std::lock_guard lock(m_logLock);
        return m_log;
    }

    long linesStartingWith(const std::string& prefix)
    {
        auto lines = log();
        return std::count_if(
            lines.begin(), lines.end(), [&](const auto& line) { return line.starts_with(prefix); });
    }

    std::shared_ptr<movrane::InMemoryMailboxStore> store
        = std::make_shared<movrane::InMemoryMailboxStore>(std::make_shared<movrane::SystemMailboxClock>(), 0);
    std::shared_ptr<test::SteppedMailboxClock> clock = std::make_shared<test::SteppedMailboxClock>(15);

private:
    std::mutex m_logLock;
    std::vector<std::string> m_log;
    std::vector<movrane::MailboxPairing> m_pairings;
};

}

TEST_F(MacMailboxTest, StartingTwiceRunsOneLoopAndOneServer)
{
    auto mailbox = makeMailbox();
    mailbox->start(noAnswer);
    mailbox->start(noAnswer);
    ASSERT_TRUE(clock->waitForSleeps(1));
    clock->step();
    EXPECT_EQ(clock->sleepsBegun(), 2);
    EXPECT_EQ(log(), std::vector<std::string> { "mailbox server started" });
    mailbox->stop();
}

TEST_F(MacMailboxTest, AnotherSignedInUserGetsANewServer)
{
    auto mailbox = makeMailbox();
    pairPhone(*mailbox);
    mailbox->start(noAnswer);
    ASSERT_TRUE(clock->waitForOtherSleep());
    store->fail(Operation::fetchChanges, MailboxError::other(7), 1);
    mailbox->handlePush();
    mailbox->refreshStatus();
    ASSERT_EQ(mailbox->status().zoneErrors.size(), 1u);

    store->setRecordName("_userB");
    mailbox->accountChanged();
    EXPECT_TRUE(mailbox->status().zoneErrors.empty());
    EXPECT_EQ(linesStartingWith("mailbox server started"), 2);
    EXPECT_EQ(linesStartingWith("mailbox server stopped"), 0);
    EXPECT_TRUE(mailbox->status().running);
    mailbox->stop();
    EXPECT_EQ(log().back(), "mailbox server stopped");
}

TEST_F(MacMailboxTest, ASignedOutAccountStopsTheServerAndPushesThenDoNothing)
{
    auto mailbox = makeMailbox();
    pairPhone(*mailbox);
    mailbox->start(noAnswer);
    // The server's first pass has fetched and its loop sleeps.
    ASSERT_TRUE(clock->waitForOtherSleep());
    int before = store->count(Operation::fetchChanges);
    mailbox->handlePush();
    int fetches = store->count(Operation::fetchChanges);
    EXPECT_GT(fetches, before);

    store->setAccount(MailboxAccountState::noAccount);
    mailbox->refreshAccount();
    EXPECT_EQ(log().back(), "mailbox server stopped");
    auto status = mailbox->status();
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.activeWatches, 0);
    EXPECT_EQ(status.availability, MacMailboxStatus::Availability { MailboxAccountState::noAccount });

    mailbox->handlePush();
    EXPECT_EQ(store->count(Operation::fetchChanges), fetches);
    mailbox->stop();
}

TEST_F(MacMailboxTest, ARecordNameLearnedLaterDoesNotRestartTheServer)
{
    store->fail(Operation::userRecordName, MailboxError::network(std::nullopt), 1);
    auto mailbox = makeMailbox();
    mailbox->start(noAnswer);
    EXPECT_TRUE(mailbox->status().running);
    mailbox->refreshAccount();
    EXPECT_EQ(store->count(Operation::userRecordName), 2);
    EXPECT_EQ(log(), std::vector<std::string> { "mailbox server started" });
    mailbox->stop();
}

TEST_F(MacMailboxTest, AKeyStoreThatAlwaysFailsIsLoggedOnce)
{
    auto mailbox = makeMailbox(std::make_shared<test::AlwaysFailingKeyStoreFake>());
    mailbox->start(noAnswer);
    mailbox->refreshAccount();
    EXPECT_EQ(mailbox->macKey(), std::nullopt);
    EXPECT_EQ(linesStartingWith("mailbox key unavailable: "), 1);
    EXPECT_EQ(linesStartingWith("mailbox server"), 0);
    EXPECT_EQ(mailbox->status().availability,
        MacMailboxStatus::Availability { MacMailboxStatus::KeyUnavailable {} });
    mailbox->stop();
}

TEST_F(MacMailboxTest, StoppingWithoutAServerLogsNothingButPublishes)
{
    auto mailbox = makeMailbox();
    int calls = 0;
    mailbox->observe([&](const MacMailboxStatus&) { ++calls; });
    EXPECT_EQ(calls, 1);
    mailbox->stop();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(log().empty());
}

TEST_F(MacMailboxTest, BeforeAnyAnswerTheAccountIsBeingChecked)
{
    auto mailbox = makeMailbox();
    EXPECT_EQ(
        mailbox->status().availability, MacMailboxStatus::Availability { MacMailboxStatus::Checking {} });
}

TEST_F(MacMailboxTest, AnUnchangedStatusIsPublishedOnce)
{
    auto mailbox = makeMailbox();
    std::vector<std::optional<bool>> seen;
    mailbox->observe([&](const MacMailboxStatus& status) { seen.push_back(status.pushRegistered); });
    mailbox->setPushRegistered(true);
    mailbox->setPushRegistered(true);
    EXPECT_EQ(seen, (std::vector<std::optional<bool>> { std::nullopt, true }));
    int late = 0;
    mailbox->observe([&](const MacMailboxStatus&) { ++late; });
    EXPECT_EQ(late, 1);
}

TEST_F(MacMailboxTest, TheAccountIsCheckedAgainAfterFiveMinutesWhileUsableAndAfterAMinuteOtherwise)
{
    const struct {
        const char* name;
        MailboxAccountState first;
        MailboxAccountState then;
        // Loop ticks of 15 s before the next check is due.
        int ticksBeforeTheCheck;
    } cases[] = {
        { "usable", MailboxAccountState::available, MailboxAccountState::noAccount, 19 },
        { "unusable", MailboxAccountState::temporarilyUnavailable, MailboxAccountState::available, 3 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        clock = std::make_shared<test::SteppedMailboxClock>(15);
        store->setAccount(testCase.first);
        auto mailbox = makeMailbox();
        mailbox->start(noAnswer);
        bool runningFirst = mailbox->status().running;
        store->setAccount(testCase.then);
        clock->steps(testCase.ticksBeforeTheCheck);
        EXPECT_EQ(mailbox->status().running, runningFirst) << "checked too early";
        clock->step();
        EXPECT_NE(mailbox->status().running, runningFirst);
        mailbox->stop();
    }
}

TEST_F(MacMailboxTest, ObserversMayAskTheMailboxWhilePublicationsRace)
{
    auto mailbox = makeMailbox();
    std::atomic<int> calls = 0;
    mailbox->observe([&](const MacMailboxStatus&) {
        // Would wait forever if observers were called under the mailbox's lock.
        mailbox->status();
        ++calls;
    });
    {
        std::jthread registering([&] {
            for (int i = 0; i < 50; ++i)
                mailbox->setPushRegistered(i % 2 == 0);
        });
        std::jthread refreshing([&] {
            for (int i = 0; i < 50; ++i)
                mailbox->refreshStatus();
        });
    }
    EXPECT_GE(calls.load(), 2);
    EXPECT_EQ(mailbox->status().pushRegistered, false);
}
