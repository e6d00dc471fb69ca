// Which peers may open a connection to the relay at all: private, loopback, link-local, shared
// (Tailscale) and unique-local addresses, and the networks the machine's own interfaces are on.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct sockaddr;

namespace vellumar::SourceAddressFilter {

// The network of one local interface.
struct Prefix {
    // Network byte order: 4 bytes for IPv4, 16 for IPv6.
    std::vector<std::uint8_t> address;
    // The same length as `address`.
    std::vector<std::uint8_t> mask;

    friend bool operator==(const Prefix&, const Prefix&) = default;
};

// Called only when the fixed ranges have not decided, so at most once per decision.
using PrefixSource = std::function<std::vector<Prefix>()>;

// The networks of the interfaces that are up, read anew on every call; empty when they cannot be read.
std::vector<Prefix> localPrefixes();

// The peer address of an accepted connection; a family other than IPv4 or IPv6 is refused.
bool allows(const sockaddr& peer, const PrefixSource& prefixes = localPrefixes);
// Any size other than 4 is refused.
bool allowsIPv4(std::span<const std::uint8_t> address, const PrefixSource& prefixes = localPrefixes);
// Any size other than 16 is refused; an IPv4-mapped address is judged as the IPv4 address it holds.
bool allowsIPv6(std::span<const std::uint8_t> address, const PrefixSource& prefixes = localPrefixes);

}
