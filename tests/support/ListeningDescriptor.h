// Finding this process's own listening socket, for tests that break it from under its listener.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vellumar::test {

// The listening socket of `port` in this process.
inline std::optional<int> listeningDescriptor(std::uint16_t port)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t size = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0
            || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
            continue;
        // A machine without IPv6 listens on IPv4 alone.
        if ((address.ss_family == AF_INET6
                && ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port) == port)
            || (address.ss_family == AF_INET
                && ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port) == port))
            return fd;
    }
    return std::nullopt;
}

}
