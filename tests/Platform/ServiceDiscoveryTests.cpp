#include "Platform/ServiceDiscovery.h"

#include "tests/support/AvahiNamespace.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vellumar::platform;
using namespace vellumar::test;

namespace {

constexpr const char* kType = "_vellumar-test._tcp";

class ServiceDiscoveryWithDaemon : public testing::Test {
protected:
    void SetUp() override
    {
        std::string whyNot;
        m_avahi = AvahiNamespace::start(whyNot);
        if (!m_avahi)
            GTEST_SKIP() << "No Avahi daemon of our own: " << whyNot;
        m_avahi->enter();
    }

    std::unique_ptr<AvahiNamespace> m_avahi;
};

TEST_F(ServiceDiscoveryWithDaemon, BrowserSeesNamePortAndTextInOrder)
{
    ServiceDiscovery discovery;
    discovery.publish({ .name = "Studio Mac; \"quoted\"",
        .type = kType,
        .text = { { "v", "1" }, { "id", "mac-1" }, { "pin", "a/b+c=" } },
        .port = 48788 });

    auto seen = m_avahi->waitFor(kType, "Studio Mac; \"quoted\"");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->port, 48788);
    EXPECT_EQ(seen->text, (std::vector<std::string> { "v=1", "id=mac-1", "pin=a/b+c=" }));
}

TEST_F(ServiceDiscoveryWithDaemon, PublishReplacesTheEarlierServiceAndWithdrawRemovesIt)
{
    auto browser = m_avahi->browse(kType);
    ServiceDiscovery discovery;
    discovery.publish({ .name = "First", .type = kType, .text = { { "v", "1" } }, .port = 1000 });
    ASSERT_TRUE(browser.waitFor("First"));

    discovery.publish({ .name = "Second", .type = kType, .text = { { "v", "2" } }, .port = 2000 });
    auto second = browser.waitFor("Second");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->port, 2000);
    EXPECT_EQ(second->text, std::vector<std::string> { "v=2" });
    EXPECT_TRUE(browser.waitFor("First", '-'));

    discovery.withdraw();
    EXPECT_TRUE(browser.waitFor("Second", '-'));
    discovery.publish({ .name = "Third", .type = kType, .text = {}, .port = 3000 });
    EXPECT_TRUE(browser.waitFor("Third"));
}

TEST_F(ServiceDiscoveryWithDaemon, NameTakenOnTheLinkGetsTheNextAlternative)
{
    ServiceDiscovery first;
    ServiceDiscovery second;
    first.publish({ .name = "Mac", .type = kType, .text = {}, .port = 1000 });
    ASSERT_TRUE(m_avahi->waitFor(kType, "Mac"));
    second.publish({ .name = "Mac", .type = kType, .text = {}, .port = 2000 });

    auto alternative = m_avahi->waitFor(kType, "Mac #2");
    ASSERT_TRUE(alternative);
    EXPECT_EQ(alternative->port, 2000);
}

TEST(ServiceDiscovery, WithoutADaemonLogsOneLineAndCallerGoesOn)
{
    // A bus that does not exist: this test process sees no daemon, whatever else runs on the machine.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vellumar-test-bus", 1);
    CapturedLog log;
    {
        ServiceDiscovery discovery;
        discovery.publish({ .name = "Mac", .type = kType, .text = {}, .port = 1000 });
        discovery.publish({ .name = "Mac 2", .type = kType, .text = {}, .port = 1000 });
        discovery.withdraw();
        auto lines = log.waitForLines(1);
        ASSERT_EQ(lines.size(), 1U);
        EXPECT_NE(lines[0].find("Avahi daemon"), std::string::npos) << lines[0];
    }
    EXPECT_EQ(log.lines().size(), 1U);
}

}
