// The servers a load driver starts beside the relay: on CPUs of their own, on ports of 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <spawn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vellumar::bench {

// Starts `command` (PATH searched) under taskset on `cpus`; its pid, or -1 when it could not start.
inline pid_t startOnCPUs(const std::string& cpus, std::vector<std::string> command)
{
    std::vector<std::string> argv { "taskset", "-c", cpus };
    argv.insert(argv.end(), command.begin(), command.end());
    std::vector<char*> pointers;
    for (auto& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "taskset", nullptr, nullptr, pointers.data(), environ) != 0)
        return -1;
    return pid;
}

// Whether something accepts connections on the port within ten seconds.
inline bool waitListening(std::uint16_t port)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A port free at the call, for a server that picks no port of its own.
inline std::uint16_t freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}
