#include "VellumarMacCore/Mailbox/MacMailboxNotification.h"
#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <gtest/gtest.h>

using namespace vellumar;
using movrane::MailboxError;

TEST(MacMailboxStatus, ThePrimaryErrorIsTheOneTheUserCanActOnFirst)
{
    using Kind = MailboxError::Kind;
    const struct {
        const char* name;
        std::vector<MailboxError> errors;
        std::optional<Kind> primary;
    } cases[] = {
        { "none", {}, std::nullopt },
        { "only others", { MailboxError(Kind::zoneMissing), MailboxError::other(3) }, std::nullopt },
        { "network", { MailboxError::network(std::nullopt) }, Kind::network },
        { "busy over network", { MailboxError::network(1.0), MailboxError::busy(2.0) }, Kind::busy },
        { "setup over busy", { MailboxError::busy(std::nullopt), MailboxError::misconfigured(15) },
            Kind::misconfigured },
        { "quota over all", { MailboxError::misconfigured(15), MailboxError(Kind::quotaExceeded) },
            Kind::quotaExceeded },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MacMailboxStatus status;
        int zone = 0;
        for (const auto& error : testCase.errors)
            status.zoneErrors.emplace("pair-" + std::to_string(zone++), error);
        auto primary = status.primaryError();
        EXPECT_EQ(primary ? std::optional(primary->kind()) : std::nullopt, testCase.primary);
    }
}

TEST(MacMailboxStatus, APhoneTheMailboxDoesNotKnowIsOnTheLocalNetworkOnly)
{
    MacMailboxStatus status;
    status.deviceStates.emplace("d-1", DeviceMailboxState::On { .recent = true });
    EXPECT_EQ(status.state(PairedDevice { .id = "d-1" }),
        DeviceMailboxState::Value(DeviceMailboxState::On { true }));
    EXPECT_EQ(status.state(PairedDevice { .id = "d-2" }),
        DeviceMailboxState::Value(DeviceMailboxState::LanOnly {}));
}

TEST(MacMailboxNotification, OnlyThePushesOfTheMacsOwnSubscriptionCount)
{
    const std::string zone = movrane::MailboxZoneName::make();
    auto push = [](const std::string& id) {
        return R"({"aps":{"content-available":1},"ck":{"cid":"iCloud.com.zu.plimsor","qry":{"sid":")" + id
            + R"(","zid":"z","rid":"r","fo":1}}})";
    };
    const struct {
        const char* name;
        std::string userInfo;
        bool mailbox;
    } cases[] = {
        { "the Mac's subscription", push("vl.mac." + zone), true },
        { "a device's subscription", push("vl.dev." + zone + ".reply"), false },
        { "not a zone name", push("vl.mac.zone-1"), false },
        { "another subscription", push("other." + zone), false },
        { "no subscription id", R"({"ck":{"qry":{}}})", false },
        { "id of another type", R"({"ck":{"qry":{"sid":7}}})", false },
        { "not a cloud push", R"({"aps":{"alert":"hi"}})", false },
        { "not JSON", "vl.mac." + zone, false },
        { "oversized", push("vl.mac." + zone) + std::string(20'000, ' '), false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(isMailboxNotification(testCase.userInfo), testCase.mailbox);
    }
}
