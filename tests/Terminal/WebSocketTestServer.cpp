#include "tests/Terminal/WebSocketTestServer.h"

#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vellumar::test {

namespace {

    constexpr auto kPatience = std::chrono::seconds(20);

    bool becomesReadable(int fd)
    {
        pollfd readable { fd, POLLIN, 0 };
        return poll(&readable, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) == 1;
    }

    class SocketTransport : public WebSocketTransport, public std::enable_shared_from_this<SocketTransport> {
    public:
        explicit SocketTransport(asio::ip::tcp::socket socket)
            : m_socket(std::move(socket))
        {
        }

        void receive(std::size_t maximumBytes, ReceiveCompletion completion) override
        {
            m_socket.async_read_some(asio::buffer(m_buffer.data(), std::min(maximumBytes, m_buffer.size())),
                [self = shared_from_this(), completion = std::move(completion)](
                    std::error_code error, std::size_t count) {
                    const bool ended = error == asio::error::eof;
                    completion({ self->m_buffer.data(), count }, ended, ended ? std::error_code() : error);
                });
        }

        void send(std::shared_ptr<const std::string> bytes, SendCompletion completion) override
        {
            m_writes.push_back({ std::move(bytes), std::move(completion) });
            if (m_writes.size() == 1)
                writeNext();
        }

        void cancel() override
        {
            std::error_code ignored;
            m_socket.close(ignored);
        }

        void async(std::function<void()> work) override
        {
            asio::post(m_socket.get_executor(), std::move(work));
        }

        void schedule(std::chrono::milliseconds after, std::function<void()> fired) override
        {
            auto timer = std::make_shared<asio::steady_timer>(m_socket.get_executor(), after);
            timer->async_wait([timer, fired = std::move(fired)](std::error_code error) {
                if (!error)
                    fired();
            });
        }

    private:
        // One write at a time, so frames never interleave.
        void writeNext()
        {
            asio::async_write(m_socket, asio::buffer(*m_writes.front().first),
                [self = shared_from_this()](std::error_code error, std::size_t) {
                    auto completion = std::move(self->m_writes.front().second);
                    self->m_writes.pop_front();
                    if (!self->m_writes.empty())
                        self->writeNext();
                    completion(error);
                });
        }

        asio::ip::tcp::socket m_socket;
        std::array<char, 65'536> m_buffer {};
        std::deque<std::pair<std::shared_ptr<const std::string>, SendCompletion>> m_writes;
    };

    // Reads the opening request; returns the bytes after its headers and writes the 101 answer.
    std::string answerOpening(asio::ip::tcp::socket& socket)
    {
        std::string received;
        std::size_t end;
        while ((end = received.find("\r\n\r\n")) == std::string::npos) {
            if (!becomesReadable(socket.native_handle()))
                return {};
            char chunk[4096];
            std::error_code error;
            const std::size_t count = socket.read_some(asio::buffer(chunk), error);
            if (error)
                return {};
            received.append(chunk, count);
        }
        std::string lower = received.substr(0, end);
        std::transform(
            lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::size_t key = lower.find("sec-websocket-key:") + 18;
        std::string value = received.substr(key, received.find("\r\n", key) - key);
        value.erase(0, value.find_first_not_of(' '));
        const std::string answer
            = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: "
            + WebSocketHandshake::acceptValue(value) + "\r\n\r\n";
        asio::write(socket, asio::buffer(answer));
        return received.substr(end + 4);
    }

}

struct WebSocketTestServer::Loop {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work { context.get_executor() };
    asio::ip::tcp::acceptor acceptor { context, { asio::ip::make_address("127.0.0.1"), 0 } };
    std::thread thread;
};

WebSocketTestServer::WebSocketTestServer(WebSocketConnection::Intervals intervals, Opening opening)
    : m_loop(std::make_unique<Loop>())
    , m_intervals(intervals)
    , m_opening(opening)
{
    m_port = m_loop->acceptor.local_endpoint().port();
    m_loop->thread = std::thread([this] { m_loop->context.run(); });
}

WebSocketTestServer::~WebSocketTestServer()
{
    m_loop->context.stop();
    m_loop->thread.join();
}

std::shared_ptr<WebSocketConnection> WebSocketTestServer::accept()
{
    if (!becomesReadable(m_loop->acceptor.native_handle())) {
        ADD_FAILURE() << "no client came";
        return nullptr;
    }
    asio::ip::tcp::socket socket = m_loop->acceptor.accept();
    std::string buffered = m_opening == Opening::handshake ? answerOpening(socket) : "";
    auto transport = std::make_shared<SocketTransport>(std::move(socket));
    auto connection = WebSocketConnection::make(
        transport, std::move(buffered),
        [this] {
            std::lock_guard guard(m_mutex);
            ++m_finishes;
            m_changed.notify_all();
        },
        m_intervals);
    std::weak_ptr<WebSocketConnection> weak = connection;
    connection->start([this, weak](WebSocketConnection::Event event) {
        auto self = weak.lock();
        if (self) {
            if (auto* text = std::get_if<WebSocketMessageReader::Text>(&event))
                self->sendText(text->text);
            if (auto* binary = std::get_if<WebSocketMessageReader::Binary>(&event))
                self->sendBinary(binary->bytes, {});
        }
        std::lock_guard guard(m_mutex);
        m_events.push_back(std::move(event));
        m_changed.notify_all();
    });
    return connection;
}

bool WebSocketTestServer::waitUntilFinished()
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kPatience, [this] { return m_finishes > 0; });
}

std::vector<WebSocketConnection::Event> WebSocketTestServer::events()
{
    std::lock_guard guard(m_mutex);
    return m_events;
}

int WebSocketTestServer::finishCount()
{
    std::lock_guard guard(m_mutex);
    return m_finishes;
}

RawWebSocketClient::RawWebSocketClient(std::uint16_t port)
    : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

RawWebSocketClient::~RawWebSocketClient() { ::close(m_fd); }

void RawWebSocketClient::send(const std::string& bytes)
{
    EXPECT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

bool RawWebSocketClient::readExactly(char* into, std::size_t count)
{
    while (count > 0) {
        if (!becomesReadable(m_fd))
            return false;
        const ssize_t got = recv(m_fd, into, count, 0);
        if (got <= 0)
            return false;
        into += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<WebSocketFrame> RawWebSocketClient::nextFrame()
{
    char header[2];
    if (!readExactly(header, 2))
        return std::nullopt;
    std::string payload(static_cast<std::size_t>(header[1] & 0x7F), '\0');
    EXPECT_LT(payload.size(), 126u);
    if (!readExactly(payload.data(), payload.size()))
        return std::nullopt;
    const auto opcode = webSocketOpcode(static_cast<std::uint8_t>(header[0] & 0x0F));
    if (!opcode)
        return std::nullopt;
    return WebSocketFrame { (header[0] & 0x80) != 0, *opcode, std::move(payload) };
}

bool RawWebSocketClient::endsWithoutMoreBytes()
{
    char byte;
    return becomesReadable(m_fd) && recv(m_fd, &byte, 1, 0) <= 0;
}

}
