#include "VellumarMacCore/Relay/SourceAddressFilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <algorithm>

using namespace vellumar;
using SourceAddressFilter::Prefix;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes address(const std::string& text)
{
    Bytes bytes(text.find(':') == std::string::npos ? 4 : 16);
    EXPECT_EQ(inet_pton(bytes.size() == 4 ? AF_INET : AF_INET6, text.c_str(), bytes.data()), 1) << text;
    return bytes;
}

Prefix network(const std::string& at, const std::string& mask) { return { address(at), address(mask) }; }

TEST(SourceAddressFilter, AdmitsPrivateRangesAndLocalNetworksOnly)
{
    const std::vector<Prefix> none;
    const std::vector<Prefix> publicNetworks
        = { network("203.0.113.9", "255.255.255.0"), network("2001:db8::9", "ffff:ffff:ffff:ffff::") };
    // A default route's entry, and an IPv6 network over every mapped IPv4 address.
    const std::vector<Prefix> wideOpen = { network("0.0.0.0", "0.0.0.0"), network("::", "::"),
        network("::ffff:0:0", "ffff:ffff:ffff:ffff:ffff:ffff::") };
    struct Case {
        const char* address;
        const std::vector<Prefix>& prefixes;
        bool allowed;
        bool asksPrefixes;
    } cases[] = {
        { "10.255.0.1", none, true, false },
        { "127.0.0.1", none, true, false },
        { "100.64.0.1", none, true, false },
        { "100.127.255.255", none, true, false },
        { "100.63.255.255", none, false, true },
        { "100.128.0.0", none, false, true },
        { "169.254.10.20", none, true, false },
        { "169.253.0.1", none, false, true },
        { "172.16.0.1", none, true, false },
        { "172.31.255.255", none, true, false },
        { "172.32.0.1", none, false, true },
        { "192.168.1.5", none, true, false },
        { "203.0.113.200", publicNetworks, true, true },
        { "203.0.114.1", publicNetworks, false, true },
        { "8.8.8.8", wideOpen, false, true },
        { "::ffff:192.168.1.5", none, true, false },
        { "::ffff:8.8.8.8", wideOpen, false, true },
        { "::1", none, true, false },
        { "::2", none, false, true },
        { "fe80::1", none, true, false },
        { "febf::1", none, true, false },
        { "fec0::1", none, false, true },
        { "fc00::1", none, true, false },
        { "fd12:3456::1", none, true, false },
        { "2001:db8::1", publicNetworks, true, true },
        { "2001:db8:0:1::1", publicNetworks, false, true },
        { "2001:db8::1", wideOpen, false, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        int asked = 0;
        auto prefixes = [&] {
            ++asked;
            return c.prefixes;
        };
        Bytes bytes = address(c.address);
        bool allowed = bytes.size() == 4 ? SourceAddressFilter::allowsIPv4(bytes, prefixes)
                                         : SourceAddressFilter::allowsIPv6(bytes, prefixes);
        EXPECT_EQ(allowed, c.allowed);
        EXPECT_EQ(asked, c.asksPrefixes ? 1 : 0);
    }
}

TEST(SourceAddressFilter, RefusesAddressesOfTheWrongSize)
{
    auto everything = [] { return std::vector<Prefix> { network("0.0.0.0", "128.0.0.0") }; };
    for (std::size_t size : { 0, 3, 5, 15, 16 })
        EXPECT_FALSE(SourceAddressFilter::allowsIPv4(Bytes(size, 10), everything)) << size;
    for (std::size_t size : { 0, 4, 15, 17 })
        EXPECT_FALSE(SourceAddressFilter::allowsIPv6(Bytes(size, 0xFC), everything)) << size;
}

TEST(SourceAddressFilter, JudgesSocketAddressesByFamily)
{
    auto none = [] { return std::vector<Prefix> {}; };
    sockaddr_in v4 {};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.168.7.7", &v4.sin_addr);
    EXPECT_TRUE(SourceAddressFilter::allows(reinterpret_cast<const sockaddr&>(v4), none));
    inet_pton(AF_INET, "8.8.4.4", &v4.sin_addr);
    EXPECT_FALSE(SourceAddressFilter::allows(reinterpret_cast<const sockaddr&>(v4), none));

    sockaddr_in6 v6 {};
    v6.sin6_family = AF_INET6;
    v6.sin6_scope_id = 7;
    inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
    EXPECT_TRUE(SourceAddressFilter::allows(reinterpret_cast<const sockaddr&>(v6), none));

    sockaddr_un local {};
    local.sun_family = AF_UNIX;
    EXPECT_FALSE(SourceAddressFilter::allows(reinterpret_cast<const sockaddr&>(local), none));
}

TEST(SourceAddressFilter, LocalPrefixesHoldTheLoopbackNetwork)
{
    auto prefixes = SourceAddressFilter::localPrefixes();
    EXPECT_NE(std::find(prefixes.begin(), prefixes.end(), network("127.0.0.1", "255.0.0.0")), prefixes.end());
}

}
