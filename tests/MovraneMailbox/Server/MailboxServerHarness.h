// The mailbox server on a hand-moved clock over the in-memory store, with a phone that seals requests
// into its zone and opens the Mac's answers, a fake relay handler in place of the router (which needs
// the whole relay), and the store calls in the order they were made.
#pragma once

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxServer.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace movrane::test {

inline constexpr auto kDeadline = std::chrono::seconds(20);

// Lines written down from any thread, read back in order.
class LockedLines {
public:
    void add(std::string line)
    {
        std::lock_guard lock(m_lock);
        m_lines.push_back(std::move(line));
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(m_lock);
        return m_lines;
    }
    int count(std::string_view line) const
    {
        auto all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), line));
    }
    // A log sink that writes each line down.
    MailboxServer::Log sink()
    {
        return [this](const std::string& line) { add(line); };
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// Forwards to the in-memory store, writing down each call as "<operation> <zone>" in order, and lets
// a test change what a fetch returns.
class RecordingMailboxStore final : public MailboxStore {
public:
    explicit RecordingMailboxStore(std::shared_ptr<InMemoryMailboxStore> inner)
        : m_inner(std::move(inner))
    {
    }

    std::vector<std::string> calls() const { return m_calls.lines(); }
    int count(std::string_view call) const { return m_calls.count(call); }
    // The files fetchAsset handed out, which belong to the caller.
    std::vector<std::filesystem::path> assetFiles() const
    {
        std::lock_guard lock(m_lock);
        return m_assetFiles;
    }
    // Runs on every page a fetch returns, before the caller sees it.
    void alterFetches(std::function<void(MailboxChanges&)> change)
    {
        std::lock_guard lock(m_lock);
        m_alterFetch = std::move(change);
    }

    // Runs once when a fetch fails, before the caller sees the failure.
    void onceFetchFails(std::function<void()> hook)
    {
        std::lock_guard lock(m_lock);
        m_fetchFailed = std::move(hook);
    }

    MailboxAccountState accountState() override { return m_inner->accountState(); }
    std::string userRecordName() override { return m_inner->userRecordName(); }
    void ensureZone(const std::string& zone) override
    {
        note("ensureZone", zone);
        m_inner->ensureZone(zone);
    }
    void deleteZone(const std::string& zone) override
    {
        note("deleteZone", zone);
        m_inner->deleteZone(zone);
    }
    void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) override
    {
        note("saveEnvelope", zone);
        m_inner->saveEnvelope(record, zone);
    }
    void savePresence(const MailboxPresenceRecord& record, const std::string& zone) override
    {
        note("savePresence", zone);
        m_inner->savePresence(record, zone);
    }
    MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) override
    {
        note("fetchChanges", zone);
        // A server caught in a loop would otherwise hang the suite.
        if (count("fetchChanges " + zone) > 100)
            throw MailboxError(MailboxError::Kind::quotaExceeded);
        MailboxChanges changes;
        try {
            changes = m_inner->fetchChanges(zone, token);
        } catch (...) {
            std::function<void()> failed;
            {
                std::lock_guard lock(m_lock);
                failed = std::exchange(m_fetchFailed, {});
            }
            if (failed)
                failed();
            throw;
        }
        std::function<void(MailboxChanges&)> alter;
        {
            std::lock_guard lock(m_lock);
            alter = m_alterFetch;
        }
        if (alter)
            alter(changes);
        return changes;
    }
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override
    {
        note("fetchAsset", zone);
        auto file = m_inner->fetchAsset(recordName, zone);
        std::lock_guard lock(m_lock);
        m_assetFiles.push_back(file);
        return file;
    }
    void deleteEnvelopes(const std::vector<std::string>& names, const std::string& zone) override
    {
        note("deleteEnvelopes", zone);
        m_inner->deleteEnvelopes(names, zone);
    }
    void saveSubscriptions(
        const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) override
    {
        note("saveSubscriptions", zone);
        m_inner->saveSubscriptions(specs, zone);
    }
    void deleteSubscriptions(const std::vector<std::string>& ids) override
    {
        m_inner->deleteSubscriptions(ids);
    }

private:
    void note(std::string_view operation, const std::string& zone)
    {
        m_calls.add(std::string(operation) + " " + zone);
    }

    std::shared_ptr<InMemoryMailboxStore> m_inner;
    LockedLines m_calls;
    mutable std::mutex m_lock;
    std::vector<std::filesystem::path> m_assetFiles;
    std::function<void(MailboxChanges&)> m_alterFetch;
    std::function<void()> m_fetchFailed;
};

// State storage whose throwing saves fail while a test wants them to.
class FailingStateStorage final : public MailboxStateStorage {
public:
    void failSaves(int count)
    {
        std::lock_guard lock(m_lock);
        m_failures = count;
    }
    std::optional<MailboxBytes> load(std::string_view key) override { return m_inner.load(key); }
    void store(const std::optional<MailboxBytes>& bytes, std::string_view key) override
    {
        m_inner.store(bytes, key);
    }
    void save(const MailboxBytes& bytes, std::string_view key) override
    {
        {
            std::lock_guard lock(m_lock);
            if (m_failures > 0) {
                --m_failures;
                throw std::filesystem::filesystem_error(
                    "save", std::make_error_code(std::errc::no_space_on_device));
            }
        }
        m_inner.save(bytes, key);
    }

private:
    InMemoryMailboxStateStorage m_inner;
    std::mutex m_lock;
    int m_failures = 0;
};

// Stands in for the relay router: answers with `respond` (200 "ok" by default), remembers what it was
// given, and can hold its callers until released.
class FakeRelayHandler {
public:
    struct Call {
        MailboxInboundRequest request;
        // The upload as the handler saw it, and the file's permission bits.
        std::optional<std::string> bodyFileContent;
        std::filesystem::perms bodyFileMode = std::filesystem::perms::none;
    };

    std::function<MailboxRelayResponse(const MailboxInboundRequest&)> respond
        = [](const MailboxInboundRequest&) {
              return MailboxRelayResponse::make(200, { { "content-type", "text/plain" } }, bytes("ok"));
          };

    MailboxServer::RequestHandler handler()
    {
        return [this](const MailboxInboundRequest& request) {
            Call call { request, std::nullopt };
            if (request.bodyFile) {
                call.bodyFileContent = vellumar::test::readFile(*request.bodyFile);
                call.bodyFileMode = std::filesystem::status(*request.bodyFile).permissions();
            }
            std::unique_lock lock(m_lock);
            m_calls.push_back(call);
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return !m_holding; });
            auto answer = respond;
            lock.unlock();
            return answer(request);
        };
    }
    void hold()
    {
        std::lock_guard lock(m_lock);
        m_holding = true;
    }
    void release()
    {
        std::lock_guard lock(m_lock);
        m_holding = false;
        m_changed.notify_all();
    }
    bool waitForCalls(std::size_t count)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kDeadline, [&] { return m_calls.size() >= count; });
    }
    std::vector<Call> calls()
    {
        std::lock_guard lock(m_lock);
        return m_calls;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;
    bool m_holding = false;
};

// The device's end of one pairing, sealing into and reading from the shared store.
struct Phone {
    Phone(const MailboxIdentity& mac, std::shared_ptr<InMemoryMailboxStore> sharedStore,
        std::filesystem::path scratchFolder)
        : identity(MailboxIdentity::generate())
        , pairing(MailboxPairing::make(MailboxZoneName::make(), "mac-1", "ios-" + MailboxMessageID::make(),
              mac.publicKey(), identity.publicKey()))
        , channel(pairing, MailboxRole::device, identity)
        , store(std::move(sharedStore))
        , scratch(std::move(scratchFolder))
    {
        store->ensureZone(pairing.zoneName);
        // Every envelope for the phone is announced, whatever its kind.
        store->saveSubscriptions(
            { { "vl.dev." + pairing.zoneName, pairing.deviceTag(), std::nullopt, {} } }, pairing.zoneName);
    }

    const std::string& zone() const { return pairing.zoneName; }

    // Seals `content` at `now` and stores it; with `upload` the bytes travel as the attachment.
    MailboxChannel::Sealed send(const MailboxContent& content, MailboxTime now,
        std::optional<MailboxBytes> upload = std::nullopt, double lifetimeSeconds = 900)
    {
        MailboxChannel::SealOptions options { .lifetimeSeconds = lifetimeSeconds };
        if (upload) {
            options.assetFile = scratch / ("upload-" + MailboxUUID::make());
            options.attachment = MailboxAttachmentCipher::encryptData(
                *upload, *options.assetFile, MailboxAttachmentCipher::senderChunkSize);
        }
        auto sealed = channel.seal(
            content, MailboxMessageID::make(), MailboxRecordName::envelope(), options, now, state);
        store->saveEnvelope(sealed.record, zone());
        if (options.assetFile)
            std::filesystem::remove(*options.assetFile);
        return sealed;
    }

    MailboxChannel::Sealed request(
        std::string path, MailboxTime now, std::optional<MailboxBytes> upload = std::nullopt)
    {
        return send(MailboxRelayRequest::make("POST", std::move(path), std::nullopt, {}, bytes("body")), now,
            std::move(upload));
    }

    // Every envelope for the phone now in the zone, opened without the replay guard.
    std::vector<MailboxMessage> received(MailboxTime now) const
    {
        std::vector<MailboxMessage> messages;
        for (const auto& record : store->envelopes(zone())) {
            MailboxChannelState scratchState;
            if (record.to == pairing.deviceTag())
                messages.push_back(channel.open(record, now, scratchState, false));
        }
        return messages;
    }

    // The answers to requests, by the id of the request they answer.
    std::map<std::string, MailboxRelayResponse> responses(MailboxTime now) const
    {
        std::map<std::string, MailboxRelayResponse> answers;
        for (const auto& message : received(now)) {
            if (const auto* response = std::get_if<MailboxResponseContent>(&message.content))
                answers.emplace(response->replyTo, response->response);
        }
        return answers;
    }

    MailboxIdentity identity;
    MailboxPairing pairing;
    MailboxChannel channel;
    MailboxChannelState state;
    std::shared_ptr<InMemoryMailboxStore> store;
    std::filesystem::path scratch;
};

class MailboxServerTest : public ::testing::Test {
protected:
    MailboxServerTest()
    {
        memoryStore->onNotification(arrivals.receiver());
        configuration.temporaryDirectory = temporary.path() / "incoming";
    }
    // A test that stopped early must not leave the server waiting on a held handler.
    ~MailboxServerTest() override { relay.release(); }

    Phone& addPhone()
    {
        std::lock_guard lock(m_phonesLock);
        phones.push_back(std::make_unique<Phone>(mac, memoryStore, temporary.path()));
        return *phones.back();
    }

    MailboxServer& server()
    {
        if (!m_server) {
            m_server = std::make_unique<MailboxServer>(MailboxServer::Dependencies {
                .identity = mac,
                .store = store,
                .storage = storage,
                .pairingsProvider =
                    [this] {
                        if (beforePairings)
                            beforePairings();
                        return pairings();
                    },
                .presenceProvider = [this] { return presence; },
                .handler = relay.handler(),
                .clock = clock,
                .configuration = configuration,
                .log = log.sink(),
            });
        }
        return *m_server;
    }

    // Waits for the threads of the server; what it was doing is finished after this.
    void destroyServer() { m_server.reset(); }

    std::vector<MailboxPairing> pairings() const
    {
        std::lock_guard lock(m_phonesLock);
        std::vector<MailboxPairing> all;
        for (const auto& phone : phones)
            all.push_back(phone->pairing);
        return all;
    }

    void fetch() { server().fetchNow().wait(); }

    // Waits until `count` envelopes for any phone have been stored in all.
    bool waitForEnvelopes(std::size_t count) { return arrivals.waitForCount(count); }

    MailboxTime at(double seconds) const
    {
        return ManualMailboxClock::origin()
            + std::chrono::duration_cast<MailboxTime::duration>(std::chrono::duration<double>(seconds));
    }

    vellumar::test::TemporaryFolder temporary;
    std::shared_ptr<ManualMailboxClock> clock = std::make_shared<ManualMailboxClock>();
    // Before the store, whose listener calls it until the store is gone.
    NotificationInbox arrivals;
    std::shared_ptr<InMemoryMailboxStore> memoryStore = std::make_shared<InMemoryMailboxStore>(clock, 0);
    std::shared_ptr<RecordingMailboxStore> store = std::make_shared<RecordingMailboxStore>(memoryStore);
    std::shared_ptr<FailingStateStorage> storage = std::make_shared<FailingStateStorage>();
    MailboxIdentity mac = MailboxIdentity::generate();
    std::optional<MailboxPresence> presence = MailboxPresence { 1, 1, "1.0", "Studio" };
    // Runs each time the server asks for the pairings, on the asking thread.
    std::function<void()> beforePairings;
    MailboxServerConfiguration configuration;
    FakeRelayHandler relay;
    LockedLines log;
    std::vector<std::unique_ptr<Phone>> phones;

private:
    mutable std::mutex m_phonesLock;
    std::unique_ptr<MailboxServer> m_server;
};

}
