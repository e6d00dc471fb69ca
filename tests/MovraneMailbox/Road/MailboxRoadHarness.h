// The whole mailbox road in one process: the Mac's mailbox server with a fake relay handler in place of
// the router, and the phone's mailbox client, over one in-memory store on one clock that runs fast.
// The store's notification listeners play the pushes that wake the Mac; the phone has no push for
// answers (they are stored without a notification) and polls for them, as it does on a phone.
#pragma once

#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxServer.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/MovraneMailbox/ObservedMailboxStore.h"
#include "tests/MovraneMailbox/Road/MailboxRoadEnds.h"
#include "tests/MovraneMailbox/Road/ScaledMailboxClock.h"
#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace movrane::test {

class MailboxRoadTest : public ::testing::Test {
protected:
    // Five mailbox seconds pass in one real second.
    std::shared_ptr<ScaledMailboxClock> clock = std::make_shared<ScaledMailboxClock>(5);
    std::shared_ptr<InMemoryMailboxStore> store = std::make_shared<InMemoryMailboxStore>(clock, 0);
    // The phone's calls go through here, so a test can fail them without touching the Mac's.
    std::shared_ptr<ObservedMailboxStore> phoneStore = std::make_shared<ObservedMailboxStore>(store);
    vellumar::test::TemporaryFolder temporary;
    MailboxIdentity macIdentity = MailboxIdentity::generate();
    MailboxIdentity deviceIdentity = MailboxIdentity::generate();
    MailboxPairing pairing = MailboxPairing::make(
        MailboxZoneName::make(), "mac-1", "ios-phone", macIdentity.publicKey(), deviceIdentity.publicKey());
    LockedLines macLog;
    LockedLines phoneLog;
    // The relay behind the Mac's mailbox; set before the first request.
    std::function<MailboxRelayResponse(const MailboxInboundRequest&)> relay
        = [](const MailboxInboundRequest&) {
              return MailboxRelayResponse::make(
                  200, { { "content-type", "application/json" } }, bytes(R"({"ok":true})"));
          };
    std::unique_ptr<MailboxServer> server;
    std::unique_ptr<MailboxClient> client;

    void SetUp() override
    {
        auto macFolder = temporary / "mac";
        auto phoneFolder = temporary / "phone";
        std::filesystem::create_directories(macFolder);
        std::filesystem::create_directories(phoneFolder);
        server = makeRoadServer(macIdentity, pairing, { store, clock, macFolder, macLog.sink() },
            [this](const MailboxInboundRequest& request) { return relay(request); });
        client = makeRoadClient(deviceIdentity, pairing, { phoneStore, clock, phoneFolder, phoneLog.sink() });
        store->onNotification([pushes = m_pushes](const std::string& subscription) {
            std::lock_guard lock(pushes->lock);
            if (pushes->server && subscription.starts_with("vl.mac."))
                pushes->server->fetchNow();
        });
        m_pushes->server = server.get();
        server->start();
    }

    void TearDown() override
    {
        stopPushes();
        client.reset();
        server.reset();
    }

    // Pushes no longer reach the Mac, and its poll loop stops.
    void stopPushes()
    {
        {
            std::lock_guard lock(m_pushes->lock);
            m_pushes->server = nullptr;
        }
        if (server)
            server->stop();
    }

    // Both ends end, with every deletion they started.
    void endBothEnds()
    {
        stopPushes();
        client.reset();
        server.reset();
    }

    std::vector<MailboxEnvelopeRecord> zone() const { return store->envelopes(pairing.zoneName); }

    std::vector<MailboxEnvelopeRecord> savedFor(const std::string& recipient) const
    {
        std::vector<MailboxEnvelopeRecord> records;
        for (const auto& record : store->saved()) {
            if (record.to == recipient)
                records.push_back(record);
        }
        return records;
    }

    // Whether `holds` came true within twenty seconds; it is asked again after each short real pause,
    // for what the ends do in the background has no signal of its own.
    static bool becomes(const std::function<bool()>& holds)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!holds()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static MailboxRelayRequest health()
    {
        return MailboxRelayRequest::make("GET", "/v1/health", std::nullopt, {}, {});
    }

    static MailboxURLRequest urlRequest(std::string method, std::string target)
    {
        return { "https://mac.local:48788" + target, std::move(method), {}, std::nullopt };
    }

private:
    struct Pushes {
        std::mutex lock;
        MailboxServer* server = nullptr;
    };
    std::shared_ptr<Pushes> m_pushes = std::make_shared<Pushes>();
};

}
