#include "VellumarMacCore/Relay/SourceAddressFilter.h"

#include "Platform/SystemNames.h"

#include <algorithm>

namespace vellumar::SourceAddressFilter {

namespace {

    constexpr std::size_t kIPv4Size = 4;
    constexpr std::size_t kIPv6Size = 16;

    bool allZero(std::span<const std::uint8_t> bytes)
    {
        return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte == 0; });
    }

    bool inLocalNetwork(std::span<const std::uint8_t> address, const PrefixSource& prefixes)
    {
        for (const Prefix& prefix : prefixes()) {
            // A zero mask (a default route's entry, say) would admit every address there is.
            if (prefix.address.size() != address.size() || prefix.mask.size() != address.size()
                || allZero(prefix.mask))
                continue;
            bool inside = true;
            for (std::size_t i = 0; i < address.size(); ++i)
                inside = inside && ((address[i] ^ prefix.address[i]) & prefix.mask[i]) == 0;
            if (inside)
                return true;
        }
        return false;
    }

}

std::vector<Prefix> localPrefixes()
{
    std::vector<Prefix> prefixes;
    for (auto& network : platform::upInterfaceNetworks())
        prefixes.push_back({ .address = std::move(network.address), .mask = std::move(network.netmask) });
    return prefixes;
}

bool allows(const sockaddr& peer, const PrefixSource& prefixes)
{
    auto bytes = platform::rawAddressBytes(peer);
    if (!bytes)
        return false;
    return bytes->size() == kIPv4Size ? allowsIPv4(*bytes, prefixes) : allowsIPv6(*bytes, prefixes);
}

bool allowsIPv4(std::span<const std::uint8_t> address, const PrefixSource& prefixes)
{
    if (address.size() != kIPv4Size)
        return false;
    std::uint8_t b0 = address[0];
    std::uint8_t b1 = address[1];
    bool fixedRange = b0 == 10 // 10.0.0.0/8, RFC 1918
        || b0 == 127 // 127.0.0.0/8, loopback
        || (b0 == 100 && b1 >= 64 && b1 <= 127) // 100.64.0.0/10, RFC 6598 shared space (Tailscale)
        || (b0 == 169 && b1 == 254) // 169.254.0.0/16, RFC 3927 link-local
        || (b0 == 172 && (b1 & 0xF0) == 16) // 172.16.0.0/12, RFC 1918
        || (b0 == 192 && b1 == 168); // 192.168.0.0/16, RFC 1918
    return fixedRange || inLocalNetwork(address, prefixes);
}

bool allowsIPv6(std::span<const std::uint8_t> address, const PrefixSource& prefixes)
{
    if (address.size() != kIPv6Size)
        return false;
    std::uint8_t b0 = address[0];
    if (b0 == 0) {
        // RFC 4291 §2.5.5.2: ::ffff:a.b.c.d carries an IPv4 peer; only the IPv4 rules judge it.
        if (allZero(address.subspan(1, 9)) && address[10] == 0xFF && address[11] == 0xFF)
            return allowsIPv4(address.subspan(12), prefixes);
        if (allZero(address.subspan(1, 14)) && address[15] == 1) // ::1
            return true;
    } else if (b0 == 0xFE) {
        if (address[1] >= 0x80 && address[1] <= 0xBF) // fe80::/10, link-local
            return true;
    } else if ((b0 & 0xFE) == 0xFC) { // fc00::/7, RFC 4193 unique local
        return true;
    }
    return inLocalNetwork(address, prefixes);
}

}
