#include "VellumarMacCore/Relay/NetworkAddresses.h"

#include "Platform/SystemNames.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace vellumar::NetworkAddresses {

namespace {

    // The pieces between "." that read as a decimal 0 to 255; others, and empty ones, are dropped.
    std::vector<int> octets(std::string_view text)
    {
        std::vector<int> result;
        while (true) {
            std::size_t dot = text.find('.');
            std::string_view piece = text.substr(0, dot);
            unsigned value = 0;
            auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
            if (!piece.empty() && error == std::errc() && end == piece.data() + piece.size() && value <= 255)
                result.push_back(static_cast<int>(value));
            if (dot == std::string_view::npos)
                return result;
            text.remove_prefix(dot + 1);
        }
    }

    bool inSharedRange(const std::vector<int>& octets)
    {
        return octets.size() == 4 && octets[0] == 100 && octets[1] >= 64 && octets[1] <= 127;
    }

}

std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> addresses;
    for (auto& entry : platform::runningIPv4Addresses())
        addresses.push_back({ .interface = std::move(entry.interface), .address = std::move(entry.address) });
    return addresses;
}

bool isLoopback(const InterfaceAddress& address)
{
    auto parts = octets(address.address);
    return !parts.empty() && parts[0] == 127;
}

bool isLinkLocal(const InterfaceAddress& address)
{
    auto parts = octets(address.address);
    return parts.size() == 4 && parts[0] == 169 && parts[1] == 254;
}

std::optional<std::string> lanAddress(const std::vector<InterfaceAddress>& addresses)
{
    std::vector<InterfaceAddress> ethernet;
    std::vector<InterfaceAddress> others;
    for (const auto& entry : addresses) {
        if (inSharedRange(octets(entry.address)) || isLinkLocal(entry) || isLoopback(entry))
            continue;
        (entry.interface.starts_with("en") ? ethernet : others).push_back(entry);
    }
    std::stable_sort(
        ethernet.begin(), ethernet.end(), [](const InterfaceAddress& lhs, const InterfaceAddress& rhs) {
            return lhs.interface < rhs.interface;
        });
    if (!ethernet.empty())
        return ethernet.front().address;
    if (!others.empty())
        return others.front().address;
    return std::nullopt;
}

std::optional<std::string> sharedRangeAddress(const std::vector<InterfaceAddress>& addresses)
{
    auto found = std::find_if(addresses.begin(), addresses.end(),
        [](const InterfaceAddress& entry) { return inSharedRange(octets(entry.address)); });
    return found == addresses.end() ? std::nullopt : std::optional<std::string>(found->address);
}

std::string computerName(const std::filesystem::path& machineInfo)
{
    return platform::computerName(machineInfo).value_or("mac");
}

std::optional<std::string> localHostName()
{
    std::string label = platform::localHostLabel();
    if (label.empty())
        return std::nullopt;
    return label + ".local";
}

}
