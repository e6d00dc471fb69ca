// A Mac mailbox over a store the test can hold, on a clock the test moves, with its status and log
// recorded: the ground for the tests of pairing offers and pairing zones.
#pragma once

#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/Mailbox/GatedMailboxStoreFake.h"
#include "tests/Mailbox/ManualSleepMailboxClock.h"
#include "tests/support/MemoryMailboxSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vellumar::test {

class PairingMailboxFixture : public testing::Test {
protected:
    using Operation = movrane::InMemoryMailboxStore::Operation;

    PairingMailboxFixture() { memory->setRecordName("_userA"); }
    // The mailbox's threads read the fixture until its end has waited for them, which a held call would keep.
    ~PairingMailboxFixture() override
    {
        store->releaseAll();
        mailbox.reset();
    }

    void makeMailbox(std::shared_ptr<movrane::MailboxKeyStore> keyStore
        = std::make_shared<movrane::InMemoryMailboxKeyStore>(),
        double pairingTimeout = 4)
    {
        auto setup = test::memoryMailboxSetup(store, m_log);
        setup.keyStore = std::move(keyStore);
        setup.clock = clock;
        setup.pairingTimeout = pairingTimeout;
        mailbox = MacMailbox::make(std::move(setup), [this] {
            std::lock_guard lock(m_lock);
            return m_pairings;
        });
        mailbox->observe([this](const MacMailboxStatus& status) {
            std::lock_guard lock(m_lock);
            m_status = status;
            m_changed.notify_all();
        });
    }

    // Ends the mailbox, which waits for the set-ups and forgets it started.
    void endMailbox() { mailbox.reset(); }

    // A pairing of a phone with this Mac's key.
    movrane::MailboxPairing pairing(const std::string& zone, const std::string& deviceID = "d-1")
    {
        return movrane::MailboxPairing::make(
            zone, "mac-1", deviceID, *mailbox->macKey(), movrane::MailboxIdentity::generate().publicKey());
    }

    // What the server is told is paired.
    void setPairings(std::vector<movrane::MailboxPairing> pairings)
    {
        std::lock_guard lock(m_lock);
        m_pairings = std::move(pairings);
    }

    template <typename Condition> bool waitForStatus(Condition condition)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return condition(m_status); });
    }

    long linesStartingWith(const std::string& prefix) const
    {
        auto lines = m_log.lines();
        return std::count_if(
            lines.begin(), lines.end(), [&](const auto& line) { return line.starts_with(prefix); });
    }

    std::shared_ptr<movrane::InMemoryMailboxStore> memory
        = std::make_shared<movrane::InMemoryMailboxStore>(std::make_shared<movrane::SystemMailboxClock>(), 0);
    std::shared_ptr<GatedMailboxStoreFake> store = std::make_shared<GatedMailboxStoreFake>(memory);
    std::shared_ptr<ManualSleepMailboxClock> clock = std::make_shared<ManualSleepMailboxClock>();
    std::shared_ptr<MacMailbox> mailbox;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    MacMailboxStatus m_status;
    MailboxLog m_log;
    std::vector<movrane::MailboxPairing> m_pairings;
};

}
