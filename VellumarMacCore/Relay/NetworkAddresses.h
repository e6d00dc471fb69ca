// The machine's own IPv4 addresses and names: the address a pairing code offers, the names its TLS
// certificate carries and the name a phone shows. Every call asks the system again; any thread.
#pragma once

#include "Platform/SystemNames.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

struct InterfaceAddress {
    std::string interface;
    // Numeric dotted-quad text.
    std::string address;

    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

namespace NetworkAddresses {
    // The IPv4 addresses of the interfaces that are up and running, in the system's order.
    std::vector<InterfaceAddress> interfaceAddresses();

    bool isLoopback(const InterfaceAddress& address);
    bool isLinkLocal(const InterfaceAddress& address);

    // The address to offer on the local network: not shared-range, link-local or loopback; "en"
    // interfaces first, ordered by name as text (en10 before en2), then the rest in list order.
    std::optional<std::string> lanAddress(const std::vector<InterfaceAddress>& addresses);
    // The first address in 100.64.0.0/10, where Tailscale puts its peers.
    std::optional<std::string> sharedRangeAddress(const std::vector<InterfaceAddress>& addresses);

    // The name the user gave the machine (in `machineInfo`), else its host name, else "mac".
    std::string computerName(const std::filesystem::path& machineInfo = platform::kMachineInfoFile);
    // The name the local link resolves over multicast DNS, with ".local"; none when it is empty.
    std::optional<std::string> localHostName();
}

}
