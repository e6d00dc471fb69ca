#include "Platform/Net.h"

#include "tests/support/TLSFixtures.h"
#include "tests/support/TLSTestClient.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

using namespace vellumar::platform;
using namespace vellumar::test;
using namespace std::chrono_literals;

namespace {

const TLSServerContext& serverIdentity()
{
    static TemporaryFolder folder;
    static const TLSServerContext context = [] {
        const std::string bundle = pkcs12Bundle(makeCertificate(folder.path(), "server", 2), "pw");
        return *TLSServerContext::importPKCS12(
            { reinterpret_cast<const std::uint8_t*>(bundle.data()), bundle.size() }, "pw")
                    .context;
    }();
    return context;
}

// The bytes of send number `index`: sizes from 1 byte to about 200 KB, each send's bytes its own.
std::string sendBytes(int index)
{
    std::string bytes(static_cast<std::size_t>(index) * 7'919 % 200'000 + 1, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + (index + i / 1'000) % 26);
    return bytes;
}

// One TLS connection accepted by a NetListener on its own queue; the test drives it through `onQueue`
// and records what its send completions report.
class AcceptedConnection {
public:
    AcceptedConnection()
        : m_listener(
            m_queue, serverIdentity(), 0, [this](auto accepted) { start(std::move(accepted)); },
            [](std::error_code) {})
        , client(m_listener.port())
    {
        EXPECT_TRUE(client.handshake());
        std::unique_lock lock(m_mutex);
        EXPECT_TRUE(m_changed.wait_for(lock, 30s, [this] { return m_ready; }));
    }
    ~AcceptedConnection()
    {
        m_queue.sync([this] {
            m_listener.cancel();
            if (m_connection)
                m_connection->cancel();
            m_connection.reset();
        });
        // The completions the cancel aborted were queued behind it and still reach this object.
        m_queue.sync([] {});
    }

    // Runs `work` on the queue with the accepted connection.
    void onQueue(std::function<void(NetConnection&)> work)
    {
        m_queue.async([this, work = std::move(work)] { work(*m_connection); });
    }
    // Runs `work` on the queue with the accepted connection and waits for it.
    void onQueueNow(const std::function<void(NetConnection&)>& work)
    {
        m_queue.sync([&] { work(*m_connection); });
    }
    struct Received {
        std::string content;
        bool isComplete = false;
        std::error_code error;
    };
    // Everything the peer sends until its stream ends or a read fails; what came so far when the wait
    // runs out.
    Received receiveToTheEnd()
    {
        m_queue.async([this] { receiveMore(); });
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 30s, [this] { return m_received.isComplete || m_received.error; });
        return m_received;
    }
    // Sends `bytes` as send number `index`, recording its completion.
    void send(NetConnection& connection, int index, std::string bytes)
    {
        connection.send(
            std::make_shared<const std::string>(std::move(bytes)), [this, index](std::error_code error) {
                std::lock_guard lock(m_mutex);
                m_completions.push_back({ index, error });
                m_changed.notify_all();
            });
    }
    struct Completion {
        int index;
        std::error_code error;
    };
    // The completions once at least `count` ran; fewer when the wait ran out.
    std::vector<Completion> completions(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 30s, [&] { return m_completions.size() >= count; });
        return m_completions;
    }
    // Lets completions already posted run, so that one reported twice would be seen.
    void settle()
    {
        for (int round = 0; round < 3; ++round)
            m_queue.sync([] {});
    }

private:
    void start(std::shared_ptr<NetConnection> accepted)
    {
        m_connection = std::move(accepted);
        m_connection->start([this](NetConnection::State state) {
            std::lock_guard lock(m_mutex);
            m_ready = state == NetConnection::State::ready;
            m_changed.notify_all();
        });
    }

    void receiveMore()
    {
        m_connection->receive(
            65'536, [this](std::string_view content, bool isComplete, std::error_code error) {
                std::lock_guard lock(m_mutex);
                m_received.content += content;
                m_received.isComplete = isComplete;
                m_received.error = error;
                if (isComplete || error)
                    return m_changed.notify_all();
                m_queue.async([this] { receiveMore(); });
            });
    }

    NetQueue m_queue { "net-test" };
    NetListener m_listener;
    std::shared_ptr<NetConnection> m_connection;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ready = false;
    std::vector<Completion> m_completions;
    Received m_received;

public:
    TLSTestClient client;
};

TEST(NetConnection, AnIPv4PeerOfTheDualStackSocketIsSeenAsIPv4)
{
    AcceptedConnection accepted;
    std::optional<std::string> host;
    accepted.onQueueNow([&](NetConnection& connection) { host = connection.remoteHost(); });
    // The source filter and the per-host caps compare this text; "::ffff:127.0.0.1" would be a
    // second name for the same peer.
    EXPECT_EQ(host, "127.0.0.1");
}

// The port of an address of either family.
std::uint16_t portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// The descriptor in this process of the other end of `client`'s TCP connection; -1 when there is none.
int acceptedEndOf(int client)
{
    auto port = [](int descriptor, auto get) {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        return get(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? portOf(address) : 0;
    };
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int descriptor = std::stoi(entry.path().filename());
        if (descriptor != client && port(descriptor, ::getpeername) == port(client, ::getsockname))
            return descriptor;
    }
    return -1;
}

TEST(NetConnection, AnAcceptedConnectionSendsWithoutWaitingForAcknowledgementsAndProbesAnIdlePeer)
{
    AcceptedConnection accepted;
    const int descriptor = acceptedEndOf(accepted.client.descriptor());
    ASSERT_GE(descriptor, 0);
    struct Case {
        const char* name;
        int level;
        int option;
        int expected;
    };
    const Case cases[] = {
        // Else the first response waits behind the unacknowledged session tickets for the peer's
        // delayed ACK.
        { "TCP_NODELAY", IPPROTO_TCP, TCP_NODELAY, 1 },
        { "SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 1 },
        { "TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, 60 },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        int value = -1;
        socklen_t length = sizeof value;
        ASSERT_EQ(::getsockopt(descriptor, test.level, test.option, &value, &length), 0);
        EXPECT_EQ(value, test.expected);
    }
}

TEST(NetConnection, APeerThatHangsUpWithoutCloseNotifyEndsItsStreamCleanly)
{
    AcceptedConnection accepted;
    const std::string request = "GET /v1/health HTTP/1.1\r\nHost: relay\r\n\r\n";
    ASSERT_TRUE(accepted.client.send(request));
    // TCP's end without TLS's: many phones' stacks close this way once they have their answer.
    ASSERT_EQ(::shutdown(accepted.client.descriptor(), SHUT_WR), 0);
    const auto received = accepted.receiveToTheEnd();
    EXPECT_EQ(received.content, request);
    EXPECT_TRUE(received.isComplete);
    EXPECT_FALSE(received.error) << received.error.message();
}

TEST(NetConnection, SendsQueuedTogetherArriveWholeAndInOrder)
{
    AcceptedConnection accepted;
    constexpr int kSends = 300;
    std::string expected;
    for (int index = 0; index < kSends; ++index)
        expected += sendBytes(index);
    accepted.onQueue([&](NetConnection& connection) {
        for (int index = 0; index < kSends; ++index)
            accepted.send(connection, index, sendBytes(index));
    });

    EXPECT_EQ(accepted.client.read(expected.size()), expected);
    const auto completions = accepted.completions(kSends);
    ASSERT_EQ(completions.size(), kSends);
    for (int index = 0; index < kSends; ++index) {
        EXPECT_EQ(completions[index].index, index);
        EXPECT_FALSE(completions[index].error);
    }
}

TEST(NetConnection, EverySendCompletesOnceWhenTheStreamEnds)
{
    struct Case {
        const char* name;
        // Ends the stream while the peer reads nothing, so that most sends are still queued.
        std::function<void(AcceptedConnection&)> end;
    };
    const std::vector<Case> cases {
        { "cancelled",
            [](AcceptedConnection& accepted) {
                accepted.onQueue([](NetConnection& connection) { connection.cancel(); });
            } },
        { "reset by the peer",
            [](AcceptedConnection& accepted) {
                // Closing with unread bytes and a zero linger resets; /dev/null takes the descriptor's
                // place so that the client's own close later finds something to close.
                const linger reset { 1, 0 };
                setsockopt(accepted.client.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                const int placeholder = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                ::dup2(placeholder, accepted.client.descriptor());
                ::close(placeholder);
            } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AcceptedConnection accepted;
        // Far more than the socket buffers of both ends hold.
        constexpr int kSends = 64;
        accepted.onQueue([&](NetConnection& connection) {
            for (int index = 0; index < kSends; ++index)
                accepted.send(connection, index, std::string(1 << 20, 'x'));
        });
        accepted.completions(1);
        c.end(accepted);
        accepted.onQueue([&](NetConnection& connection) { accepted.send(connection, kSends, "late"); });
        accepted.completions(kSends + 1);
        accepted.settle();

        const auto completions = accepted.completions(kSends + 1);
        ASSERT_EQ(completions.size(), kSends + 1);
        bool failed = false;
        for (int index = 0; index <= kSends; ++index) {
            // In order: what was written first, then failures only.
            EXPECT_EQ(completions[index].index, index);
            failed = failed || completions[index].error;
            EXPECT_EQ(static_cast<bool>(completions[index].error), failed);
        }
        EXPECT_TRUE(completions.front().error == std::error_code {}) << completions.front().error.message();
        EXPECT_TRUE(completions.back().error);
    }
}

TEST(NetConnection, FinishClosesOnlyOnceQueuedSendsAreOut)
{
    AcceptedConnection accepted;
    constexpr int kSends = 60;
    std::string expected;
    for (int index = 0; index < kSends; ++index)
        expected += sendBytes(index);
    accepted.onQueue([&](NetConnection& connection) {
        for (int index = 0; index < kSends; ++index)
            accepted.send(connection, index, sendBytes(index));
        connection.finish(60s);
    });

    EXPECT_EQ(accepted.client.read(expected.size()), expected);
    EXPECT_TRUE(accepted.client.waitClosed());
    EXPECT_EQ(accepted.completions(kSends).size(), kSends);
}

// "New" or "Reused", the version and the protocol openssl s_client reports, as "New TLSv1.3 http/1.1".
std::string handshakeSummary(const std::string& output)
{
    auto field = [&](const std::string& label, const char* stop) -> std::string {
        auto start = output.find(label);
        if (start == std::string::npos)
            return "-";
        start += label.size();
        return output.substr(start, output.find_first_of(stop, start) - start);
    };
    auto reused = output.find("Reused, ") != std::string::npos;
    return (reused ? "Reused " : "New ") + field(reused ? "Reused, " : "New, ", ",\n") + " "
        + field("ALPN protocol: ", "\n");
}

TEST(NetConnection, EveryAcceptingQueueNegotiatesAlikeAndResumesTheOthersSessions)
{
    TemporaryFolder folder;
    struct Case {
        const char* name;
        std::vector<std::string> options;
        // The first connection's summary, then every later one's.
        std::string first, later;
    } cases[] = {
        { "TLS 1.3", { "-tls1_3", "-alpn", "http/1.1" }, "New TLSv1.3 http/1.1", "Reused TLSv1.3 http/1.1" },
        { "TLS 1.2", { "-tls1_2", "-alpn", "h2,http/1.1" }, "New TLSv1.2 http/1.1",
            "Reused TLSv1.2 http/1.1" },
        { "only h2", { "-alpn", "h2" }, "New (NONE) -", "New (NONE) -" },
    };
    std::mutex mutex;
    std::condition_variable changed;
    int released = 0;
    std::string acceptedOn;
    NetQueue first("net-first"), second("net-second");
    NetListener listener(
        first, serverIdentity(), 0,
        [&](std::shared_ptr<NetConnection> accepted) {
            {
                std::lock_guard lock(mutex);
                acceptedOn += first.isCurrent() ? '1' : '2';
            }
            // A byte and an orderly end, so that the client reads the tickets sent after the handshake.
            accepted->start([weak = std::weak_ptr(accepted)](NetConnection::State state) {
                auto connection = weak.lock();
                if (state == NetConnection::State::ready && connection) {
                    connection->send(std::make_shared<const std::string>("x"), [](std::error_code) {});
                    connection->finish(std::chrono::seconds(10));
                }
            });
        },
        [](std::error_code) {}, { &second });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string session = (folder.path() / c.name).string();
        {
            std::lock_guard lock(mutex);
            acceptedOn.clear();
        }
        for (int index = 0; index < 4; ++index) {
            // The queue not meant to accept this connection is kept busy until the client is done.
            auto& busy = index % 2 ? first : second;
            busy.async([&, until = released + 1] {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return released >= until; });
            });
            std::vector<std::string> client { "openssl", "s_client", "-connect",
                "127.0.0.1:" + std::to_string(listener.port()), "-ign_eof", "-sess_out", session };
            client.insert(client.end(), c.options.begin(), c.options.end());
            if (std::filesystem::exists(session))
                client.insert(client.end(), { "-sess_in", session });
            const auto summary = handshakeSummary(runPeer(client).output);
            {
                std::lock_guard lock(mutex);
                ++released;
            }
            changed.notify_all();
            EXPECT_EQ(summary, index == 0 ? c.first : c.later) << "connection " << index;
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(acceptedOn, "1212");
    }
    first.sync([&] { listener.cancel(); });
}

}
