#include "VellumarMacCore/Relay/RequestWorkers.h"
#include "tests/Relay/RelayServer.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ListeningDescriptor.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using test::RelayServer;
    using test::TLSTestClient;

    const RequestHandler kAlwaysOK = [](const HTTPRequest&) { return test::okResponse(); };

    std::string url(std::uint16_t port, const char* path)
    {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }

    std::string peerScript() { return (test::sourceDir() / "tests/peers/relay_tls_client.py").string(); }

    // Connections the kernel holds for the relay's listening socket that no queue has accepted yet.
    std::size_t acceptBacklog(std::uint16_t port)
    {
        std::ifstream sockets("/proc/net/tcp6");
        char portSuffix[8];
        std::snprintf(portSuffix, sizeof portSuffix, ":%04X", port);
        for (std::string line; std::getline(sockets, line);) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            // A listening socket's receive queue counts the connections waiting to be accepted.
            if (state == "0A" && local.ends_with(portSuffix))
                return std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
        return 0;
    }

    std::unique_ptr<TLSTestClient> trustedClient(std::uint16_t port)
    {
        auto client = std::make_unique<TLSTestClient>(port);
        EXPECT_TRUE(client->handshake());
        auto response = client->get("/ok");
        EXPECT_EQ(test::statusOf(response.value_or("")), 200);
        return client;
    }

    TEST(RelayListener, CurlConnectsOnlyWithTheCertificatesPublicKeyPin)
    {
        RelayServer server(kAlwaysOK);
        struct Case {
            const char* name;
            std::string pin;
            int exitStatus;
        };
        std::string wrongPin(test::testIdentity().pins.publicKeyBase64);
        wrongPin[0] = wrongPin[0] == 'A' ? 'B' : 'A';
        const Case cases[] = {
            { "right pin", test::testIdentity().pins.publicKeyBase64, 0 },
            { "wrong pin", wrongPin, 90 }, // CURLE_SSL_PINNEDPUBKEYNOTMATCH
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            auto result = test::runPeer({ "curl", "-sS", "-k", "--http1.1", "--max-time", "30",
                "--pinnedpubkey", "sha256//" + row.pin, url(server.port, "/ok") });
            EXPECT_EQ(result.exitStatus, row.exitStatus);
            EXPECT_EQ(result.output, row.exitStatus == 0 ? "{\"ok\":true}" : "");
        }
    }

    TEST(RelayListener, SpeaksTLS12AndLaterWithALPNHTTP11)
    {
        RelayServer server(kAlwaysOK);
        struct Case {
            const char* name;
            std::vector<std::string> options;
            bool connects;
        };
        // The client's own security level would refuse TLS 1.1 first; lowered, only the server refuses.
        const Case cases[] = {
            { "TLS 1.1", { "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0" }, false },
            { "TLS 1.2", { "-tls1_2" }, true },
            { "TLS 1.3", { "-tls1_3" }, true },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            std::vector<std::string> argv { "openssl", "s_client", "-connect",
                "127.0.0.1:" + std::to_string(server.port), "-alpn", "http/1.1" };
            argv.insert(argv.end(), row.options.begin(), row.options.end());
            auto result = test::runPeer(argv);
            EXPECT_EQ(result.exitStatus == 0, row.connects);
            EXPECT_EQ(result.output.find("ALPN protocol: http/1.1") != std::string::npos, row.connects);
        }
    }

    TEST(RelayListener, RefusedSourceGetsNoServerHello)
    {
        RelayServer server(kAlwaysOK, {}, {}, { .allowsSource = [](const sockaddr&) { return false; } });
        auto result = test::runPeer(
            { "openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(server.port) });
        EXPECT_NE(result.exitStatus, 0);
        EXPECT_NE(result.output.find("SSL handshake has read 0 bytes"), std::string::npos) << result.output;
        EXPECT_EQ(server.listener->connectionCount(), 0U);
    }

    // Run in a network namespace of its own: joined to a second namespace by a veth pair, whose peer
    // address lies in no range the filter allows and in no network of this namespace's interfaces.
    const char* const kServerLink
        = "ip link set lo up && ip link add vellumar-server type veth peer name "
          "vellumar-peer && ip addr add 198.51.100.1/32 dev vellumar-server && ip link "
          "set vellumar-server up && ip route add 203.0.113.2/32 dev vellumar-server";
    // Prints its process id, waits for its end of the pair and the ports, then says hello to each port.
    const std::string kOutsidePeer
        = "echo $$ && read ports && ip addr add 203.0.113.2/32 dev vellumar-peer && ip "
          "link set vellumar-peer up && ip route add 198.51.100.1/32 dev vellumar-peer && "
          "for port in $ports; do python3 "
        + peerScript() + " $port hello 198.51.100.1; done";

    TEST(RelayListener, ByDefaultAPeerOutsideTheLocalNetworksGetsNoServerHello)
    {
        std::string skipReason;
        std::string heard;
        // The namespace belongs to this thread alone, and to the threads and processes it starts.
        std::thread inside([&] {
            if (::unshare(CLONE_NEWNET) != 0) {
                skipReason = std::string("a network namespace was refused: ") + std::strerror(errno);
                return;
            }
            if (test::runPeer({ "sh", "-c", kServerLink }).exitStatus != 0) {
                skipReason = "no veth pair could be made in a network namespace";
                return;
            }
            RelayServer filtered(kAlwaysOK);
            RelayServer open(kAlwaysOK, {}, {}, { .allowsSource = [](const sockaddr&) { return true; } });
            test::InteractivePeer outside({ "unshare", "-n", "sh", "-c", kOutsidePeer });
            auto pid = outside.readLine();
            ASSERT_TRUE(pid);
            ASSERT_EQ(test::runPeer({ "ip", "link", "set", "vellumar-peer", "netns", *pid }).exitStatus, 0);
            outside.send(std::to_string(filtered.port) + " " + std::to_string(open.port) + "\n");
            outside.closeInput();
            heard = outside.readAll();
            EXPECT_EQ(outside.wait(), 0);
        });
        inside.join();
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        // The listener that lets every source in shows that the peer reaches it.
        EXPECT_EQ(heard, "closed unanswered\nanswered\n");
    }

    TEST(RelayListener, TakenPortThrowsAndPortZeroStillStarts)
    {
        RelayServer first(kAlwaysOK);
        RelayListener second(test::testIdentity(), {}, {}, kAlwaysOK);
        EXPECT_THROW(second.start(first.port), std::system_error);
        EXPECT_NE(second.start(0), 0);
    }

    TEST(RelayListener, SecondStartClosesTheFirstSocketAndKeepsItsConnections)
    {
        RelayServer server(kAlwaysOK);
        auto early = trustedClient(server.port);
        auto second = server.listener->start(0);
        auto curl = [](std::uint16_t port) {
            return test::runPeer({ "curl", "-sS", "-k", "--http1.1", "--max-time", "30", url(port, "/ok") });
        };
        EXPECT_EQ(curl(server.port).exitStatus, 7); // CURLE_COULDNT_CONNECT
        EXPECT_EQ(curl(second).output, "{\"ok\":true}");
        EXPECT_EQ(test::statusOf(early->get("/ok").value_or("")), 200);
    }

    TEST(RelayListener, SocketFailingAfterStartStopsTheListenerAndTellsItsOwner)
    {
        test::Gate failed;
        std::error_code reported;
        RelayServer server(kAlwaysOK, {}, {}, { .failed = [&](std::error_code error) {
            reported = error;
            failed.open();
        } });
        auto paired = trustedClient(server.port);
        auto fd = test::listeningDescriptor(server.port);
        ASSERT_TRUE(fd);
        // A listening socket shut down this way fails every accept with EINVAL, which no retry mends.
        ASSERT_EQ(::shutdown(*fd, SHUT_RDWR), 0);
        ASSERT_TRUE(failed.waitOpen(std::chrono::seconds(10)));
        EXPECT_EQ(reported.value(), EINVAL);
        EXPECT_FALSE(reported.message().empty());
        EXPECT_TRUE(paired->waitClosed());
        EXPECT_EQ(server.listener->connectionCount(), 0U);
    }

    TEST(RelayListener, SeventhUntrustedConnectionFromOneHostClosesTheOldest)
    {
        RelayServer server(kAlwaysOK);
        auto trusted = trustedClient(server.port);
        std::vector<std::unique_ptr<TLSTestClient>> untrusted;
        for (int index = 0; index < 7; ++index) {
            untrusted.push_back(std::make_unique<TLSTestClient>(server.port));
            ASSERT_TRUE(untrusted.back()->handshake());
        }
        EXPECT_TRUE(untrusted[0]->waitClosed());
        for (int index = 1; index < 7; ++index) {
            SCOPED_TRACE(index);
            EXPECT_FALSE(untrusted[index]->waitClosed(std::chrono::seconds(0)));
        }
        // Six untrusted beside the trusted one, which does not count towards the host's cap.
        EXPECT_EQ(server.listener->connectionCount(), 7U);
        EXPECT_EQ(test::statusOf(trusted->get("/ok").value_or("")), 200);
    }

    TEST(RelayListener, ConnectionBeyondThirtyTwoTrustedOnesIsClosedUnanswered)
    {
        RelayServer server(kAlwaysOK);
        std::vector<std::unique_ptr<TLSTestClient>> trusted;
        for (int index = 0; index < 32; ++index)
            trusted.push_back(trustedClient(server.port));
        TLSTestClient extra(server.port);
        EXPECT_FALSE(extra.handshake());
        EXPECT_EQ(server.listener->connectionCount(), 32U);
        EXPECT_EQ(test::statusOf(trusted.front()->get("/ok").value_or("")), 200);
        EXPECT_EQ(test::statusOf(trusted.back()->get("/ok").value_or("")), 200);
    }

    // A listener whose connections alternate between exactly two queues, the listener's own first;
    // none when fewer than two CPUs are usable.
    std::unique_ptr<RelayServer> serverOnTwoQueues(
        RequestHandler handler, RelayListenerLimits limits, RelayListener::Hooks hooks)
    {
        cpu_set_t usable;
        cpu_set_t two;
        CPU_ZERO(&two);
        sched_getaffinity(0, sizeof usable, &usable);
        for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&two) < 2; ++cpu) {
            if (CPU_ISSET(cpu, &usable))
                CPU_SET(cpu, &two);
        }
        std::unique_ptr<RelayServer> server;
        // The queues' threads take the CPUs of the thread that makes them.
        std::thread([&] {
            if (CPU_COUNT(&two) == 2 && sched_setaffinity(0, sizeof two, &two) == 0)
                server = std::make_unique<RelayServer>(
                    std::move(handler), limits, HTTPRequestParser::Policy {}, std::move(hooks));
        }).join();
        return server;
    }

    // A client that has its answer comes straight back on a new connection while the connection it
    // left still waits on its busy queue to close: every other place is held by a trusted client, and
    // the new connection is let in all the same.
    TEST(RelayListener, ClientBackOnANewConnectionGetsThePlaceItsAnsweredOneLeft)
    {
        test::Gate holding;
        test::Gate sent;
        test::Gate released;
        // Answered on the queue itself, so that a held request holds its queue up.
        auto answer = [&](const HTTPRequest& request) -> std::optional<HTTPResponse> {
            if (request.path() == "/hold") {
                holding.open();
                sent.waitOpen();
            }
            if (request.path() == "/block")
                released.waitOpen();
            return test::okResponse();
        };
        auto server = serverOnTwoQueues([&](const HTTPRequest& request) { return *answer(request); },
            { .maxConnections = 6 }, { .answerAtOnce = answer });
        if (!server)
            GTEST_SKIP() << "needs two usable CPUs";
        std::vector<std::unique_ptr<TLSTestClient>> clients;
        for (int index = 0; index < 6; ++index)
            clients.push_back(trustedClient(server->port));
        // The second queue serves the odd ones. Held up, it takes the next two requests in one go:
        // the answer of the first is written before the second blocks, its close waits behind it.
        ASSERT_TRUE(clients[1]->send("GET /hold HTTP/1.1\r\nHost: relay\r\n\r\n"));
        ASSERT_TRUE(holding.waitOpen());
        auto& leaving = *clients[3];
        ASSERT_TRUE(leaving.send("GET /ok HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n"));
        ASSERT_TRUE(clients[5]->send("GET /block HTTP/1.1\r\nHost: relay\r\n\r\n"));
        sent.open();
        EXPECT_EQ(test::statusOf(leaving.readResponse().value_or("")), 200);
        TLSTestClient back(server->port);
        EXPECT_TRUE(back.handshake());
        released.open();
        EXPECT_EQ(test::statusOf(clients[5]->readResponse().value_or("")), 200);
        EXPECT_EQ(test::statusOf(back.get("/ok").value_or("")), 200);
    }

    std::string currentThreadName()
    {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        return name;
    }

    std::string bodyOf(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

    int workerThreads()
    {
        int count = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            count += name == RequestWorkers::kThreadName;
        }
        return count;
    }

    // An idle listener holds no worker; each request that waits at once gets one of its own.
    TEST(RelayListener, WorkerThreadsStartOnlyAsRequestsWaitForThem)
    {
        for (int waiting : { 0, 1, 3 }) {
            SCOPED_TRACE(waiting);
            test::Gate allArrived;
            test::Gate release;
            std::atomic<int> arrived = 0;
            RelayServer server([&](const HTTPRequest&) {
                if (++arrived == waiting)
                    allArrived.open();
                release.waitOpen();
                return test::okResponse();
            });
            std::vector<std::unique_ptr<TLSTestClient>> clients;
            for (int index = 0; index < waiting; ++index) {
                clients.push_back(std::make_unique<TLSTestClient>(server.port));
                ASSERT_TRUE(clients.back()->handshake());
                ASSERT_TRUE(clients.back()->send("GET /wait HTTP/1.1\r\nHost: relay\r\n\r\n"));
            }
            EXPECT_TRUE(waiting == 0 || allArrived.waitOpen());
            EXPECT_EQ(workerThreads(), waiting);
            release.open();
            for (auto& client : clients)
                EXPECT_EQ(test::statusOf(client->readResponse().value_or("")), 200);
        }
    }

    // A request the owner answers at once runs on the listener's queue, even while another waits on a
    // worker; the rest go to the workers.
    TEST(RelayListener, RequestsAnsweredAtOnceRunOnTheQueueWhileOthersWaitOnWorkers)
    {
        test::Gate release;
        RelayListener::Hooks hooks;
        hooks.answerAtOnce = [](const HTTPRequest& request) -> std::optional<HTTPResponse> {
            if (request.path() != "/quick")
                return std::nullopt;
            return test::okResponse(currentThreadName());
        };
        RelayServer server(
            [&](const HTTPRequest& request) {
                if (request.path() == "/slow")
                    release.waitOpen();
                return test::okResponse(currentThreadName());
            },
            {}, {}, std::move(hooks));
        TLSTestClient slow(server.port);
        ASSERT_TRUE(slow.handshake());
        ASSERT_TRUE(slow.send("GET /slow HTTP/1.1\r\nHost: relay\r\n\r\n"));
        TLSTestClient quick(server.port);
        ASSERT_TRUE(quick.handshake());
        const std::string queueName = std::string(RelayListener::kQueueLabel).substr(0, 15);
        for (int request = 0; request < 3; ++request) {
            auto response = quick.get("/quick").value_or("");
            EXPECT_EQ(test::statusOf(response), 200);
            EXPECT_EQ(bodyOf(response), queueName);
        }
        release.open();
        auto waited = slow.readResponse().value_or("");
        EXPECT_EQ(test::statusOf(waited), 200);
        EXPECT_NE(bodyOf(waited), queueName);
    }

    TEST(RelayListener, HostileClientsDoNotStopAPairedClient)
    {
        RelayServer server(kAlwaysOK);
        auto paired = trustedClient(server.port);
        for (const char* mode : { "slowloris", "handshakes" }) {
            SCOPED_TRACE(mode);
            test::InteractivePeer flood(
                { "python3", peerScript(), std::to_string(server.port), mode, "500" });
            ASSERT_EQ(flood.readLine(), "ready");
            // The flood's connections still waiting to be accepted would otherwise come in after the
            // new phone's below and push it out as the newest of their host.
            for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                 acceptBacklog(server.port) > 0 && std::chrono::steady_clock::now() < deadline;)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(test::statusOf(paired->get("/ok").value_or("")), 200);
            EXPECT_LE(server.listener->connectionCount(), 32U);
            // A new phone still gets in: it only displaces the flood's oldest connection.
            TLSTestClient fresh(server.port);
            ASSERT_TRUE(fresh.handshake());
            EXPECT_EQ(test::statusOf(fresh.get("/ok").value_or("")), 200);
            flood.closeInput();
            EXPECT_EQ(flood.wait(), 0);
        }
    }

    TEST(RelayListener, GarbageBeforeTheClientHelloClosesOnlyThatSocket)
    {
        RelayServer server(kAlwaysOK);
        auto paired = trustedClient(server.port);
        TLSTestClient garbage(server.port);
        ASSERT_TRUE(garbage.sendRaw("GET / HTTP/1.1\r\nHost: relay\r\n\r\n"));
        EXPECT_TRUE(garbage.waitClosed());
        EXPECT_EQ(test::statusOf(paired->get("/ok").value_or("")), 200);
    }

}
}
