#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"

#include <gtest/gtest.h>

namespace movrane {
namespace {

    const std::string kZone = "pair-" + std::string(21, 'a') + "_";

    TEST(MailboxSubscriptions, IdentifiersParseToTheirZoneWhateverTheDots)
    {
        struct Case {
            std::string identifier;
            std::optional<std::string> zone;
        };
        const Case cases[] = {
            { "vl.mac." + kZone, kZone },
            { "vl.dev." + kZone + ".approval", kZone },
            { "vl..mac." + kZone, kZone },
            { ".vl.mac." + kZone + ".", kZone },
            { "vl.mac", std::nullopt },
            { "VL.mac." + kZone, std::nullopt },
            { "vl.Mac." + kZone, std::nullopt },
            { "vl.phone." + kZone, std::nullopt },
            { "vl.mac.zone-" + std::string(22, 'a'), std::nullopt },
            { "vl.mac.pair-" + std::string(21, 'a'), std::nullopt },
            { "vl.mac.pair-" + std::string(23, 'a'), std::nullopt },
            { "vl.mac.pair-" + std::string(21, 'a') + "+", std::nullopt },
            { "vl.mac.pair-" + std::string(21, 'a') + "/", std::nullopt },
            { "vl.mac.pair-" + std::string(21, 'a') + "=", std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.identifier);
            EXPECT_EQ(MailboxSubscriptions::parse(c.identifier), c.zone);
        }
    }

    TEST(MailboxSubscriptions, EachEndAsksForItsOwnWakeUps)
    {
        auto key = MailboxIdentity::generate().publicKey();
        auto pairing = MailboxPairing::make(kZone, "mac", "ios-1", key, key);
        auto mac = MailboxSubscriptions::mac(pairing);
        ASSERT_EQ(mac.size(), 1u);
        EXPECT_EQ(mac[0], (MailboxSubscriptionSpec { "vl.mac." + kZone, "mac", std::nullopt, {} }));
        auto withoutSilent = MailboxSubscriptions::device(pairing, false);
        auto withSilent = MailboxSubscriptions::device(pairing, true);
        ASSERT_EQ(withoutSilent.size(), 3u);
        ASSERT_EQ(withSilent.size(), 4u);
        EXPECT_EQ(withSilent.back().id, "vl.dev." + kZone + ".silent");
        EXPECT_EQ(withSilent.back().delivery.kind, MailboxSubscriptionSpec::Delivery::Kind::silent);
        EXPECT_EQ(withoutSilent[1].delivery.titleKey, "movrane.mailbox.alert.approval.title");
        for (const auto& wanted : withSilent) {
            EXPECT_EQ(wanted.recipient, pairing.deviceTag());
            EXPECT_EQ(MailboxSubscriptions::parse(wanted.id), kZone);
        }
        auto none = mac[0];
        none.notify = MailboxNotify::none;
        EXPECT_NE(none, mac[0]);
    }

}
}
