#include "tests/support/TLSTestClient.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>

namespace vellumar::test {

namespace {

    SSL_CTX* clientContext()
    {
        static SSL_CTX* context = [] {
            // A server that closes while the client writes must fail the write, not end the tests.
            std::signal(SIGPIPE, SIG_IGN);
            SSL_CTX* made = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
            // A read that only took a session ticket must come back, or the deadlines would not hold.
            SSL_CTX_clear_mode(made, SSL_MODE_AUTO_RETRY);
            return made;
        }();
        return context;
    }

    std::optional<std::size_t> completeLength(std::string_view received)
    {
        auto headEnd = received.find("\r\n\r\n");
        if (headEnd == std::string_view::npos)
            return std::nullopt;
        std::size_t length = 0;
        auto head = received.substr(0, headEnd);
        auto at = head.find("Content-Length: ");
        if (at != std::string_view::npos)
            length = std::stoul(std::string(head.substr(at + 16, head.find("\r\n", at) - at - 16)));
        if (received.size() < headEnd + 4 + length)
            return std::nullopt;
        return headEnd + 4 + length;
    }

}

TLSTestClient::TLSTestClient(std::uint16_t port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (m_fd >= 0)
            ::close(m_fd);
        throw std::runtime_error("connection refused");
    }
}

TLSTestClient::~TLSTestClient()
{
    if (m_ssl)
        SSL_free(m_ssl);
    ::close(m_fd);
}

bool TLSTestClient::handshake()
{
    m_ssl = SSL_new(clientContext());
    SSL_set_fd(m_ssl, m_fd);
    bool done = SSL_connect(m_ssl) == 1;
    ERR_clear_error();
    return done;
}

bool TLSTestClient::sendRaw(std::string_view bytes)
{
    return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool TLSTestClient::send(std::string_view bytes)
{
    bool sent = bytes.empty() || SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    ERR_clear_error();
    return sent;
}

TLSTestClient::Read TLSTestClient::readSome(std::chrono::steady_clock::time_point deadline)
{
    if (m_closed)
        return Read::closed;
    if (!m_ssl || SSL_pending(m_ssl) == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wanted { m_fd, POLLIN, 0 };
        if (::poll(&wanted, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0)
            return Read::timedOut;
    }
    char buffer[16'384];
    int count = m_ssl ? SSL_read(m_ssl, buffer, sizeof buffer)
                      : static_cast<int>(::recv(m_fd, buffer, sizeof buffer, 0));
    bool again = m_ssl && count <= 0 && SSL_get_error(m_ssl, count) == SSL_ERROR_WANT_READ;
    ERR_clear_error();
    if (again)
        return Read::data;
    if (count <= 0) {
        m_closed = true;
        return Read::closed;
    }
    m_received.append(buffer, static_cast<std::size_t>(count));
    return Read::data;
}

std::optional<std::string> TLSTestClient::readResponse(std::chrono::seconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto length = completeLength(m_received)) {
            std::string response = m_received.substr(0, *length);
            m_received.erase(0, *length);
            return response;
        }
        if (readSome(deadline) != Read::data)
            return std::nullopt;
    }
}

std::optional<std::string> TLSTestClient::read(std::size_t count, std::chrono::seconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_received.size() < count) {
        if (readSome(deadline) != Read::data)
            return std::nullopt;
    }
    std::string bytes = m_received.substr(0, count);
    m_received.erase(0, count);
    return bytes;
}

bool TLSTestClient::waitClosed(std::chrono::seconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        switch (readSome(deadline)) {
        case Read::data:
            continue;
        case Read::closed:
            return true;
        case Read::timedOut:
            return false;
        }
    }
}

std::optional<std::string> TLSTestClient::get(std::string_view path)
{
    if (!send("GET " + std::string(path) + " HTTP/1.1\r\nHost: relay\r\n\r\n"))
        return std::nullopt;
    return readResponse();
}

int statusOf(std::string_view response)
{
    if (response.size() < 12 || !response.starts_with("HTTP/1.1 "))
        return 0;
    return std::stoi(std::string(response.substr(9, 3)));
}

}
