// The two ends of the mailbox road, each on the store it is given: the Mac's mailbox server, with a relay
// behind it, and the phone's client, made and set up for one pairing as the road tests need them.
#pragma once

#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Server/MailboxServer.h"

#include <filesystem>
#include <functional>
#include <memory>

namespace movrane::test {

// What one end works with.
struct MailboxRoadEnd {
    std::shared_ptr<MailboxStore> store;
    std::shared_ptr<const MailboxClock> clock;
    std::filesystem::path temporaryDirectory;
    std::function<void(const std::string&)> log;
};

// The Mac's server for the pairing, its zone set up, not yet started; `relay` answers its requests.
inline std::unique_ptr<MailboxServer> makeRoadServer(const MailboxIdentity& identity,
    const MailboxPairing& pairing, const MailboxRoadEnd& end, MailboxServer::RequestHandler relay)
{
    MailboxServerConfiguration settings;
    settings.temporaryDirectory = end.temporaryDirectory;
    auto server = std::make_unique<MailboxServer>(MailboxServer::Dependencies { identity, end.store,
        std::make_shared<InMemoryMailboxStateStorage>(), [pairing] { return std::vector { pairing }; },
        [] {
            return std::optional(MailboxPresence { 1, 1, "1.0", "Mac" });
        },
        std::move(relay), end.clock, settings, end.log });
    server->setUpZone(pairing);
    return server;
}

// The phone's client of the pairing, set up.
inline std::unique_ptr<MailboxClient> makeRoadClient(
    const MailboxIdentity& identity, const MailboxPairing& pairing, const MailboxRoadEnd& end)
{
    MailboxClientConfiguration settings;
    settings.temporaryDirectory = end.temporaryDirectory;
    auto client = std::make_unique<MailboxClient>(pairing, identity,
        MailboxClient::Collaborators {
            end.store, std::make_shared<InMemoryMailboxStateStorage>(), end.clock, end.log },
        settings);
    client->setUp();
    return client;
}

}
