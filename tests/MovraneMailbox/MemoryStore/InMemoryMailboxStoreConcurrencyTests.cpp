#include "tests/MovraneMailbox/MemoryStore/InMemoryStoreFixture.h"

#include <atomic>
#include <thread>

namespace movrane {
namespace {

    // Eight threads run every operation and most controls against two zones while two listeners, one
    // of which reads the store back, are called for each notification.
    TEST(InMemoryMailboxStoreConcurrency, EveryOperationFromEightThreadsWhileListenersRun)
    {
        constexpr int threads = 8;
        constexpr int rounds = 40;
        NotificationInbox inbox;
        std::atomic<int> listenerReads = 0;
        std::atomic<int> savesAttempted = 0;
        std::atomic<int> savesStored = 0;
        std::vector<std::string> unexpected(threads);
        std::size_t notified = 0;
        {
            auto clock = std::make_shared<test::ManualMailboxClock>();
            // Before the store: its listeners read them until it ends.
            const std::vector<std::string> zones { MailboxZoneName::make(), MailboxZoneName::make() };
            // Every admission lets go of the lock for its (instant) sleep.
            InMemoryMailboxStore store(clock, 0.001);
            store.onNotification(inbox.receiver());
            store.onNotification([&](const std::string&) {
                try {
                    store.fetchChanges(zones[0], std::nullopt);
                } catch (const MailboxError&) {
                }
                listenerReads.fetch_add(1);
            });

            std::vector<std::jthread> workers;
            for (int worker = 0; worker < threads; ++worker)
                workers.emplace_back([&, worker] {
                    std::optional<MailboxBytes> token;
                    for (int round = 0; round < rounds; ++round) {
                        const auto& zone = zones[static_cast<std::size_t>((worker + round) % 2)];
                        auto name = MailboxRecordName::envelope();
                        auto steps = std::vector<std::function<void()>> {
                            [&] { store.ensureZone(zone); },
                            [&] {
                                store.saveSubscriptions({ { "vl.mac." + zone, "mac", std::nullopt, {} },
                                                            { "vl.w" + std::to_string(worker), "mac",
                                                                MailboxNotify::reply, {} } },
                                    zone);
                            },
                            [&] {
                                savesAttempted.fetch_add(1);
                                store.saveEnvelope(
                                    envelope(name, round, "payload", "mac", MailboxNotify::reply), zone);
                                savesStored.fetch_add(1);
                            },
                            [&] {
                                store.savePresence({ at(round), bytes("presence") }, zone);
                            },
                            [&] { token = store.fetchChanges(zone, token).token; },
                            [&] {
                                store.inject(envelope(name + "i", round, "injected"), bytes("asset"), zone);
                                std::filesystem::remove(store.fetchAsset(name + "i", zone));
                            },
                            [&] {
                                store.deleteEnvelopes({ name, name + "i" }, zone);
                            },
                            [&] { store.userRecordName(); },
                            [&] { store.accountState(); },
                            [&] {
                                store.tamper(
                                    name, zone, [](MailboxEnvelopeRecord& record) { record.size += 1; });
                                store.setFetchLimit(1 + round % 5);
                                store.fail(Operation::fetchChanges, MailboxError::busy(1), 1);
                                store.setRateLimit(1'000'000, 10, 1);
                                store.usedBytes();
                                store.envelopes(zone);
                                store.subscriptionIDs();
                                store.clearRateLimit();
                            },
                            [&] {
                                if (round % 10 == worker % 10) {
                                    store.expireChangeTokens();
                                    store.dropZone(zone);
                                }
                                if (round % 20 == worker)
                                    store.deleteZone(zone);
                                store.deleteSubscriptions({ "vl.w" + std::to_string(worker) });
                            },
                        };
                        for (const auto& step : steps) {
                            try {
                                step();
                            } catch (const MailboxError&) {
                                // Lost zones, expired tokens and queued failures are part of the game.
                            } catch (const std::exception& error) {
                                unexpected[static_cast<std::size_t>(worker)] = error.what();
                            }
                        }
                    }
                });
            workers.clear();

            for (const auto& error : unexpected)
                EXPECT_EQ(error, "");
            EXPECT_EQ(store.count(Operation::saveEnvelope), savesAttempted.load());
            EXPECT_EQ(store.saved().size(), static_cast<std::size_t>(savesStored.load()));
            EXPECT_GT(savesStored.load(), 0);
            notified = store.notifications().size();
            EXPECT_TRUE(inbox.waitForCount(notified));
        }
        // Each notification reached the listener exactly once, and nothing came after the store ended.
        EXPECT_EQ(inbox.received().size(), notified);
        EXPECT_EQ(static_cast<std::size_t>(listenerReads.load()), notified);
    }

}
}
