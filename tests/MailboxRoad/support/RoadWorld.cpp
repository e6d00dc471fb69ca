#include "tests/MailboxRoad/support/RoadWorld.h"

#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/PrivateFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace vellumar::test {

namespace fs = std::filesystem;

namespace {

    constexpr const char* kSessionID = "2f0c7a1e-5b7d-4d8e-9a43-1c2b3d4e5f60";

    // What the fake `claude` prints for a run that answers `text`.
    JSON replyStep(const std::string& text)
    {
        return JSON::object({ { "stdout",
            JSON::array(
                { JSON::object({ { "type", "system" }, { "subtype", "init" }, { "session_id", kSessionID } }),
                    JSON::object({ { "type", "result" }, { "subtype", "success" }, { "is_error", false },
                        { "result", text }, { "session_id", kSessionID } }) }) } });
    }

    std::vector<std::string> prefixed(std::vector<std::string> prefix, std::vector<std::string> command)
    {
        prefix.insert(
            prefix.end(), std::make_move_iterator(command.begin()), std::make_move_iterator(command.end()));
        return prefix;
    }

    // The entitlements of an application that may use the mailbox's container and receive pushes.
    constexpr const char* kEntitlements = R"({
        "com.apple.application-identifier": "TEAM.com.zu.plimsor.mac",
        "com.apple.developer.aps-environment": "production",
        "com.apple.developer.icloud-services": ["CloudKit"],
        "com.apple.developer.icloud-container-identifiers": ["iCloud.com.zu.plimsor"]
    })";

}

RoadWorld::RoadWorld()
{
    for (const auto& folder : { xdg, home, data, fake, phoneState })
        fs::create_directories(folder);
    std::ofstream(entitlements) << kEntitlements;
    fs::copy_file(sourceDir() / "tests/Reply/peers/fake_claude.py", fake / "claude");
    fs::permissions(fake / "claude", fs::perms::owner_all);
    playClaude(JSON::array({ replyStep(kReplyText) }));
}

RoadWorld::~RoadWorld()
{
    phone.reset();
    mac.reset();
    if (m_held >= 0)
        ::close(m_held);
}

bool RoadWorld::launchMac()
{
    mac = std::make_unique<RoadDriver>(prefixed(macPrefix,
        { "env", "XDG_DATA_HOME=" + xdg.string(), "HOME=" + home.string(), VELLUMAR_ROAD_MAC,
            entitlements.string(), data.string(), (fake / "claude").string(), VELLUMAR_EXECUTABLE }));
    auto listening = mac->awaitEvent("listening");
    if (!listening)
        return false;
    port = static_cast<int>(listening->subscript("port")->intValue().value_or(0));
    pin = memberText(*listening, "pin");
    return true;
}

void RoadWorld::startPhone(double minimumTimeout)
{
    phone = std::make_unique<RoadDriver>(prefixed(phonePrefix,
        { VELLUMAR_ROAD_PHONE, phoneCloud.string(), phoneState.string(), std::to_string(minimumTimeout) }));
}

void RoadWorld::playClaude(const JSON& steps) { std::ofstream(fake / "steps.json") << steps.encoded(); }

void RoadWorld::holdClaude()
{
    auto step = replyStep(kReplyText);
    JSON::Object held = *step.objectValue();
    held.emplace("hang", true);
    playClaude(JSON::array({ JSON(std::move(held)) }));
    ::mkfifo((fake / "release").c_str(), 0600);
    ::mkfifo((fake / "hanging").c_str(), 0600);
    // Open before any start, so that a start announcing itself never waits for a reader.
    m_held = ::open((fake / "hanging").c_str(), O_RDONLY | O_NONBLOCK);
}

bool RoadWorld::awaitHeldClaude(double seconds) const
{
    pollfd announced { m_held, POLLIN, 0 };
    char line[16];
    return ::poll(&announced, 1, static_cast<int>(seconds * 1000)) == 1
        && ::read(m_held, line, sizeof line) > 0;
}

void RoadWorld::releaseClaude() const { std::ofstream(fake / "release") << "go\n"; }

std::string RoadWorld::jobBody(const std::string& message)
{
    return JSON::object({ { "conversationId", "ios-road" }, { "botId", "main" }, { "message", message } })
        .encoded();
}

void RoadWorld::putBack(const JSON& committed, const std::string& recordName) const
{
    auto payload = movrane::MailboxBase64URL::decode(memberText(committed, "payload"))
                       .value_or(movrane::MailboxBytes {});
    store()->saveEnvelope(movrane::MailboxEnvelopeRecord(recordName, "mac", movrane::MailboxNotify::none,
                              std::chrono::system_clock::now(), static_cast<std::int64_t>(payload.size()),
                              payload, std::nullopt),
        zone);
}

CurlAnswer RoadWorld::lan(const std::string& target, const std::optional<std::string>& body) const
{
    std::vector<std::string> argv { "curl", "-sS", "--http1.1", "--max-time", "60", "-k", "--pinnedpubkey",
        "sha256//" + pin, "-w", "\n%{http_code}",
        "https://" + macAddress + ":" + std::to_string(port) + target };
    if (!bearer.empty())
        argv.insert(argv.end(), { "-H", "Authorization: Bearer " + bearer });
    if (body)
        argv.insert(argv.end(), { "-H", "Content-Type: application/json", "--data", *body });
    return curlAnswerOf(runPeer(prefixed(phonePrefix, std::move(argv))));
}

std::optional<std::string> RoadWorld::pairPhone()
{
    auto code = mac->call({ { "op", "offer" } });
    if (memberText(code, "code").empty())
        return "no pairing code: " + code.encoded();
    auto paired = lan("/v1/pair",
        JSON::object({ { "code", memberText(code, "code") }, { "deviceName", "Road phone" } }).encoded());
    if (paired.status != 200)
        return "pairing: " + paired.text;
    bearer = memberText(paired.body, "token");

    auto offer = phone->call({ { "op", "offer" } });
    if (!offer.subscript("offer"))
        return "no offer: " + offer.encoded();
    auto registered
        = lan("/v1/mailbox/register", JSON::object({ { "mailbox", *offer.subscript("offer") } }).encoded());
    if (registered.status != 200 || !registered.body.subscript("mailbox"))
        return "registration: " + registered.text;
    deviceID = memberText(registered.body, "deviceId");

    auto pairing = phone->call({ { "op", "pair" }, { "answer", *registered.body.subscript("mailbox") },
        { "macId", memberText(code, "macId") }, { "deviceId", deviceID } });
    if (!pairing.subscript("pairing"))
        return "the phone's pairing: " + pairing.encoded() + " for " + registered.text;
    zone = memberText(*pairing.subscript("pairing"), "zoneName");
    return std::nullopt;
}

JSON RoadWorld::phoneSend(const std::string& method, const std::string& path,
    const std::optional<std::string>& body, double timeout)
{
    JSON::Object command { { "op", "send" }, { "method", method }, { "path", path },
        { "timeout", JSON::number(timeout) } };
    if (body)
        command.emplace("body", *body);
    return phone->call(std::move(command), timeout + 60);
}

int RoadWorld::claudeStarts() const
{
    int starts = 0;
    while (fs::exists(fake / ("call-" + std::to_string(starts) + ".json")))
        ++starts;
    return starts;
}

std::shared_ptr<movrane::CloudKitMailboxStore> RoadWorld::store() const
{
    return std::make_shared<movrane::CloudKitMailboxStore>(
        std::string(movrane::MailboxProtocol::containerIdentifier),
        platform::CloudDatabaseOptions { .folder = observedCloud });
}

std::vector<platform::CloudQuerySubscription> RoadWorld::subscriptions() const
{
    return store()->container().subscriptions();
}

std::vector<movrane::MailboxEnvelopeRecord> RoadWorld::zoneEnvelopes() const
{
    return store()->fetchChanges(zone, std::nullopt).envelopes;
}

std::vector<std::string> RoadWorld::leftoversAndOpenFiles() const
{
    std::vector<std::string> problems;
    for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
        auto name = entry.path().filename().string();
        for (std::string_view prefix :
            { "mailbox-out-", "mailbox-in-", "mailbox-asset-", ".incoming-mailbox-" }) {
            if (name.starts_with(prefix))
                problems.push_back("left: " + entry.path().string());
        }
        // Whichever store wrote it: a copy that never became its file.
        if (platform::targetOfTemporary(name))
            problems.push_back("temporary copy left: " + entry.path().string());
    }
    for (const auto& folder : { data / "mailbox", phoneState, xdg / "Vellumar" / "keychain" }) {
        std::error_code missing;
        for (const auto& entry : fs::directory_iterator(folder, missing)) {
            struct stat status { };
            if (entry.is_regular_file() && ::stat(entry.path().c_str(), &status) == 0
                && (status.st_mode & 07777) != 0600)
                problems.push_back("not 0600: " + entry.path().string());
        }
    }
    return problems;
}

std::string memberText(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : member ? member->encoded() : "";
}

bool becomes(const std::function<bool()>& holds, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}
