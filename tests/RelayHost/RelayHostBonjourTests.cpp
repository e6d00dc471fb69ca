// The relay host's Bonjour service as avahi-browse sees it, with a daemon of the test's own in a
// network namespace of its own, so that nothing is announced beyond this machine.
#include "Platform/ServiceDiscovery.h"
#include "tests/RelayHost/RelayHostFixture.h"
#include "tests/support/AvahiNamespace.h"

#include <gtest/gtest.h>

using namespace vellumar;
using test::HostWorld;

namespace {

const std::string kType(RelayHost::kServiceType);

class RelayHostBonjour : public testing::Test {
protected:
    void SetUp() override
    {
        std::string whyNot;
        m_avahi = test::AvahiNamespace::start(whyNot);
        if (!m_avahi)
            GTEST_SKIP() << "No Avahi daemon of our own: " << whyNot;
        // The host's threads, started from here, listen inside the namespace too.
        m_avahi->enter();
    }

    std::unique_ptr<test::AvahiNamespace> m_avahi;
};

}

TEST_F(RelayHostBonjour, TheServiceCarriesVersionIdAndPinAndALongNameCutTo63Bytes)
{
    HostWorld world([](RelayHost::Configuration& configuration) { configuration.advertise = true; });
    world.setMacName(std::string(80, 'M'));
    auto port = world.host->start(world.names);

    auto seen = m_avahi->waitFor(kType, std::string(63, 'M'));
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->port, port);
    EXPECT_EQ(seen->text,
        (std::vector<std::string> {
            "v=1", "id=mac-1", "pin=" + world.host->identity()->pins.publicKeyBase64 }));

    auto browser = m_avahi->browse(kType);
    world.setMacName("Renamed Mac");
    world.host->updateAdvertisement();
    ASSERT_TRUE(browser.waitFor("Renamed Mac"));
    world.host->stop();
    EXPECT_TRUE(browser.waitFor("Renamed Mac", '-'));
}

TEST_F(RelayHostBonjour, WithoutAdvertisingNothingIsPublishedEvenOnUpdate)
{
    HostWorld world;
    world.host->start(world.names);
    world.host->updateAdvertisement();
    platform::ServiceDiscovery sentinel;
    sentinel.publish({ .name = "Sentinel", .type = kType, .text = {}, .port = 1 });
    ASSERT_TRUE(m_avahi->waitFor(kType, "Sentinel"));
    auto listed = m_avahi->browseNow(kType);
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_EQ(listed[0].name, "Sentinel");
}
