// The listener's connections spread over several queues: every connection answered, the limits held
// across the queues, and stop and the listener's end reaching connections on every queue.
#include "Platform/Net.h"
#include "tests/Relay/RelayServer.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
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

    // Runs rounds of `client` on `clients` threads at once until `queuesServed` counts every queue of
    // `listener`, or until a deadline that only guards a hang: which queue takes a connection is the
    // scheduler's choice, and a queue kept off its CPU for a while leaves its share to the others. Each
    // round starts on an empty table: a closed connection not yet noticed holds a place, and once
    // answered it is trusted, so that a new one would push out a connection of the round instead.
    template <typename Client, typename Count>
    void untilEveryQueueServed(RelayListener& listener, int clients, Client client, Count queuesServed)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        do {
            runClientsAtOnce(clients, client);
            ASSERT_TRUE(waitUntilEmpty(listener));
        } while (queuesServed() < platform::usableCPUCount() && std::chrono::steady_clock::now() < deadline);
    }

    // The port of a peer's address of either family.
    std::uint16_t portOf(const sockaddr& peer)
    {
        if (peer.sa_family == AF_INET6)
            return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
        return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
    }

    std::set<std::thread::id> threadsIn(const std::map<std::uint16_t, std::thread::id>& threadByPort)
    {
        std::set<std::thread::id> threads;
        for (const auto& [port, thread] : threadByPort)
            threads.insert(thread);
        return threads;
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
        std::atomic<int> opened = 0;
        std::atomic<int> answered = 0;
        untilEveryQueueServed(
            *server.listener, kClients,
            [&] {
                ++opened;
                TLSTestClient client(server.port);
                ASSERT_TRUE(client.handshake());
                for (int request = 0; request < kRequests; ++request)
                    answered += test::statusOf(client.get("/ok").value_or("")) == 200;
            },
            [&] {
                std::lock_guard guard(lock);
                return answeringThreads.size();
            });
        EXPECT_EQ(answered, opened * kRequests);
        EXPECT_EQ(answeringThreads.size(), platform::usableCPUCount());
    }

    TEST(RelayListener, EveryQueueAcceptsAndChecksTheSourceOfTheConnectionsItServes)
    {
        constexpr int kClients = 32;
        std::mutex lock;
        // By the client's port, which it also names in its request.
        std::map<std::uint16_t, std::thread::id> checkingThreads;
        std::map<std::uint16_t, std::thread::id> answeringThreads;
        RelayListener::Hooks hooks {
            .allowsSource =
                [&](const sockaddr& peer) {
                    std::lock_guard guard(lock);
                    checkingThreads[portOf(peer)] = std::this_thread::get_id();
                    return true;
                },
            .answerAtOnce =
                [&](const HTTPRequest& request) {
                    std::lock_guard guard(lock);
                    answeringThreads[static_cast<std::uint16_t>(std::stoi(request.path().substr(1)))]
                        = std::this_thread::get_id();
                    return std::optional(test::okResponse());
                },
        };
        RelayServer server([](const HTTPRequest&) { return test::okResponse(); },
            { .maxUntrustedPerHost = kClients }, {}, std::move(hooks));
        untilEveryQueueServed(
            *server.listener, kClients,
            [&] {
                TLSTestClient client(server.port);
                ASSERT_TRUE(client.handshake());
                sockaddr_storage local {};
                socklen_t length = sizeof local;
                ASSERT_EQ(
                    ::getsockname(client.descriptor(), reinterpret_cast<sockaddr*>(&local), &length), 0);
                auto port = portOf(reinterpret_cast<const sockaddr&>(local));
                EXPECT_EQ(test::statusOf(client.get("/" + std::to_string(port)).value_or("")), 200);
            },
            [&] {
                std::lock_guard guard(lock);
                return threadsIn(checkingThreads).size();
            });
        EXPECT_EQ(checkingThreads, answeringThreads);
        EXPECT_EQ(threadsIn(checkingThreads).size(), platform::usableCPUCount());
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
