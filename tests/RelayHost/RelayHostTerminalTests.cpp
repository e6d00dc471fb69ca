// Terminals over the relay host, held open by python3-websockets phones until the Mac closes them.
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "tests/RelayHost/RelayHostFixture.h"
#include "tests/support/InteractivePeer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;
using test::HostWorld;

namespace {

class RelayHostTerminals : public testing::Test {
protected:
    RelayHostTerminals() { world.host->start(world.names); }

    // Phones of the device holding `count` terminals; each has its first message once this returns.
    std::unique_ptr<test::InteractivePeer> hold(const DeviceRegistry::Pairing& pairing, int count)
    {
        auto phones = std::make_unique<test::InteractivePeer>(std::vector<std::string> { "/usr/bin/python3",
            (test::sourceDir() / "tests/peers/terminal_holder.py").string(),
            "wss://127.0.0.1:" + std::to_string(*world.host->port()) + "/v1/terminal",
            (world.folder / "support/tls" / std::string(TLSIdentityStore::certificateFileName)).string(),
            pairing.token, std::to_string(count) });
        EXPECT_EQ(phones->readLine(), R"({"open": )" + std::to_string(count) + "}");
        return phones;
    }

    // The close codes and reasons the phones saw, once all are closed.
    static std::string closes(test::InteractivePeer& phones)
    {
        return phones.readLine().value_or("no closes");
    }

    static std::string closedWith(int count, int code, const std::string& reason)
    {
        std::string list;
        for (int index = 0; index < count; ++index) {
            list += std::string(index ? ", " : "") + R"({"code": )" + std::to_string(code)
                + R"(, "reason": ")" + reason + "\"}";
        }
        return R"({"closes": [)" + list + "]}";
    }

    // Whether all `count` phones ended by the stop: with 1001 and its reason, or with no close frame at
    // all where the listener closed the connection before the frame was out, which the stop also does.
    static bool endedByStop(const std::string& report, std::size_t count)
    {
        auto decoded = JSON::decode(report);
        const auto* closes = decoded ? decoded->subscript("closes") : nullptr;
        if (!closes || !closes->arrayValue() || closes->arrayValue()->size() != count)
            return false;
        return std::ranges::all_of(*closes->arrayValue(), [](const JSON& close) {
            return close.encoded() == R"({"code":1001,"reason":"Vellumar for Mac stopped."})"
                || close.encoded() == R"({"code":null,"reason":null})";
        });
    }

    // curl's head of a terminal request by the device.
    std::string terminalRequest(const DeviceRegistry::Pairing& pairing)
    {
        return world
            .curl("/v1/terminal",
                { "-i", "-H", "Authorization: Bearer " + pairing.token, "-H", "Connection: Upgrade", "-H",
                    "Upgrade: websocket", "-H", "Sec-WebSocket-Version: 13", "-H",
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==" })
            .output;
    }

    HostWorld world;
    DeviceRegistry::Pairing phone = world.host->devices().add("Phone");
    DeviceRegistry::Pairing tablet = world.host->devices().add("Tablet");
};

}

TEST_F(RelayHostTerminals, AFifthTerminalOfOneDeviceIsBusyForFiveSecondsWhileAnotherDeviceGetsOne)
{
    auto four = hold(phone, 4);
    auto fifth = terminalRequest(phone);
    EXPECT_NE(fifth.find("HTTP/1.1 429 "), std::string::npos) << fifth;
    EXPECT_NE(fifth.find("\r\nRetry-After: 5\r\n"), std::string::npos) << fifth;
    EXPECT_NE(fifth.find(R"("error":"busy")"), std::string::npos) << fifth;
    auto other = hold(tablet, 1);

    world.host->stop();
    auto fourEnded = closes(*four);
    EXPECT_TRUE(endedByStop(fourEnded, 4)) << fourEnded;
    auto otherEnded = closes(*other);
    EXPECT_TRUE(endedByStop(otherEnded, 1)) << otherEnded;
}

TEST_F(RelayHostTerminals, SwitchingTheTerminalOffClosesEveryTerminalAndRefusesNewOnes)
{
    auto phones = hold(phone, 2);
    auto tablets = hold(tablet, 1);
    world.host->setTerminalEnabled(false);
    EXPECT_EQ(closes(*phones), closedWith(2, 4000, "The terminal was turned off on the Mac."));
    EXPECT_EQ(closes(*tablets), closedWith(1, 4000, "The terminal was turned off on the Mac."));
    auto refused = terminalRequest(phone);
    EXPECT_NE(refused.find("HTTP/1.1 409 "), std::string::npos) << refused;
    EXPECT_NE(refused.find(R"("error":"terminal_off")"), std::string::npos) << refused;

    world.host->setTerminalEnabled(true);
    auto again = hold(phone, 1);
    // Turning it on when it is on closes nothing: the terminal is still open for the removal below.
    world.host->setTerminalEnabled(true);
    world.host->removeDevice(phone.device.id);
    EXPECT_EQ(closes(*again), closedWith(1, 4001, ""));
}

// The registry has already dropped the device when its save fails: its shells must go with it.
TEST_F(RelayHostTerminals, RemovingADeviceClosesItsTerminalsAlsoWhenItsSaveFails)
{
    auto phones = hold(phone, 2);
    auto tablets = hold(tablet, 1);
    world.storage->failSave = true;
    EXPECT_THROW(world.host->removeDevice(phone.device.id), KeychainError);
    EXPECT_EQ(closes(*phones), closedWith(2, 4001, ""));

    world.storage->failSave = false;
    world.host->stop();
    auto tabletsEnded = closes(*tablets);
    EXPECT_TRUE(endedByStop(tabletsEnded, 1)) << tabletsEnded;
}
