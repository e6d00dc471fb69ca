// The computer and the phone as two processes on one cloud folder: the computer's driver built on the
// core, with the fake `claude` of tests/Reply/peers answering, and the phone's driver on the mailbox
// client. Pairing runs over the LAN first, with curl as the phone's HTTPS client.
#pragma once

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/CloudDatabase.h"
#include "tests/MailboxRoad/RoadDriver.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vellumar::test {

// An HTTPS answer read from curl's output, the status code on its last line.
struct LANAnswer {
    int status = 0;
    JSON body;
    std::string text;
};

class MailboxRoad : public ::testing::Test {
protected:
    static constexpr const char* kReplyText = "Hello from the Mac.";

    MailboxRoad();
    // The phone, then the computer; what both leave behind is checked by the tests that end them.
    ~MailboxRoad() override;

    // Starts the computer's driver on the folders of the last run, if any, and waits for it to listen.
    void startMac();
    // Starts the phone's driver; its waits for answers last at least `minimumTimeout` seconds.
    void startPhone(double minimumTimeout = 60);
    // The fake `claude` plays these steps, one per start (the last one repeats).
    void playClaude(const JSON& steps);
    // Pairs the phone over the LAN, registers its mailbox and sets the client up. Skips the test when
    // the computer does not answer mailbox registrations.
    void pairOverLAN();

    // curl with the pinned certificate against the computer's port, with the bearer token once paired.
    LANAnswer lan(const std::string& target, const std::optional<std::string>& body = std::nullopt) const;
    // One request through the mailbox, as the phone's driver answers it.
    JSON phoneSend(const std::string& method, const std::string& path,
        const std::optional<std::string>& body = std::nullopt, double timeout = 60);
    // Submits a job through the mailbox and answers its id.
    std::string submitJob(const std::string& message = "Say hello.");

    // How many times the computer started `claude`.
    int claudeStarts() const;
    std::shared_ptr<movrane::CloudKitMailboxStore> store() const;
    std::vector<platform::CloudQuerySubscription> subscriptions() const;
    // The envelopes in the pairing's zone now.
    std::vector<movrane::MailboxEnvelopeRecord> zoneEnvelopes() const;
    // No spool or asset file of the mailbox is left anywhere under the test's folder, and every file in
    // the channel-state and key folders is private to its owner.
    void expectNoLeftoversAndPrivateFiles() const;

    TemporaryFolder root;
    std::filesystem::path xdg = root / "xdg";
    std::filesystem::path home = root / "home";
    std::filesystem::path data = root / "data";
    std::filesystem::path fake = root / "fake";
    std::filesystem::path phoneState = root / "phone";
    std::filesystem::path entitlements = root / "entitlements.json";
    std::filesystem::path cloud = xdg / "Vellumar" / "cloud";

    std::unique_ptr<RoadDriver> mac;
    std::unique_ptr<RoadDriver> phone;
    int port = 0;
    std::string pin;
    std::string bearer;
    std::string deviceID;
    std::string zone;
};

}
