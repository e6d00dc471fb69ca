// vellumar-road-phone: the phone's end of the two-process mailbox tests, a mailbox client with its own
// identity, channel state and push socket on a cloud folder it shares with the computer.
//
//   vellumar-road-phone CLOUD-FOLDER STATE-FOLDER [MINIMUM-TIMEOUT-SECONDS]
//
// Commands (JSON lines, see DriverLines.h):
//   {"op": "offer"}                       -> {"offer": the mailbox pairing offer to post over the LAN}
//   {"op": "pair", "answer", "macId", "deviceId"}
//                                         -> {"pairing"} once the client is set up, or {"lanOnly": reason}
//   {"op": "send", "method", "path", "body"?, "timeout"?}
//                                         -> {"status", "body", "headers"} or {"error": the URL error}
//   {"op": "presence"}                    -> {"presence": {"macName", "appVersion"}} after one fetch
// Events: "committed" (an envelope's save returned, with its sealed bytes in Base64URL), "fetched" (an
// envelope a fetch brought, with its "to" and "notify"), "push" (a push for this phone woke the client).
#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "Platform/CloudPush.h"
#include "tests/MailboxRoad/drivers/DriverLines.h"
#include "tests/MovraneMailbox/ObservedMailboxStore.h"

#include <charconv>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace movrane;
using vellumar::JSON;
using namespace vellumar::road;

std::string textOf(const MailboxBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class Phone {
public:
    Phone(const std::filesystem::path& cloudFolder, std::filesystem::path stateFolder, double minimumTimeout)
        : m_cloud(std::make_shared<CloudKitMailboxStore>(std::string(MailboxProtocol::containerIdentifier),
            vellumar::platform::CloudDatabaseOptions { .folder = cloudFolder }))
        , m_store(std::make_shared<ObservedMailboxStore>(m_cloud))
        , m_stateFolder(std::move(stateFolder))
        , m_identity(MailboxIdentity::generate())
    {
        m_configuration.minimumTimeout = minimumTimeout;
        m_configuration.temporaryDirectory = m_stateFolder / "tmp";
        std::filesystem::create_directories(m_configuration.temporaryDirectory);
        // The sealed bytes go with the event, so that a test can put the same envelope back later.
        m_store->afterSave([](const MailboxEnvelopeRecord& record) {
            emitEvent("committed",
                { { "record", record.name }, { "to", record.to }, { "notify", JSON(rawValue(record.notify)) },
                    { "payload", record.payload ? MailboxBase64URL::encode(*record.payload) : "" } });
        });
        m_store->afterFetch([](MailboxChanges& page) {
            for (const auto& record : page.envelopes) {
                emitEvent("fetched",
                    { { "record", record.name }, { "to", record.to },
                        { "notify", JSON(rawValue(record.notify)) } });
            }
        });
    }

    ~Phone()
    {
        m_pushes.request_stop();
        if (m_pushes.joinable())
            m_pushes.join();
    }

    JSON::Object handle(const JSON& command)
    {
        auto op = textMember(command, "op");
        if (op == "offer")
            return offer();
        if (op == "pair")
            return pair(command);
        if (op == "send")
            return send(command);
        if (op == "presence")
            return presence();
        return { { "error", "unknown op" } };
    }

private:
    JSON::Object offer()
    {
        m_account = m_store->userRecordName();
        m_offer = MailboxPairingOffer {
            .v = 1,
            .deviceKey = m_identity.publicKey(),
            .account = MailboxAccountProof::make(m_account),
            .accountState = m_store->accountState(),
        };
        return { { "offer", m_offer->toJSON() } };
    }

    JSON::Object pair(const JSON& command)
    {
        const auto* answer = command.subscript("answer");
        if (!answer || !m_offer)
            return { { "error", "no answer to an offer" } };
        auto outcome = MailboxPairingRules::outcome(MailboxPairingAnswer::fromJSON(*answer), *m_offer,
            textMember(command, "macId"), textMember(command, "deviceId"), m_account);
        const auto* pairing = std::get_if<MailboxPairing>(&outcome.value);
        if (!pairing) {
            auto reason = std::get<std::optional<MailboxPairingAnswer::Reason>>(outcome.value);
            return { { "lanOnly", reason ? JSON(rawValue(*reason)) : JSON() } };
        }
        m_client = std::make_unique<MailboxClient>(*pairing, m_identity,
            MailboxClient::Collaborators { m_store, std::make_shared<FileMailboxStateStorage>(m_stateFolder),
                std::make_shared<SystemMailboxClock>(),
                [](const std::string& line) {
                    emitEvent("log", { { "line", line } });
                } },
            m_configuration);
        m_client->setUp();
        listenForPushes(pairing->zoneName);
        return { { "pairing", pairing->toJSON() } };
    }

    JSON::Object send(const JSON& command)
    {
        if (!m_client)
            return { { "error", "not paired" } };
        MailboxURLRequest request { "https://mac.local:48788" + textMember(command, "path"),
            textMember(command, "method"), {}, std::nullopt };
        if (const auto* body = command.subscript("body"); body && body->stringValue()) {
            request.headers.emplace_back("Content-Type", "application/json");
            request.body = MailboxBytes(body->stringValue()->begin(), body->stringValue()->end());
        }
        if (const auto* timeout = command.subscript("timeout"); timeout && timeout->numberValue())
            request.timeoutInterval = *timeout->numberValue();
        try {
            auto result = m_client->send(request);
            JSON::Object headers;
            for (const auto& [name, value] : result.response.headerFields)
                headers.emplace(name, value);
            return { { "status", result.response.status }, { "body", textOf(result.data) },
                { "headers", JSON(std::move(headers)) } };
        } catch (const URLError& failure) {
            return { { "error", failure.what() },
                { "underlying", failure.underlying() ? mailboxErrorLogText(failure.underlying()) : "" } };
        }
    }

    JSON::Object presence()
    {
        if (!m_client)
            return { { "error", "not paired" } };
        m_client->receive();
        auto seen = m_client->presence();
        if (!seen)
            return { { "presence", JSON() } };
        return { { "presence",
            JSON::object({ { "macName", JSON::optionalString(seen->macName) },
                { "appVersion", JSON::optionalString(seen->appVersion) } }) } };
    }

    // A push for one of this phone's subscriptions ends the client's naps, so a waiting request or job
    // poll fetches at once; without pushes the client would only poll on its schedule.
    void listenForPushes(const std::string& zone)
    {
        auto listener
            = std::shared_ptr<vellumar::platform::CloudPushListener>(m_cloud->container().listenForPushes());
        m_pushes = std::jthread([this, listener, prefix = "vl.dev." + zone + "."](std::stop_token stop) {
            while (!stop.stop_requested()) {
                auto push = listener->receive(std::chrono::milliseconds(100));
                auto payload = push ? JSON::decode(*push) : std::nullopt;
                const auto* query = payload ? payload->subscript("ck") : nullptr;
                query = query ? query->subscript("qry") : nullptr;
                if (!query || !textMember(*query, "sid").starts_with(prefix))
                    continue;
                m_client->wake();
                emitEvent("push", { { "record", textMember(*query, "rid") } });
            }
        });
    }

    std::shared_ptr<CloudKitMailboxStore> m_cloud;
    std::shared_ptr<ObservedMailboxStore> m_store;
    std::filesystem::path m_stateFolder;
    MailboxIdentity m_identity;
    MailboxClientConfiguration m_configuration;
    std::string m_account;
    // The last offer made, which the answer is read against.
    std::optional<MailboxPairingOffer> m_offer;
    std::unique_ptr<MailboxClient> m_client;
    // Last: it reads the client.
    std::jthread m_pushes;
};

}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: vellumar-road-phone CLOUD-FOLDER STATE-FOLDER [MINIMUM-TIMEOUT-SECONDS]\n";
        return 2;
    }
    double minimumTimeout = 60;
    if (argc > 3) {
        std::string_view text(argv[3]);
        std::from_chars(text.data(), text.data() + text.size(), minimumTimeout);
    }
    Phone phone(argv[1], argv[2], minimumTimeout);
    serveCommands([&](const JSON& command) { return phone.handle(command); });
    return 0;
}
