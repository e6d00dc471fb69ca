// A phone-side mailbox client over the in-memory store on a hand-moved clock, the Mac's end of the
// same pairing to open what the client sends, and a look inside the client for what only it knows.
#pragma once

#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace movrane {

using Operation = InMemoryMailboxStore::Operation;

class MailboxClientPeer {
public:
    static MailboxChannelState state(const MailboxClient& client)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_state;
    }
    static std::size_t pendingNaps(const MailboxClient& client)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_sleepers.size();
    }
    static void watch(MailboxClient& client, const std::string& jobId, MailboxTime since)
    {
        std::lock_guard lock(client.m_lock);
        client.m_watches[jobId] = since;
    }
    static bool isWatched(const MailboxClient& client, const std::string& jobId)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_watches.contains(jobId);
    }
};

// Forwards to the in-memory store and keeps the subscriptions each save was given, in their order.
class SubscriptionRecordingStore final : public MailboxStore {
public:
    explicit SubscriptionRecordingStore(std::shared_ptr<InMemoryMailboxStore> store)
        : m_store(std::move(store))
    {
    }
    std::vector<std::vector<std::string>> savedSubscriptionIDs() const
    {
        std::lock_guard lock(m_lock);
        return m_saved;
    }

    MailboxAccountState accountState() override { return m_store->accountState(); }
    std::string userRecordName() override { return m_store->userRecordName(); }
    void ensureZone(const std::string& zone) override { m_store->ensureZone(zone); }
    void deleteZone(const std::string& zone) override { m_store->deleteZone(zone); }
    void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) override
    {
        m_store->saveEnvelope(record, zone);
    }
    void savePresence(const MailboxPresenceRecord& record, const std::string& zone) override
    {
        m_store->savePresence(record, zone);
    }
    MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) override
    {
        return m_store->fetchChanges(zone, token);
    }
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override
    {
        return m_store->fetchAsset(recordName, zone);
    }
    void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) override
    {
        m_store->deleteEnvelopes(recordNames, zone);
    }
    void saveSubscriptions(
        const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) override
    {
        {
            std::lock_guard lock(m_lock);
            auto& ids = m_saved.emplace_back();
            for (const auto& spec : specs)
                ids.push_back(spec.id);
        }
        m_store->saveSubscriptions(specs, zone);
    }
    void deleteSubscriptions(const std::vector<std::string>& identifiers) override
    {
        m_store->deleteSubscriptions(identifiers);
    }

private:
    std::shared_ptr<InMemoryMailboxStore> m_store;
    mutable std::mutex m_lock;
    std::vector<std::vector<std::string>> m_saved;
};

// Holds every clock sleep that enters it until opened; counts how many are held. Waits end at a
// deadline, never by sleeping.
class SleepGate {
public:
    std::function<void(double)> hook()
    {
        return [this](double) {
            std::unique_lock lock(m_lock);
            ++m_entered;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
        };
    }
    bool waitForEntered(int count)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_entered >= count; });
    }
    void open()
    {
        std::lock_guard lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_entered = 0;
    bool m_open = false;
};

class MailboxClientTest : public ::testing::Test {
protected:
    std::shared_ptr<test::ManualMailboxClock> clock = std::make_shared<test::ManualMailboxClock>();
    std::shared_ptr<InMemoryMailboxStore> store = std::make_shared<InMemoryMailboxStore>(clock, 0);
    std::shared_ptr<InMemoryMailboxStateStorage> storage = std::make_shared<InMemoryMailboxStateStorage>();
    vellumar::test::TemporaryFolder temporary;
    MailboxIdentity macIdentity = MailboxIdentity::generate();
    MailboxIdentity deviceIdentity = MailboxIdentity::generate();
    MailboxPairing pairing = MailboxPairing::make(
        MailboxZoneName::make(), "mac-1", "ios-phone", macIdentity.publicKey(), deviceIdentity.publicKey());
    MailboxChannel mac { pairing, MailboxRole::mac, macIdentity };
    MailboxChannelState macState;

    MailboxClientConfiguration configuration() const
    {
        MailboxClientConfiguration settings;
        settings.temporaryDirectory = temporary.path();
        return settings;
    }

    std::unique_ptr<MailboxClient> makeClient(
        MailboxClientConfiguration settings, std::shared_ptr<MailboxStore> through = nullptr)
    {
        return std::make_unique<MailboxClient>(pairing, deviceIdentity,
            MailboxClient::Collaborators { through ? through : store, storage, clock, {} },
            std::move(settings));
    }
    std::unique_ptr<MailboxClient> makeClient() { return makeClient(configuration()); }

    std::string stateKey() const { return "mailbox.device." + pairing.zoneName; }

    // The one envelope stored in the zone, opened by the Mac.
    MailboxMessage openedByMac(const MailboxEnvelopeRecord& record)
    {
        return mac.open(record, clock->now(), macState);
    }
};

}
