#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

#include <future>

namespace movrane::test {
namespace {

    // Ends each poll loop at its first sleep and tells the test what that sleep was.
    class FirstSleeps {
    public:
        explicit FirstSleeps(ManualMailboxClock& clock)
            : m_clock(clock)
        {
            m_clock.onSleep([this](double seconds) {
                {
                    std::lock_guard lock(m_lock);
                    m_sleeps.push_back(seconds);
                    m_changed.notify_all();
                }
                throw MailboxCancelledError();
            });
        }
        ~FirstSleeps() { m_clock.onSleep({}); }
        // The first `count` sleeps, or fewer when they did not come in time.
        std::vector<double> waitFor(std::size_t count)
        {
            std::unique_lock lock(m_lock);
            m_changed.wait_for(lock, kDeadline, [&] { return m_sleeps.size() >= count; });
            return m_sleeps;
        }

    private:
        ManualMailboxClock& m_clock;
        std::mutex m_lock;
        std::condition_variable m_changed;
        std::vector<double> m_sleeps;
    };

    class MailboxServerLoop : public MailboxServerTest {
    protected:
        std::vector<std::string> callsIn(const std::string& zone)
        {
            std::vector<std::string> inZone;
            for (const auto& call : store->calls()) {
                if (call.ends_with(" " + zone))
                    inZone.push_back(call.substr(0, call.size() - zone.size() - 1));
            }
            return inZone;
        }

        // The sleep after the first pass of a new server whose last envelope from a device was opened
        // `seconds` before the loop starts.
        double sleepAfterRequest(double seconds)
        {
            auto& phone = addPhone();
            phone.send(MailboxEvent { "ping", {} }, at(0));
            clock->setSeconds(0);
            fetch();
            clock->setSeconds(seconds);
            FirstSleeps sleeps(*clock);
            server().start();
            auto seen = sleeps.waitFor(1);
            destroyServer();
            return seen.empty() ? -1 : seen.front();
        }
    };

    TEST_F(MailboxServerLoop, TheFirstPassFetchesThenPublishesPresenceThenCleansUp)
    {
        auto& phone = addPhone();
        FirstSleeps sleeps(*clock);
        server().start();
        EXPECT_EQ(sleeps.waitFor(1), std::vector<double> { 30 });
        EXPECT_EQ(callsIn(phone.zone()),
            (std::vector<std::string> { "fetchChanges", "savePresence", "fetchChanges" }));
        EXPECT_TRUE(memoryStore->presence(phone.zone()).has_value());
    }

    TEST_F(MailboxServerLoop, PollsFastForThreeMinutesAfterADeviceSpoke)
    {
        EXPECT_EQ(sleepAfterRequest(179), 2);
        EXPECT_EQ(sleepAfterRequest(180), 30);
    }

    TEST_F(MailboxServerLoop, APauseSkipsTheFetchAndIsSleptThroughWhole)
    {
        struct Case {
            double pauseSeconds;
            double sleep;
        } cases[] = { { 100, 100 }, { 1, 30 } };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.pauseSeconds);
            auto& phone = addPhone();
            server().noteZoneError(
                std::make_exception_ptr(MailboxError::busy(row.pauseSeconds)), phone.zone());
            FirstSleeps sleeps(*clock);
            server().start();
            EXPECT_EQ(sleeps.waitFor(1), std::vector<double> { row.sleep });
            destroyServer();
            EXPECT_EQ(store->count("fetchChanges " + phone.zone()), 0);
        }
    }

    TEST_F(MailboxServerLoop, PresenceAndCleanUpWaitForTheirIntervals)
    {
        auto& phone = addPhone();
        FirstSleeps sleeps(*clock);
        server().start();
        sleeps.waitFor(1);
        server().stop();
        clock->setSeconds(299);
        server().start();
        sleeps.waitFor(2);
        server().stop();
        clock->setSeconds(300);
        server().start();
        sleeps.waitFor(3);
        destroyServer();
        EXPECT_EQ(callsIn(phone.zone()),
            (std::vector<std::string> { "fetchChanges", "savePresence", "fetchChanges", "fetchChanges",
                "fetchChanges", "savePresence" }));
    }

    TEST_F(MailboxServerLoop, ACallbackThatThrowsEndsOnlyThePass)
    {
        addPhone();
        beforePairings = [] { throw std::runtime_error("pairings unreadable"); };
        FirstSleeps sleeps(*clock);
        server().start();
        EXPECT_EQ(sleeps.waitFor(1), std::vector<double> { 30 });
        EXPECT_EQ(store->calls(), std::vector<std::string> {});
    }

    TEST_F(MailboxServerLoop, APushDuringAFetchJoinsIt)
    {
        addPhone();
        std::mutex lock;
        std::condition_variable changed;
        int passes = 0;
        bool released = false;
        beforePairings = [&] {
            std::unique_lock held(lock);
            ++passes;
            changed.notify_all();
            changed.wait(held, [&] { return released; });
        };
        auto first = server().fetchNow();
        {
            std::unique_lock held(lock);
            ASSERT_TRUE(changed.wait_for(held, kDeadline, [&] { return passes == 1; }));
        }
        auto joined = server().fetchNow();
        EXPECT_EQ(joined.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        {
            std::lock_guard held(lock);
            released = true;
            changed.notify_all();
        }
        first.wait();
        joined.wait();
        EXPECT_EQ(passes, 1);
        server().fetchNow().wait();
        EXPECT_EQ(passes, 2);
    }

    TEST_F(MailboxServerLoop, StartTwiceRunsOneLoopAndStartAfterStopAnother)
    {
        addPhone();
        FirstSleeps sleeps(*clock);
        server().start();
        server().start();
        EXPECT_TRUE(server().isRunning());
        EXPECT_EQ(sleeps.waitFor(1).size(), 1u);
        server().stop();
        EXPECT_FALSE(server().isRunning());
        server().start();
        EXPECT_EQ(sleeps.waitFor(2).size(), 2u);
        EXPECT_TRUE(server().isRunning());
    }

    TEST_F(MailboxServerLoop, StopCutsASleepOnTheSystemClock)
    {
        addPhone();
        std::promise<void> fetched;
        std::once_flag once;
        configuration.idlePollInterval = 3600;
        auto server = std::make_unique<MailboxServer>(MailboxServer::Dependencies {
            .identity = mac,
            .store = store,
            .storage = storage,
            .pairingsProvider =
                [&] {
                    std::call_once(once, [&] { fetched.set_value(); });
                    return pairings();
                },
            .presenceProvider = [] { return std::optional<MailboxPresence>(); },
            .handler = relay.handler(),
            .clock = std::make_shared<SystemMailboxClock>(),
            .configuration = configuration,
            .log = log.sink(),
        });
        server->start();
        ASSERT_EQ(fetched.get_future().wait_for(kDeadline), std::future_status::ready);
        server->stop();
        // The destructor waits for the loop, which sleeps an hour unless the stop reached its sleep.
        auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
        EXPECT_EQ(destroyed.wait_for(kDeadline), std::future_status::ready);
    }

}
}
