// Memory a WebSocket client that stops reading can make the relay hold. A relay listener whose
// WebSockets echo every message serves one python3-websockets client that writes 125-byte pings, or
// 1 MiB binary messages, without reading until the server has taken nothing for SECONDS, then reads
// everything owed. Prints the process's VmHWM before and after, the peak of unsentBytes() sampled
// every millisecond, the bytes the client wrote, and the rise of VmHWM over those bytes: a relay
// that kept every answer would show a ratio near 1 or more.
//
// Usage: bench_websocket_backlog pings|messages [SECONDS]   (default 30)

#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "VellumarMacCore/Terminal/RelayWebSocket.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using namespace vellumar;

long vmHWMKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    return -1;
}

// Echoes each message of the one WebSocket it upgrades.
class EchoServer {
public:
    explicit EchoServer(const TLSIdentity& identity)
        : m_listener(identity, {}, {}, [this](const HTTPRequest& request) { return upgrade(request); },
            { .webSocket = relayWebSocketFactory() })
        , m_port(m_listener.start(0))
    {
    }
    std::uint16_t port() const { return m_port; }
    std::shared_ptr<WebSocketConnection> connection()
    {
        return m_opened.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready
            ? m_connection
            : nullptr;
    }

private:
    HTTPResponse upgrade(const HTTPRequest& request)
    {
        return HTTPResponse::webSocketAccept(WebSocketHandshake::validate(request),
            [this](std::shared_ptr<WebSocketConnection> opened) {
                opened->start([weak = std::weak_ptr(opened)](WebSocketConnection::Event event) {
                    auto live = weak.lock();
                    if (auto* binary = std::get_if<WebSocketMessageReader::Binary>(&event); binary && live)
                        live->sendBinary(std::move(binary->bytes), {});
                });
                m_connection = std::move(opened);
                m_opened.set_value();
            },
            {});
    }

    std::shared_ptr<WebSocketConnection> m_connection;
    std::promise<void> m_opened;
    RelayListener m_listener;
    std::uint16_t m_port;
};

}

int main(int argc, char** argv)
{
    const std::string kind = argc > 1 ? argv[1] : "pings";
    const std::string seconds = argc > 2 ? argv[2] : "30";
    test::TemporaryFolder folder;
    auto identity = TLSIdentityStore::loadOrCreate(
        folder / "tls", { { "127.0.0.1" }, {} }, TLSIdentityStore::defaultOpenSSL);
    EchoServer server(identity);
    const std::string url = "wss://127.0.0.1:" + std::to_string(server.port()) + "/v1/terminal";
    const long before = vmHWMKiB();

    auto peer = std::async(std::launch::async, [&] {
        return test::runPeer(
            { "/usr/bin/python3", (test::sourceDir() / "tests/peers/websocket_stream.py").string(), "stall",
                url, (folder / "tls" / TLSIdentityStore::certificateFileName).string(), kind, seconds });
    });
    auto connection = server.connection();
    if (!connection) {
        std::fprintf(stderr, "the client did not open its WebSocket\n");
        return 1;
    }
    std::int64_t peak = 0;
    while (peer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        peak = std::max(peak, connection->unsentBytes());
    const auto result = peer.get();
    const long after = vmHWMKiB();

    long messages = 0;
    long pings = 0;
    std::istringstream summary(
        result.output.substr(std::min(result.output.find("ok "), result.output.size())));
    std::string ok;
    if (!(summary >> ok >> messages >> pings)) {
        std::fprintf(stderr, "the client failed: %s\n", result.output.c_str());
        return 1;
    }
    const double written = static_cast<double>(messages) * (1 << 20) + static_cast<double>(pings) * 131;
    std::printf("client: %s, blocked for %s s before reading again; wrote %.1f MiB\n", kind.c_str(),
        seconds.c_str(), written / (1 << 20));
    std::printf("VmHWM before %ld KiB, after %ld KiB; peak unsent %.2f MiB\n", before, after,
        static_cast<double>(peak) / (1 << 20));
    std::printf("VmHWM rise / bytes written: %.3f\n", static_cast<double>(after - before) * 1024 / written);
    return 0;
}
