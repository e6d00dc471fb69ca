// The machine's own names and interface addresses, asked of the system anew on every call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct sockaddr;

namespace vellumar::platform {

// The 4 bytes of an AF_INET address or the 16 of an AF_INET6 one, in network order (an IPv6 scope
// plays no part); none for any other family.
std::optional<std::vector<std::uint8_t>> rawAddressBytes(const sockaddr& address);

struct RunningIPv4Address {
    std::string interface;
    // Dotted-quad text from getnameinfo with NI_NUMERICHOST.
    std::string address;
};

// Every IPv4 address of the interfaces that are up and running, in getifaddrs order; empty when the
// list cannot be read.
std::vector<RunningIPv4Address> runningIPv4Addresses();

struct InterfaceNetwork {
    std::vector<std::uint8_t> address;
    // The same length as `address`.
    std::vector<std::uint8_t> netmask;
};

// The address and netmask of every IPv4 and IPv6 entry of the interfaces that are up (loopback and
// point-to-point included), in getifaddrs order; empty when the list cannot be read.
std::vector<InterfaceNetwork> upInterfaceNetworks();

// PRETTY_HOSTNAME of `machineInfo` when it is set and not empty, else the host name (empty or not),
// else none.
inline constexpr char kMachineInfoFile[] = "/etc/machine-info";
std::optional<std::string> computerName(const std::filesystem::path& machineInfo = kMachineInfoFile);

// The name the Avahi daemon announces on the local link when it runs, else the host name up to its
// first "."; without ".local". May be empty.
std::string localHostLabel();

}
