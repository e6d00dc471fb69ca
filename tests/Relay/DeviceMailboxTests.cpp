// A paired phone's mailbox pairing and refusal reason: how they are stored, read back (also from lists
// written before phones had them) and changed through the registry.
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

using namespace vellumar;
using Reason = movrane::MailboxPairingAnswer::Reason;

namespace {

movrane::MailboxPairing pairingFor(const std::string& deviceID)
{
    return movrane::MailboxPairing::make(movrane::MailboxZoneName::make(), "mac-1", deviceID,
        movrane::MailboxIdentity::generate().publicKey(), movrane::MailboxIdentity::generate().publicKey());
}

PairedDevice phone(std::string id)
{
    return { .id = std::move(id), .name = "Phone", .pairedAt = test::ManualClock().now, .tokenHash = "00" };
}

}

TEST(PairedDevices, TheMailboxMembersReadBackAndWhatCannotBeReadLeavesThePhoneOnTheLocalNetwork)
{
    const auto pairing = pairingFor("ios-1");
    const std::string stored = pairing.toJSON().encoded();
    const std::string head = R"({"id":"d-1","name":"Phone","pairedAt":1.5,"tokenHash":"00")";
    const struct {
        const char* name;
        std::string members;
        std::optional<movrane::MailboxPairing> mailbox;
        std::optional<std::string> code;
        std::optional<Reason> reason;
    } cases[] = {
        { "written before phones had a mailbox", "", std::nullopt, std::nullopt, std::nullopt },
        { "both null", R"(,"mailbox":null,"mailboxReasonCode":null)", std::nullopt, std::nullopt,
            std::nullopt },
        { "a pairing", R"(,"mailbox":)" + stored, pairing, std::nullopt, std::nullopt },
        { "a known reason", R"(,"mailboxReasonCode":"deviceNoICloud")", std::nullopt, "deviceNoICloud",
            Reason::deviceNoICloud },
        { "an unknown reason", R"(,"mailboxReasonCode":"later")", std::nullopt, "later", std::nullopt },
        { "a reason that is no text", R"(,"mailboxReasonCode":7)", std::nullopt, std::nullopt, std::nullopt },
        { "a pairing that is no object", R"(,"mailbox":"zone")", std::nullopt, std::nullopt, std::nullopt },
        { "a pairing without its keys", R"(,"mailbox":{"zoneName":"z","macID":"m","deviceID":"d"})",
            std::nullopt, std::nullopt, std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto devices = PairedDevices::decoded("[" + head + testCase.members + "}]");
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0].id, "d-1");
        EXPECT_EQ(devices[0].mailbox, testCase.mailbox);
        EXPECT_EQ(devices[0].mailboxReasonCode, testCase.code);
        EXPECT_EQ(devices[0].mailboxReason(), testCase.reason);
    }
}

TEST(PairedDevices, APairingAndAReasonSurviveTheRoundTripAndAbsentOnesAreLeftOut)
{
    auto withPairing = phone("d-1");
    withPairing.mailbox = pairingFor("ios-1");
    auto refused = phone("d-2");
    refused.setMailboxReason(Reason::macICloudUnavailable);
    auto plain = phone("d-3");
    const std::vector devices { withPairing, refused, plain };

    auto encoded = PairedDevices::encoded(devices);
    EXPECT_EQ(PairedDevices::decoded(encoded), devices);
    auto json = JSON::decode(encoded);
    ASSERT_TRUE(json);
    const auto& array = *json->arrayValue();
    EXPECT_EQ(*array[1].subscript("mailboxReasonCode")->stringValue(), "macICloudUnavailable");
    EXPECT_EQ(array[2].subscript("mailbox"), nullptr);
    EXPECT_EQ(array[2].subscript("mailboxReasonCode"), nullptr);
}

TEST(DeviceRegistry, SetMailboxKeepsAReasonOnlyWithoutAPairingAndListsPairingsInDeviceOrder)
{
    auto storage
        = std::make_shared<test::FakeDeviceStorage>(std::vector { phone("d-1"), phone("d-2"), phone("d-3") });
    DeviceRegistry registry(storage, [] { return test::ManualClock().now; });
    int heard = 0;
    registry.observe([&](const DeviceRegistry::Snapshot&) { ++heard; });
    const auto first = pairingFor("ios-1");
    const auto third = pairingFor("ios-3");

    registry.setMailbox("d-3", third, Reason::differentAccount);
    registry.setMailbox("d-1", first, std::nullopt);
    registry.setMailbox("d-2", std::nullopt, Reason::unsupportedVersion);
    registry.setMailbox("d-none", first, std::nullopt);
    EXPECT_EQ(storage->saves, 3);
    EXPECT_EQ(heard, 1 + 3);
    EXPECT_EQ(registry.mailboxPairings(), (std::vector { first, third }));
    EXPECT_EQ(storage->stored[2].mailbox, third);
    EXPECT_EQ(storage->stored[2].mailboxReasonCode, std::nullopt);
    EXPECT_EQ(storage->stored[1].mailboxReasonCode, "unsupportedVersion");

    registry.setMailbox("d-1", std::nullopt, Reason::differentAccount);
    EXPECT_EQ(registry.mailboxPairings(), std::vector { third });
    EXPECT_EQ(registry.device("d-1")->mailboxReason(), Reason::differentAccount);
}

TEST(DeviceRegistry, FakeStorageFailingToSaveAMailboxPairingThrowsAndTheChangeStandsInMemory)
{
    auto storage = std::make_shared<test::FakeDeviceStorage>(std::vector { phone("d-1") });
    DeviceRegistry registry(storage, [] { return test::ManualClock().now; });
    storage->failSave = true;
    const auto pairing = pairingFor("ios-1");
    EXPECT_THROW(registry.setMailbox("d-1", pairing, std::nullopt), KeychainError);
    EXPECT_EQ(registry.mailboxPairings(), std::vector { pairing });
    EXPECT_EQ(storage->stored[0].mailbox, std::nullopt);
}
