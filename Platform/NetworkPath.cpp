#include "Platform/NetworkPath.h"

#include "Platform/FileDescriptor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    using Milliseconds = std::chrono::milliseconds;

    // A route socket that hears of link and address changes; an invalid descriptor when the kernel
    // or the sandbox refuses one.
    FileDescriptor openRouteSocket()
    {
        FileDescriptor route(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (!route)
            return route;
        sockaddr_nl local {};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (bind(route.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return FileDescriptor();
        return route;
    }

    // What the poll compares: each interface's name, flags and address.
    using InterfaceEntry = std::tuple<std::string, unsigned, std::string>;

    std::vector<InterfaceEntry> interfaceSnapshot()
    {
        std::vector<InterfaceEntry> entries;
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0)
            return entries;
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            std::array<char, INET6_ADDRSTRLEN> text {};
            if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text.data(),
                    text.size());
            else if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text.data(),
                    text.size());
            entries.emplace_back(entry->ifa_name, entry->ifa_flags, text.data());
        }
        freeifaddrs(list);
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    // Waits for the watched descriptor (none when negative) or the wake-up; answers whether `watched`
    // became readable. A timeout of -1 waits without end.
    bool waitReadable(int watched, int wake, int timeoutMilliseconds, bool& woken)
    {
        // poll(2) skips an entry whose descriptor is negative.
        std::array<pollfd, 2> fds { { { wake, POLLIN, 0 }, { watched, POLLIN, 0 } } };
        int ready = poll(fds.data(), fds.size(), timeoutMilliseconds);
        woken = ready > 0 && fds[0].revents != 0;
        return ready > 0 && fds[1].revents != 0;
    }

    // Reads every queued notification; their content does not matter, only that something changed.
    // An overflow of the socket's buffer (ENOBUFS) means changes were lost, which is a change too.
    void drain(int route)
    {
        std::array<char, 16384> buffer;
        while (true) {
            ssize_t got = recv(route, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 && errno != ENOBUFS)
                return;
        }
    }

}

struct NetworkPath::State {
    Update update;
    Options options;
    FileDescriptor route;
    FileDescriptor wake;
    std::thread thread;

    void followKernel()
    {
        bool woken = false;
        while (true) {
            waitReadable(route.get(), wake.get(), -1, woken);
            if (woken)
                return;
            drain(route.get());
            // A change seldom comes alone (a link going up brings its addresses): wait for the burst
            // to settle so that one update covers it.
            while (waitReadable(route.get(), wake.get(), static_cast<int>(options.coalesce.count()), woken))
                drain(route.get());
            if (woken)
                return;
            update();
        }
    }

    void pollInterfaces()
    {
        auto last = interfaceSnapshot();
        bool woken = false;
        while (true) {
            waitReadable(-1, wake.get(), static_cast<int>(options.pollInterval.count()), woken);
            if (woken)
                return;
            auto now = interfaceSnapshot();
            if (now != last) {
                last = std::move(now);
                update();
            }
        }
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "vellumar.path");
        update();
        if (route)
            followKernel();
        else
            pollInterfaces();
    }
};

NetworkPath::NetworkPath(Update update, Options options)
    : m_state(std::make_unique<State>())
{
    m_state->update = std::move(update);
    m_state->options = options;
    if (options.kernelNotifications)
        m_state->route = openRouteSocket();
    m_state->wake = FileDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_state->wake)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

NetworkPath::~NetworkPath()
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(m_state->wake.get(), &one, sizeof one);
    m_state->thread.join();
}

bool NetworkPath::followsKernel() const noexcept { return static_cast<bool>(m_state->route); }

}
