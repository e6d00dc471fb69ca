// A blocking TLS client on 127.0.0.1 for tests that drive a server step by step: open a connection,
// send partial requests, read whole responses and notice when the server closes. Every wait is
// bounded. It trusts any certificate: the tests that check pins use curl.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace vellumar::test {

class TLSTestClient {
public:
    // Connects over TCP; throws std::runtime_error when the connection is refused.
    explicit TLSTestClient(std::uint16_t port);
    ~TLSTestClient();
    TLSTestClient(const TLSTestClient&) = delete;
    TLSTestClient& operator=(const TLSTestClient&) = delete;

    // False when the server closes or refuses the handshake.
    bool handshake();
    // Sends raw bytes before any handshake (a client that never speaks TLS).
    bool sendRaw(std::string_view bytes);
    // False when the bytes could not be written.
    bool send(std::string_view bytes);
    // One HTTP/1.1 response, head and Content-Length body; absent when the server closed first or
    // nothing complete came within `limit`.
    std::optional<std::string> readResponse(std::chrono::seconds limit = std::chrono::seconds(30));
    // Whether the server closed the connection within `limit`; bytes before the end are skipped.
    bool waitClosed(std::chrono::seconds limit = std::chrono::seconds(30));
    // Exactly `count` bytes after what earlier reads took; absent when the server closed first or they
    // did not all come within `limit`.
    std::optional<std::string> read(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(30));
    int descriptor() const noexcept { return m_fd; }
    // Sends GET `path` with keep-alive and reads the response.
    std::optional<std::string> get(std::string_view path);

private:
    enum class Read { data, timedOut, closed };
    Read readSome(std::chrono::steady_clock::time_point deadline);

    int m_fd = -1;
    SSL* m_ssl = nullptr;
    bool m_closed = false;
    std::string m_received;
};

// The status number of a response's status line; 0 when there is none.
int statusOf(std::string_view response);

}
