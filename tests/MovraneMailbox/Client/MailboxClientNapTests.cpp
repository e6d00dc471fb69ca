#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"

#include <atomic>
#include <thread>

namespace movrane {

namespace {

    using namespace std::chrono_literals;

    // Naps on threads of their own, whose timers `timers` holds, and tells how many have returned;
    // waits end at a deadline.
    class Nappers {
    public:
        Nappers(MailboxClient& client, SleepGate& timers)
            : m_client(client)
            , m_timers(timers)
        {
        }
        // However a test ends, no nap or timer stays blocked for the joins that follow.
        ~Nappers()
        {
            m_timers.open();
            m_client.wake();
        }
        void start(double seconds, std::stop_token stop = {})
        {
            m_threads.emplace_back([this, seconds, stop] {
                m_client.nap(seconds, stop);
                std::lock_guard lock(m_lock);
                ++m_returned;
                m_changed.notify_all();
            });
        }
        bool waitForReturned(int count)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, 10s, [&] { return m_returned >= count; });
        }
        int returned()
        {
            std::lock_guard lock(m_lock);
            return m_returned;
        }

    private:
        MailboxClient& m_client;
        SleepGate& m_timers;
        std::mutex m_lock;
        std::condition_variable m_changed;
        int m_returned = 0;
        std::vector<std::jthread> m_threads;
    };

    MailboxEvent routineResult(std::string_view body)
    {
        return { std::string(MailboxEvent::routineResultName), bytes(body) };
    }

    TEST_F(MailboxClientTest, ANapOfAnAlreadyCancelledCallerReturnsAtOnceAndRegistersNothing)
    {
        auto client = makeClient();
        std::stop_source cancelled;
        cancelled.request_stop();
        client->nap(300, cancelled.get_token());
        EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 0u);
        client.reset();
        EXPECT_TRUE(clock->sleeps().empty()) << "no timer was started";
    }

    TEST_F(MailboxClientTest, ANapEndsWhenItsTimerHasRunAndAnEarlierWakeDoesNotEndIt)
    {
        auto client = makeClient();
        client->wake();
        client->nap(0, {});
        client->nap(-2, {});
        client->nap(5, {});
        EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 0u);
        client.reset();
        EXPECT_EQ(clock->sleeps(), (std::vector<double> { 0, -2, 5 }));
    }

    TEST_F(MailboxClientTest, WakeEndsEveryPendingNapAndTheirTimersLaterFindNothing)
    {
        SleepGate timers;
        clock->onSleep(timers.hook());
        auto client = makeClient();
        {
            Nappers nappers(*client, timers);
            for (int nap = 0; nap < 3; ++nap)
                nappers.start(300);
            ASSERT_TRUE(timers.waitForEntered(3));
            EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 3u);

            client->wake();
            ASSERT_TRUE(nappers.waitForReturned(3));
            EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 0u);

            // A nap that starts after the wake waits for its own end.
            nappers.start(300);
            ASSERT_TRUE(timers.waitForEntered(4));
            EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 1u);
            EXPECT_EQ(nappers.returned(), 3);
            client->wake();
            ASSERT_TRUE(nappers.waitForReturned(4));
        }
        // The timers ran out only after their naps had ended and must have ended nothing; the client
        // stops and awaits them.
        client.reset();
        EXPECT_EQ(clock->sleeps().size(), 4u);
    }

    TEST_F(MailboxClientTest, CancellingOneNapLeavesTheOthersPending)
    {
        SleepGate timers;
        clock->onSleep(timers.hook());
        auto client = makeClient();
        {
            Nappers nappers(*client, timers);
            std::stop_source cancel;
            nappers.start(300, cancel.get_token());
            nappers.start(300);
            nappers.start(300);
            ASSERT_TRUE(timers.waitForEntered(3));

            cancel.request_stop();
            ASSERT_TRUE(nappers.waitForReturned(1));
            EXPECT_EQ(MailboxClientPeer::pendingNaps(*client), 2u);
            EXPECT_EQ(nappers.returned(), 1);

            client->wake();
            ASSERT_TRUE(nappers.waitForReturned(3));
        }
    }

    TEST_F(MailboxClientTest, EmitHandsEveryOpenStreamItsOwnCopy)
    {
        auto client = makeClient();
        client->emit(routineResult("before any stream"));
        std::vector<MailboxClientEventStream> streams;
        for (int stream = 0; stream < 3; ++stream)
            streams.push_back(client->events());

        MailboxClientEvent event = routineResult("{\"ok\":true}");
        MailboxClientEvent seen = MailboxSeenPresence { { 1, 1, "2.0", "Studio" }, clock->now() };
        client->emit(event);
        client->emit(seen);
        for (auto& stream : streams) {
            EXPECT_EQ(stream.next({}), event);
            EXPECT_EQ(stream.next({}), seen);
        }

        // A stream opened later gets nothing of the past, and a closed one is skipped.
        auto late = client->events();
        streams.erase(streams.begin());
        client->emit(event);
        std::stop_source nothingMore;
        nothingMore.request_stop();
        EXPECT_EQ(late.next({}), event);
        EXPECT_EQ(late.next(nothingMore.get_token()), std::nullopt);
        for (auto& stream : streams)
            EXPECT_EQ(stream.next({}), event);
    }

    TEST_F(MailboxClientTest, AStreamWhoseListenerFallsBehindKeepsTheNewest64)
    {
        auto client = makeClient();
        auto stream = client->events();
        for (int index = 0; index < 70; ++index)
            client->emit(routineResult(std::to_string(index)));
        std::stop_source drained;
        drained.request_stop();
        std::vector<MailboxClientEvent> received;
        while (auto event = stream.next(drained.get_token()))
            received.push_back(*event);
        ASSERT_EQ(received.size(), 64u);
        EXPECT_EQ(received.front(), MailboxClientEvent(routineResult("6")));
        EXPECT_EQ(received.back(), MailboxClientEvent(routineResult("69")));
    }

    TEST_F(MailboxClientTest, ListenersWaitingForEventsAreReleasedWhenTheClientGoes)
    {
        auto client = makeClient();
        auto stream = client->events();
        std::optional<MailboxClientEvent> first;
        std::optional<MailboxClientEvent> afterTheEnd;
        std::jthread listener([&] {
            first = stream.next({});
            afterTheEnd = stream.next({});
        });
        client->emit(routineResult("last"));
        client.reset();
        listener.join();
        EXPECT_EQ(first, MailboxClientEvent(routineResult("last")));
        EXPECT_EQ(afterTheEnd, std::nullopt);
    }

    TEST_F(MailboxClientTest, ABackgroundDeletionIsOneCallWhoseFailureLeavesTheEnvelope)
    {
        store->ensureZone(pairing.zoneName);
        auto kept = envelope(MailboxRecordName::envelope(), 1, "sealed", pairing.deviceTag());
        auto removed = envelope(MailboxRecordName::envelope(), 2, "sealed", pairing.deviceTag());
        store->inject(kept, std::nullopt, pairing.zoneName);
        store->inject(removed, std::nullopt, pairing.zoneName);
        store->fail(Operation::deleteEnvelopes, MailboxError::network(std::nullopt), 1);

        auto client = makeClient();
        client->deleteInBackground(kept.name);
        // The client's end awaits its background work.
        client.reset();
        client = makeClient();
        client->deleteInBackground(removed.name);
        client.reset();

        EXPECT_EQ(store->count(Operation::deleteEnvelopes), 2);
        EXPECT_EQ(namesOf(store->envelopes(pairing.zoneName)), std::vector<std::string> { kept.name });
        EXPECT_TRUE(clock->sleeps().empty()) << "no retry";
        EXPECT_EQ(storage->load(stateKey()), std::nullopt) << "nothing of the client changed";
    }

    TEST_F(MailboxClientTest, ManyNapsWakesAndCancellationsAtOnceAllEnd)
    {
        auto systemClock = std::make_shared<SystemMailboxClock>();
        MailboxClient client(pairing, deviceIdentity, { store, storage, systemClock, {} }, configuration());
        constexpr int kNappers = 8;
        constexpr int kNapsEach = 20;
        std::atomic<int> ended = 0;
        {
            std::vector<std::jthread> nappers;
            for (int napper = 0; napper < kNappers; ++napper) {
                nappers.emplace_back([&, napper] {
                    for (int nap = 0; nap < kNapsEach; ++nap) {
                        std::stop_source cancel;
                        if ((nap + napper) % 3 == 0)
                            cancel.request_stop();
                        client.nap((nap % 4) * 0.001, cancel.get_token());
                        ++ended;
                    }
                });
            }
            std::jthread waker([&](std::stop_token stop) {
                while (!stop.stop_requested())
                    client.wake();
            });
            for (auto& napper : nappers)
                napper.join();
        }
        EXPECT_EQ(ended.load(), kNappers * kNapsEach);
        EXPECT_EQ(MailboxClientPeer::pendingNaps(client), 0u);
    }

}

}
