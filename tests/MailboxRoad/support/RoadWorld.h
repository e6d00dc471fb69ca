// The computer and the phone as two processes on one cloud folder: the computer's driver built on the
// core, with the fake `claude` of tests/Reply/peers answering, and the phone's driver on the mailbox
// client. Pairing runs over the LAN first, with curl as the phone's HTTPS client. Shared by the road's
// tests and its benchmark, so it reports failures instead of asserting.
#pragma once

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "Platform/CloudDatabase.h"
#include "tests/MailboxRoad/support/RoadDriver.h"
#include "tests/support/CurlAnswer.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

class RoadWorld {
public:
    static constexpr const char* kReplyText = "Hello from the Mac.";

    RoadWorld();
    // The phone first, then the computer, both ended as kill -9 would when they still run.
    ~RoadWorld();
    RoadWorld(const RoadWorld&) = delete;
    RoadWorld& operator=(const RoadWorld&) = delete;

    // Starts the computer's driver on the folders of the last run, if any; false when it did not
    // start listening.
    bool launchMac();
    // Starts the phone's driver; its waits for answers last at least `minimumTimeout` seconds.
    void startPhone(double minimumTimeout = 60);
    // The fake `claude` plays these steps, one per start (the last one repeats).
    void playClaude(const JSON& steps);
    // Every start of the fake `claude` waits, before it answers, until releaseClaude().
    void holdClaude();
    // Whether a held start is waiting, within `seconds`.
    bool awaitHeldClaude(double seconds = 60) const;
    // Lets one held start answer; waits for it to be there.
    void releaseClaude() const;
    // Pairs the phone over the LAN, registers its mailbox and sets the phone's client up; what went
    // wrong, for a message, or none.
    std::optional<std::string> pairPhone();

    // curl with the pinned certificate against the computer's port, with the bearer token once paired.
    CurlAnswer lan(const std::string& target, const std::optional<std::string>& body = std::nullopt) const;
    // One request through the mailbox, as the phone's driver answers it.
    JSON phoneSend(const std::string& method, const std::string& path,
        const std::optional<std::string>& body = std::nullopt, double timeout = 60);

    // A job request's body in the world's conversation.
    static std::string jobBody(const std::string& message = "Say hello.");
    // Saves the sealed bytes of a "committed" event of the phone again, as an envelope for the computer
    // named `recordName`, from this process.
    void putBack(const JSON& committed, const std::string& recordName) const;

    // How many times the computer started `claude`.
    int claudeStarts() const;
    std::shared_ptr<movrane::CloudKitMailboxStore> store() const;
    std::vector<platform::CloudQuerySubscription> subscriptions() const;
    // The envelopes in the pairing's zone now.
    std::vector<movrane::MailboxEnvelopeRecord> zoneEnvelopes() const;
    // Spool and asset files of the mailbox and temporary copies of atomic writes left anywhere under
    // the run's folder, and files in the channel-state and key folders that are not private to their
    // owner.
    std::vector<std::string> leftoversAndOpenFiles() const;

    TemporaryFolder root;
    std::filesystem::path xdg = root / "xdg";
    std::filesystem::path home = root / "home";
    std::filesystem::path data = root / "data";
    std::filesystem::path fake = root / "fake";
    std::filesystem::path phoneState = root / "phone";
    std::filesystem::path entitlements = root / "entitlements.json";
    std::filesystem::path cloud = xdg / "Vellumar" / "cloud";
    // Where the ends may live apart: the command prefixes their processes (and the phone's curl) run
    // under, the computer's address as the phone reaches it, the phone's own cloud folder, and the one
    // this process looks at the store through. By default all on this machine and one cloud folder.
    std::vector<std::string> macPrefix;
    std::vector<std::string> phonePrefix;
    std::string macAddress = "127.0.0.1";
    std::filesystem::path phoneCloud = cloud;
    std::filesystem::path observedCloud = cloud;

    std::unique_ptr<RoadDriver> mac;
    std::unique_ptr<RoadDriver> phone;
    int port = 0;
    std::string pin;
    std::string bearer;
    std::string deviceID;
    std::string zone;

private:
    // The read end of the FIFO a held start announces itself on.
    int m_held = -1;
};

// The text of a member, its JSON for any other value, or empty when absent.
std::string memberText(const JSON& object, std::string_view key);

// Whether `holds` came true within `seconds`; asked again after each short pause, for what the other
// processes change (the store, their answers) gives this one no signal.
bool becomes(const std::function<bool()>& holds, double seconds = 60);

}
