// Which device a request through the mailbox comes from: only the one that holds that very pairing.
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/MailboxPairings.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(DeviceForMailbox, OnlyThePairingTheDeviceHoldsPasses)
{
    auto clock = std::chrono::system_clock::now();
    DeviceRegistry devices(std::make_shared<test::FakeDeviceStorage>(), [&] { return clock; });
    auto phone = devices.add("Phone").device.id;
    auto other = devices.add("Other").device.id;
    auto bare = devices.add("Bare").device.id;
    auto stored = test::storedMailboxPairing(devices, phone);
    auto copy = [&](auto change) {
        auto pairing = stored;
        change(pairing);
        return pairing;
    };
    // The phone's pairing, held by another device too, still names only the phone.
    devices.setMailbox(other, copy([&](auto& p) { p.deviceID = other; }), std::nullopt);

    const struct {
        const char* name;
        movrane::MailboxPairing pairing;
    } refused[] = {
        { "another zone", copy([](auto& p) { p.zoneName = movrane::MailboxZoneName::make(); }) },
        { "another device key", copy([](auto& p) { p.deviceKey = test::mailboxPairingFor("x").deviceKey; }) },
        { "another Mac key", copy([](auto& p) { p.macKey = test::mailboxPairingFor("x").macKey; }) },
        { "another Mac id", copy([](auto& p) { p.macID = "mac-2"; }) },
        { "a device without a pairing", copy([&](auto& p) { p.deviceID = bare; }) },
        { "no such device", copy([](auto& p) { p.deviceID = "d-0123456789abcdef"; }) },
    };
    auto pairedAt = clock;
    clock += std::chrono::hours(1);
    for (const auto& testCase : refused)
        EXPECT_EQ(devices.deviceForMailbox(testCase.pairing), std::nullopt) << testCase.name;
    EXPECT_EQ(devices.device(phone)->lastSeenAt.value_or(pairedAt), pairedAt);

    auto found = devices.deviceForMailbox(stored);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, phone);
    EXPECT_EQ(found->lastSeenAt, clock);
}
