#include "VellumarMacCore/Mailbox/MacMailboxPush.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"
#include "Platform/CloudPush.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

const std::string kZone = "pair-ZZZZZZZZZZZZZZZZZZZZZZ";

// The push the cloud database sends when the subscription with `identifier` fires.
JSON pushFrom(const std::string& identifier)
{
    auto subscription
        = movrane::CloudKitMailboxMapping::subscription({ identifier, "mac", std::nullopt, {} }, kZone);
    return *JSON::decode(platform::cloudNotificationJSON("iCloud.com.zu.plimsor", subscription, "e-1"));
}

}

TEST(MacMailboxPush, OnlyTheMacsOwnSubscriptionsWakeTheMailbox)
{
    const struct {
        const char* name;
        std::string identifier;
        bool forTheMac;
    } cases[] = {
        { "the Mac's", "vl.mac." + kZone, true },
        { "a phone's", "vl.dev." + kZone + ".reply", false },
        { "another party's", "vl.macbook." + kZone, false },
        { "not a mailbox id", "other." + kZone, false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(isMailboxPush(pushFrom(testCase.identifier)), testCase.forTheMac);
    }
}

TEST(MacMailboxPush, APushThatIsNotTheCloudDatabasesIsNotTheMailboxs)
{
    for (const char* userInfo :
        { R"({"aps":{"content-available":1}})", R"({"ck":{"qry":{"sid":7}}})", "[1]" }) {
        SCOPED_TRACE(userInfo);
        EXPECT_FALSE(isMailboxPush(*JSON::decode(userInfo)));
    }
}
