// A TCP port on every address held the way the relay listens (dual-stack, SO_REUSEADDR), so that the
// relay cannot take it. Another test's relay may hold the wanted port for a moment and let it go at any
// time, so a port that is taken is waited for (up to a minute) until this test holds it itself.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace vellumar::test {

class HeldPort {
public:
    // 0 takes any free port.
    explicit HeldPort(std::uint16_t wanted)
        : m_socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        int off = 0;
        int on = 1;
        ::setsockopt(m_socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        // As the relay's own socket does, so that connections of an earlier run still in TIME_WAIT do
        // not keep this one from the port while they let the relay have it.
        ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in6 address {};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(wanted);
        address.sin6_addr = in6addr_any;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::listen(m_socket, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin6_port);
    }
    ~HeldPort() { ::close(m_socket); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    // The port held; 0 when the wanted one stayed taken for the whole minute.
    std::uint16_t port() const { return m_port; }

private:
    int m_socket;
    std::uint16_t m_port = 0;
};

}
