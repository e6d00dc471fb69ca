#include "Platform/SystemNames.h"

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>

namespace vellumar::platform {

namespace {

    // /etc/machine-info is a few lines; anything longer is not read past this.
    constexpr std::size_t kMachineInfoLimitBytes = 64 * 1024;
    constexpr std::string_view kPrettyHostnameKey = "PRETTY_HOSTNAME=";

    struct InterfaceList {
        ifaddrs* head = nullptr;
        InterfaceList()
        {
            if (getifaddrs(&head) != 0)
                head = nullptr;
        }
        ~InterfaceList()
        {
            if (head)
                freeifaddrs(head);
        }
        InterfaceList(const InterfaceList&) = delete;
        InterfaceList& operator=(const InterfaceList&) = delete;
    };

    // An environment-file value as systemd writes it: bare, or in single or double quotes, where a
    // backslash escapes the next character (inside single quotes it is kept).
    std::string unquoted(std::string_view value)
    {
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.remove_suffix(1);
        char quote = !value.empty() && (value.front() == '"' || value.front() == '\'') ? value.front() : 0;
        if (quote)
            value.remove_prefix(1);
        std::string text;
        for (std::size_t i = 0; i < value.size(); ++i) {
            char c = value[i];
            if (quote && c == quote)
                break;
            if (c == '\\' && quote != '\'' && i + 1 < value.size())
                c = value[++i];
            text.push_back(c);
        }
        return text;
    }

    std::optional<std::string> prettyHostname(const std::filesystem::path& machineInfo)
    {
        std::ifstream stream(machineInfo, std::ios::binary);
        std::string content(kMachineInfoLimitBytes, '\0');
        stream.read(content.data(), static_cast<std::streamsize>(content.size()));
        content.resize(static_cast<std::size_t>(stream.gcount()));

        std::optional<std::string> found;
        std::string_view rest = content;
        while (!rest.empty()) {
            std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(line.size() + 1, rest.size()));
            line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
            if (line.starts_with(kPrettyHostnameKey))
                found = unquoted(line.substr(kPrettyHostnameKey.size()));
        }
        return found;
    }

    std::optional<std::string> hostName()
    {
        char buffer[HOST_NAME_MAX + 1] = {};
        if (gethostname(buffer, sizeof buffer - 1) != 0)
            return std::nullopt;
        return std::string(buffer);
    }

    // Asks the running Avahi daemon over D-Bus; none when no daemon answers.
    std::optional<std::string> avahiHostName()
    {
        std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(
            avahi_simple_poll_new(), avahi_simple_poll_free);
        if (!poll)
            return std::nullopt;
        int error = 0;
        std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
            avahi_client_new(
                avahi_simple_poll_get(poll.get()), AvahiClientFlags(0),
                [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error),
            avahi_client_free);
        if (!client)
            return std::nullopt;
        const char* name = avahi_client_get_host_name(client.get());
        return name ? std::optional<std::string>(name) : std::nullopt;
    }

}

std::optional<std::vector<std::uint8_t>> rawAddressBytes(const sockaddr& address)
{
    if (address.sa_family == AF_INET) {
        sockaddr_in v4;
        std::memcpy(&v4, &address, sizeof v4);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v4.sin_addr);
        return std::vector<std::uint8_t>(bytes, bytes + sizeof v4.sin_addr);
    }
    if (address.sa_family == AF_INET6) {
        sockaddr_in6 v6;
        std::memcpy(&v6, &address, sizeof v6);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
        return std::vector<std::uint8_t>(bytes, bytes + sizeof v6.sin6_addr);
    }
    return std::nullopt;
}

std::vector<RunningIPv4Address> runningIPv4Addresses()
{
    InterfaceList list;
    std::vector<RunningIPv4Address> addresses;
    for (ifaddrs* entry = list.head; entry; entry = entry->ifa_next) {
        constexpr unsigned kUpAndRunning = IFF_UP | IFF_RUNNING;
        if ((entry->ifa_flags & kUpAndRunning) != kUpAndRunning || !entry->ifa_addr
            || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char host[NI_MAXHOST] = {};
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST)
            != 0)
            continue;
        addresses.push_back({ .interface = entry->ifa_name, .address = host });
    }
    return addresses;
}

std::vector<InterfaceNetwork> upInterfaceNetworks()
{
    InterfaceList list;
    std::vector<InterfaceNetwork> networks;
    for (ifaddrs* entry = list.head; entry; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_UP) || !entry->ifa_addr || !entry->ifa_netmask)
            continue;
        auto address = rawAddressBytes(*entry->ifa_addr);
        auto netmask = rawAddressBytes(*entry->ifa_netmask);
        if (!address || !netmask || address->size() != netmask->size())
            continue;
        networks.push_back({ .address = std::move(*address), .netmask = std::move(*netmask) });
    }
    return networks;
}

std::optional<std::string> computerName(const std::filesystem::path& machineInfo)
{
    auto pretty = prettyHostname(machineInfo);
    if (pretty && !pretty->empty())
        return pretty;
    return hostName();
}

std::string localHostLabel()
{
    if (auto avahi = avahiHostName(); avahi && !avahi->empty())
        return *avahi;
    std::string name = hostName().value_or("");
    return name.substr(0, name.find('.'));
}

}
