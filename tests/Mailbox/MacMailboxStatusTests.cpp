#include "VellumarMacCore/Mailbox/MacMailboxNotification.h"
#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"

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

TEST(MacMailboxStatus, APhonesStateFollowsItsPairingTheMacAndItsZone)
{
    using State = DeviceMailboxState;
    using Kind = MailboxError::Kind;
    const auto zone = movrane::MailboxZoneName::make();
    const auto key = movrane::MailboxIdentity::generate().publicKey();
    const auto paired = movrane::MailboxPairing::make(zone, "mac-1", "ios-1", key, key);
    const MacMailboxStatus::Availability available = movrane::MailboxAccountState::available;
    const struct {
        const char* name;
        bool hasPairing;
        std::optional<std::string> reasonCode;
        MacMailboxStatus::Availability availability;
        bool running;
        std::optional<MailboxError> zoneError;
        bool recent;
        State::Value state;
    } cases[] = {
        { "no pairing, no code", false, std::nullopt, available, true, std::nullopt, false,
            State::LanOnly {} },
        { "no pairing, a known code", false, "macNoICloud", available, true, std::nullopt, false,
            State::LanOnly { State::Reason::macNoICloud } },
        { "no pairing, an unknown code", false, "tooOld", available, true, std::nullopt, false,
            State::LanOnly {} },
        { "a code beside a pairing", true, "macNoICloud", available, true, std::nullopt, false,
            State::On { false } },
        { "no answer yet", true, std::nullopt, MacMailboxStatus::Checking {}, false, std::nullopt, false,
            State::Paused {} },
        { "no account", true, std::nullopt, movrane::MailboxAccountState::noAccount, false, std::nullopt,
            false, State::Paused {} },
        { "key unavailable", true, std::nullopt, MacMailboxStatus::KeyUnavailable {}, true, std::nullopt,
            false, State::Paused {} },
        { "available but stopped", true, std::nullopt, available, false, std::nullopt, true,
            State::Paused {} },
        { "on", true, std::nullopt, available, true, std::nullopt, false, State::On { false } },
        { "on and recent", true, std::nullopt, available, true, std::nullopt, true, State::On { true } },
        { "already exists", true, std::nullopt, available, true, MailboxError(Kind::alreadyExists), true,
            State::On { true } },
        { "change token expired", true, std::nullopt, available, true, MailboxError(Kind::changeTokenExpired),
            false, State::On { false } },
        { "cancelled", true, std::nullopt, available, true, MailboxError(Kind::cancelled), false,
            State::On { false } },
        { "zone missing", true, std::nullopt, available, true, MailboxError(Kind::zoneMissing), false,
            State::NeedsSameWiFi {} },
        { "encrypted data reset", true, std::nullopt, available, true, MailboxError(Kind::encryptedDataReset),
            true, State::NeedsSameWiFi {} },
        { "too large", true, std::nullopt, available, true, MailboxError(Kind::tooLarge), false,
            State::Problem { MailboxError(Kind::tooLarge) } },
        { "quota", true, std::nullopt, available, true, MailboxError(Kind::quotaExceeded), false,
            State::Problem { MailboxError(Kind::quotaExceeded) } },
        { "network", true, std::nullopt, available, true, MailboxError::network(3.0), false,
            State::Problem { MailboxError::network(3.0) } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        PairedDevice device { .id = "d-1", .mailboxReasonCode = testCase.reasonCode };
        if (testCase.hasPairing)
            device.mailbox = paired;
        MacMailboxStatus status;
        status.availability = testCase.availability;
        status.running = testCase.running;
        if (testCase.zoneError)
            status.zoneErrors.emplace(zone, *testCase.zoneError);
        // Another zone's error never touches this phone.
        status.zoneErrors.emplace(movrane::MailboxZoneName::make(), MailboxError(Kind::zoneMissing));
        if (testCase.recent)
            status.recentDevices.emplace("d-1", std::chrono::system_clock::now());
        status.recentDevices.emplace("d-2", std::chrono::system_clock::now());
        EXPECT_EQ(status.state(device), testCase.state);
    }
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
