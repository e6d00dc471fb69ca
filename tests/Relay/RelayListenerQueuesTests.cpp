// The listener's connections spread over several queues: every connection answered, the limits held
// across the queues, and stop and the listener's end reaching connections on every queue.
#include "Platform/Net.h"
#include "tests/Relay/RelayServer.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using test::RelayServer;
    using test::TLSTestClient;

    // Runs `client` on `count` threads at once and waits for them all.
    template <typename Client> void runClientsAtOnce(int count, Client client)
    {
        std::vector<std::jthread> threads;
        for (int index = 0; index < count; ++index)
            threads.emplace_back(client);
    }

    // Waits, up to a bound that only guards against a hang, for the closes the peers started to reach
    // the table.
    bool waitUntilEmpty(RelayListener& listener)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (listener.connectionCount() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return listener.connectionCount() == 0;
    }

    TEST(RelayListener, ConnectionsOpenedAtOnceAreAllAnsweredOnOneQueuePerUsableCPU)
    {
        constexpr int kClients = 32;
        constexpr int kRequests = 5;
        std::mutex lock;
        std::set<std::thread::id> answeringThreads;
        auto answer = [&](const HTTPRequest&) {
            std::lock_guard guard(lock);
            answeringThreads.insert(std::this_thread::get_id());
            return test::okResponse();
        };
        RelayServer server(answer, { .maxUntrustedPerHost = kClients }, {},
            { .answerAtOnce = [&](const HTTPRequest& request) { return std::optional(answer(request)); } });
        std::atomic<int> answered = 0;
        runClientsAtOnce(kClients, [&] {
            TLSTestClient client(server.port);
            ASSERT_TRUE(client.handshake());
            for (int request = 0; request < kRequests; ++request)
                answered += test::statusOf(client.get("/ok").value_or("")) == 200;
        });
        EXPECT_EQ(answered, kClients * kRequests);
        EXPECT_EQ(answeringThreads.size(), std::min<std::size_t>(platform::usableCPUCount(), kClients));
    }

    TEST(RelayListener, EveryQueueAcceptsAndChecksTheSourceOfTheConnectionsItServes)
    {
        constexpr int kClients = 32;
        std::mutex lock;
        std::set<std::thread::id> checkingThreads;
        std::set<std::thread::id> answeringThreads;
        auto record = [&](std::set<std::thread::id>& threads) {
            std::lock_guard guard(lock);
            threads.insert(std::this_thread::get_id());
        };
        RelayListener::Hooks hooks {
            .allowsSource =
                [&](const sockaddr&) {
                    record(checkingThreads);
                    return true;
                },
            .answerAtOnce =
                [&](const HTTPRequest&) {
                    record(answeringThreads);
                    return std::optional(test::okResponse());
                },
        };
        RelayServer server([](const HTTPRequest&) { return test::okResponse(); },
            { .maxUntrustedPerHost = kClients }, {}, std::move(hooks));
        runClientsAtOnce(kClients, [&] {
            TLSTestClient client(server.port);
            ASSERT_TRUE(client.handshake());
            EXPECT_EQ(test::statusOf(client.get("/ok").value_or("")), 200);
        });
        EXPECT_EQ(checkingThreads.size(), std::min<std::size_t>(platform::usableCPUCount(), kClients));
        EXPECT_EQ(checkingThreads, answeringThreads);
    }

    TEST(RelayListener, StopWhileHandlersRunForSeveralQueuesClosesEveryConnectionAndTheEndWaitsForThem)
    {
        constexpr int kClients = 8;
        test::Gate release;
        test::Gate allStarted;
        std::atomic<int> started = 0;
        std::atomic<int> finished = 0;
        auto server = std::make_unique<RelayServer>(
            [&](const HTTPRequest&) {
                if (++started == kClients)
                    allStarted.open();
                release.waitOpen();
                ++finished;
                return test::okResponse();
            },
            RelayListenerLimits { .maxUntrustedPerHost = kClients });
        std::vector<std::unique_ptr<TLSTestClient>> clients;
        for (int index = 0; index < kClients; ++index) {
            clients.push_back(std::make_unique<TLSTestClient>(server->port));
            ASSERT_TRUE(clients.back()->handshake());
            ASSERT_TRUE(clients.back()->send("GET /slow HTTP/1.1\r\nHost: relay\r\n\r\n"));
        }
        ASSERT_TRUE(allStarted.waitOpen());
        server->listener->stop();
        for (auto& client : clients)
            EXPECT_TRUE(client->waitClosed());
        EXPECT_EQ(server->listener->connectionCount(), 0U);
        // Their responses come back to connections already gone, on every queue.
        release.open();
        server.reset();
        EXPECT_EQ(finished, kClients);
    }

    TEST(RelayListener, ConnectionsEndingOnTheirQueuesWhileOthersAreAdmittedKeepTheCountWithinTheLimit)
    {
        constexpr int kLimit = 4;
        RelayServer server([](const HTTPRequest&) { return test::okResponse(); },
            { .maxConnections = kLimit, .maxUntrustedPerHost = kLimit });
        std::atomic<bool> churning = true;
        std::size_t mostSeen = 0;
        std::jthread watcher([&] {
            while (churning)
                mostSeen = std::max(mostSeen, server.listener->connectionCount());
        });
        runClientsAtOnce(2 * kLimit, [&] {
            // Refused or evicted ones are part of the churn.
            for (int round = 0; round < 15; ++round) {
                TLSTestClient client(server.port);
                if (client.handshake())
                    client.get("/ok");
            }
        });
        churning = false;
        watcher.join();
        EXPECT_LE(mostSeen, static_cast<std::size_t>(kLimit));
        // No connection that ended stayed counted: a full set of new ones gets in.
        ASSERT_TRUE(waitUntilEmpty(*server.listener));
        std::vector<std::unique_ptr<TLSTestClient>> fresh;
        for (int index = 0; index < kLimit; ++index) {
            fresh.push_back(std::make_unique<TLSTestClient>(server.port));
            ASSERT_TRUE(fresh.back()->handshake());
            EXPECT_EQ(test::statusOf(fresh.back()->get("/ok").value_or("")), 200);
        }
        EXPECT_EQ(server.listener->connectionCount(), static_cast<std::size_t>(kLimit));
    }

}
}
