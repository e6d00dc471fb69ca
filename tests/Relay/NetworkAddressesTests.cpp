#include "VellumarMacCore/Relay/NetworkAddresses.h"

#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

using namespace vellumar;

namespace {

TEST(NetworkAddresses, ChoosesTheLANAndSharedRangeAddresses)
{
    using List = std::vector<InterfaceAddress>;
    struct Case {
        const char* name;
        List addresses;
        std::optional<std::string> lan;
        std::optional<std::string> shared;
    } cases[] = {
        { "loopback and link-local only", { { "lo0", "127.0.0.1" }, { "en0", "169.254.3.4" } }, std::nullopt,
            std::nullopt },
        { "en interfaces by name", { { "en1", "192.168.1.5" }, { "en0", "10.0.0.7" } }, "10.0.0.7",
            std::nullopt },
        { "en interfaces before others", { { "bridge0", "192.168.2.1" }, { "en5", "192.168.3.3" } },
            "192.168.3.3", std::nullopt },
        { "names compare as text", { { "en2", "10.0.0.2" }, { "en10", "10.0.0.10" } }, "10.0.0.10",
            std::nullopt },
        { "shared range set apart", { { "utun3", "100.100.1.2" }, { "wlan0", "100.128.0.1" } }, "100.128.0.1",
            "100.100.1.2" },
        { "three octets are not link-local", { { "en0", "169.254.1" } }, "169.254.1", std::nullopt },
        { "no octets stay a candidate", { { "en0", "not.an.address" } }, "not.an.address", std::nullopt },
        { "empty", {}, std::nullopt, std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NetworkAddresses::lanAddress(c.addresses), c.lan);
        EXPECT_EQ(NetworkAddresses::sharedRangeAddress(c.addresses), c.shared);
    }
}

TEST(NetworkAddresses, ListsTheRunningLoopbackAddress)
{
    auto addresses = NetworkAddresses::interfaceAddresses();
    InterfaceAddress loopback { "lo", "127.0.0.1" };
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), loopback), addresses.end());
}

// In a UTS namespace of its own, a child can give the machine any host name without touching the test's.
TEST(NetworkAddresses, LocalHostNameIsTheShortHostNameWithLocalAndNoneWhenEmpty)
{
    if (std::filesystem::exists("/run/avahi-daemon/socket"))
        GTEST_SKIP() << "a running Avahi daemon names the host itself";
    int status = test::exitStatusWithin(std::chrono::seconds(30), [] {
        if (::unshare(CLONE_NEWUTS) != 0)
            return 10;
        const char* name = "my-mac.example.org";
        if (::sethostname(name, std::strlen(name)) != 0)
            return 11;
        if (NetworkAddresses::localHostName() != "my-mac.local")
            return 1;
        if (::sethostname("", 0) != 0)
            return 12;
        return NetworkAddresses::localHostName() ? 2 : 0;
    });
    EXPECT_EQ(status, 0);
}

}
