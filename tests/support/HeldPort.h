// A TCP port on every address held the way the relay listens (dual-stack, SO_REUSEADDR), so that the
// relay cannot take it. It is taken at once or not at all: a port someone else holds may be let go at
// any moment, so it proves nothing, and waiting for it would only hold up the test.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

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
        socklen_t length = sizeof address;
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_socket, 1) != 0
            || ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            m_problem = "port " + std::to_string(wanted) + " could not be held: " + std::strerror(errno);
            return;
        }
        m_port = ntohs(address.sin6_port);
    }
    ~HeldPort()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    // The port held; 0 when it could not be, and then `problem` says why.
    std::uint16_t port() const { return m_port; }
    const std::string& problem() const { return m_problem; }

private:
    int m_socket;
    std::uint16_t m_port = 0;
    std::string m_problem;
};

}
