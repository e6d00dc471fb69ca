#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include "MovraneMailbox/Protocol/MailboxKeys.h"

#include <gtest/gtest.h>

using namespace vellumar;
using movrane::MailboxAccountState;
using movrane::MailboxError;
using Kind = MailboxError::Kind;
using Reason = movrane::MailboxPairingAnswer::Reason;

namespace {

const std::string kZone = "pair-ZZZZZZZZZZZZZZZZZZZZZZ";

MacMailboxStatus serving() { return { .availability = MailboxAccountState::available, .running = true }; }

MailboxDeviceFacts pairedForTheMailbox()
{
    static const auto key = movrane::MailboxIdentity::generate().publicKey();
    return { .id = "d-0123456789abcdef",
        .mailbox = movrane::MailboxPairing::make(kZone, "mac", "ios-1", key, key) };
}

}

TEST(MacMailboxStatus, ThePrimaryErrorIsTheMostPressingKind)
{
    const struct {
        const char* name;
        std::map<std::string, MailboxError> errors;
        std::optional<MailboxError> primary;
    } cases[] = {
        { "busy over network", { { "a", MailboxError::network(3) }, { "b", MailboxError::busy(5) } },
            MailboxError::busy(5) },
        { "quota over misconfigured",
            { { "a", MailboxError(Kind::quotaExceeded) }, { "b", MailboxError::misconfigured(15) } },
            MailboxError(Kind::quotaExceeded) },
        { "misconfigured over busy",
            { { "a", MailboxError::busy(1) }, { "b", MailboxError::misconfigured(15) } },
            MailboxError::misconfigured(15) },
        { "only a missing zone", { { "a", MailboxError(Kind::zoneMissing) } }, std::nullopt },
        { "an account error", { { "a", MailboxError::account(MailboxAccountState::noAccount) } },
            std::nullopt },
        { "none", {}, std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MacMailboxStatus status;
        status.zoneErrors = testCase.errors;
        EXPECT_EQ(status.primaryError(), testCase.primary);
    }
}

TEST(MacMailboxStatus, ADeviceWithoutAMailboxPairingIsLanOnlyWithAKnownReason)
{
    const struct {
        const char* name;
        std::optional<std::string> code;
        std::optional<Reason> reason;
    } cases[] = {
        { "known", "macNoICloud", Reason::macNoICloud },
        { "unknown", "MacNoICloud", std::nullopt },
        { "none", std::nullopt, std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MailboxDeviceFacts device { .id = "d-0123456789abcdef", .mailboxReasonCode = testCase.code };
        EXPECT_EQ(mailboxState(serving(), device),
            (DeviceMailboxState { DeviceMailboxState::LanOnly { testCase.reason } }));
    }
}

TEST(MacMailboxStatus, AMailboxDeviceIsPausedUnlessTheMacServesAUsableAccount)
{
    const struct {
        const char* name;
        MacMailboxStatus status;
    } cases[] = {
        { "no answer yet", { .running = true } },
        { "key unavailable", { .availability = MacMailboxStatus::KeyUnavailable {}, .running = true } },
        { "signed out", { .availability = MailboxAccountState::noAccount, .running = true } },
        { "not running", { .availability = MailboxAccountState::available, .running = false } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(mailboxState(testCase.status, pairedForTheMailbox()),
            (DeviceMailboxState { DeviceMailboxState::Paused {} }));
    }
}

TEST(MacMailboxStatus, TheZonesErrorDecidesWhatTheDeviceNeeds)
{
    using State = DeviceMailboxState;
    const struct {
        const char* name;
        MailboxError error;
        State state;
    } cases[] = {
        { "already exists", MailboxError(Kind::alreadyExists), { State::On { false } } },
        { "change token expired", MailboxError(Kind::changeTokenExpired), { State::On { false } } },
        { "cancelled", MailboxError(Kind::cancelled), { State::On { false } } },
        { "encrypted data reset", MailboxError(Kind::encryptedDataReset), { State::NeedsSameWiFi {} } },
        { "zone missing", MailboxError(Kind::zoneMissing), { State::NeedsSameWiFi {} } },
        { "too large", MailboxError(Kind::tooLarge), { State::Problem { MailboxError(Kind::tooLarge) } } },
        { "busy", MailboxError::busy(4), { State::Problem { MailboxError::busy(4) } } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto status = serving();
        status.zoneErrors.emplace(kZone, testCase.error);
        status.zoneErrors.emplace("pair-YYYYYYYYYYYYYYYYYYYYYY", MailboxError(Kind::quotaExceeded));
        EXPECT_EQ(mailboxState(status, pairedForTheMailbox()), testCase.state);
    }
}

TEST(MacMailboxStatus, ADeviceInTheRecentListIsRecentlyOn)
{
    auto status = serving();
    status.recentDevices.emplace("d-0123456789abcdef", movrane::MailboxTime {});
    EXPECT_EQ(mailboxState(status, pairedForTheMailbox()),
        (DeviceMailboxState { DeviceMailboxState::On { true } }));
}
