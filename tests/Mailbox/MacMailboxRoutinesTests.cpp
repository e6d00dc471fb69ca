// Routine results of a real routine manager (a latched fake runner behind a real job manager) reaching
// phones through the Mac mailbox and the in-memory store, opened with each phone's own key.
#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "tests/Mailbox/SteppedMailboxClock.h"
#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"
#include "tests/Routines/RoutineManagerFixture.h"

#include <gtest/gtest.h>

namespace vellumar::test {
namespace {

    using movrane::test::Phone;

    class MacMailboxRoutinesTest : public RoutineManagerTest {
    protected:
        MacMailboxRoutinesTest()
        {
            manager->observeJobs();
            keyStore->save(mac, "mac");
        }

        void makeMailbox()
        {
            mailbox
                = MacMailbox::make({ .store = store,
                                       .keyStore = keyStore,
                                       .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
                                       .clock = mailboxClock },
                    [this] {
                        std::vector<movrane::MailboxPairing> pairings;
                        for (const auto& phone : phones)
                            pairings.push_back(phone->pairing);
                        return pairings;
                    });
        }

        // Runs a routine to its end; once the test's observer, added after the mailbox's, has heard of
        // the result, the mailbox has too.
        JSON finishRoutine()
        {
            auto job = textOf(manager->runNow(create()), "jobId");
            runner->reply(job, "Done.");
            return results.await(++m_results).back();
        }

        // The mailbox goes, which waits for the broadcasts it started.
        void endMailbox()
        {
            mailbox->stop();
            mailbox.reset();
        }

        // Each event the phone holds, as its notification kind, name and body.
        std::vector<std::string> events(const Phone& phone) const
        {
            std::vector<std::string> events;
            for (const auto& record : store->envelopes(phone.zone())) {
                movrane::MailboxChannelState scratch;
                auto message = phone.channel.open(record, mailboxClock->now(), scratch, false);
                if (const auto* event = std::get_if<movrane::MailboxEvent>(&message.content))
                    events.push_back(std::string(movrane::rawValue(record.notify)) + " " + event->name + " "
                        + std::string(event->body.begin(), event->body.end()));
            }
            return events;
        }

        movrane::MailboxIdentity mac = movrane::MailboxIdentity::generate();
        std::shared_ptr<movrane::InMemoryMailboxKeyStore> keyStore
            = std::make_shared<movrane::InMemoryMailboxKeyStore>();
        std::shared_ptr<movrane::InMemoryMailboxStore> store
            = std::make_shared<movrane::InMemoryMailboxStore>(
                std::make_shared<movrane::SystemMailboxClock>(), 0);
        std::shared_ptr<SteppedMailboxClock> mailboxClock = std::make_shared<SteppedMailboxClock>(15);
        std::vector<std::unique_ptr<Phone>> phones;
        std::shared_ptr<MacMailbox> mailbox;

    private:
        std::size_t m_results = 0;
    };

    TEST_F(MacMailboxRoutinesTest, EachResultReachesEveryPhoneOnceAsARoutineAlertWhenConnectedTwice)
    {
        for (int phone = 0; phone < 2; ++phone)
            phones.push_back(std::make_unique<Phone>(mac, store, folder.path()));
        makeMailbox();
        mailbox->connectRoutines(*manager);
        mailbox->connectRoutines(*manager);
        manager->addResultObserver(results.observer());
        mailbox->start(
            [](const movrane::MailboxInboundRequest&) { return movrane::MailboxRelayResponse {}; });

        auto expected = "routine routineResult " + finishRoutine().encoded();
        endMailbox();
        for (const auto& phone : phones)
            EXPECT_EQ(events(*phone), std::vector<std::string> { expected });
    }

    TEST_F(MacMailboxRoutinesTest, AResultWhileTheServerIsStoppedIsDroppedForGood)
    {
        phones.push_back(std::make_unique<Phone>(mac, store, folder.path()));
        makeMailbox();
        mailbox->connectRoutines(*manager);
        manager->addResultObserver(results.observer());
        finishRoutine();
        mailbox->start(
            [](const movrane::MailboxInboundRequest&) { return movrane::MailboxRelayResponse {}; });

        auto expected = "routine routineResult " + finishRoutine().encoded();
        endMailbox();
        EXPECT_EQ(events(*phones[0]), std::vector<std::string> { expected });
    }

}
}
