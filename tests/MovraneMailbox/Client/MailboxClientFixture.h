// A phone-side mailbox client over the in-memory store on a hand-moved clock, the Mac's end of the
// same pairing to open what the client sends, and a look inside the client for what only it knows.
#pragma once

#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"
#include "tests/MovraneMailbox/ObservedMailboxStore.h"
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
    // Who holds the fetch under way: the client, its thread and each caller waiting for it.
    static long fetchHolders(const MailboxClient& client)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_fetching ? client.m_fetching.use_count() : 0;
    }
    static bool isWatched(const MailboxClient& client, const std::string& jobId)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_watches.contains(jobId);
    }
    // Answers filed for requests and not yet taken.
    static std::size_t filedAnswers(const MailboxClient& client)
    {
        std::lock_guard lock(client.m_lock);
        return client.m_answers.size();
    }
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
            MailboxClient::Collaborators { through ? through : store, storage, clock,
                [this](const std::string& line) {
                    std::function<void(const std::string&)> hook;
                    {
                        std::lock_guard lock(logLock);
                        logLines.push_back(line);
                        hook = onLogLine;
                    }
                    if (hook)
                        hook(line);
                } },
            std::move(settings));
    }
    std::unique_ptr<MailboxClient> makeClient() { return makeClient(configuration()); }

    std::string stateKey() const { return "mailbox.device." + pairing.zoneName; }

    // Seconds since the clock's origin.
    double secondsNow() const
    {
        return std::chrono::duration<double>(clock->now() - clock->origin()).count();
    }
    // Every sleep moves the clock on by its length at once, so waits run through hours in no time.
    void letSleepsMoveTheClock()
    {
        clock->onSleep([this](double seconds) {
            if (seconds > 0)
                clock->setSeconds(secondsNow() + seconds);
        });
    }

    // The one envelope stored in the zone, opened by the Mac.
    MailboxMessage openedByMac(const MailboxEnvelopeRecord& record)
    {
        std::lock_guard lock(macLock);
        return mac.open(record, clock->now(), macState);
    }

    // Seals `content` from the Mac to the device and stores it, with `attachment` as its encrypted
    // asset when given; `statedSize` replaces the size the attachment key states.
    MailboxEnvelopeRecord sendFromMac(const MailboxContent& content,
        const std::optional<MailboxBytes>& attachment = std::nullopt,
        std::optional<std::int64_t> statedSize = std::nullopt)
    {
        MailboxChannel::SealOptions options;
        if (attachment) {
            auto file = temporary / ("mac-out-" + MailboxUUID::make());
            options.attachment = MailboxAttachmentCipher::encryptData(
                *attachment, file, MailboxAttachmentCipher::senderChunkSize);
            if (statedSize)
                options.attachment->size = *statedSize;
            options.assetFile = file;
        }
        std::optional<MailboxChannel::Sealed> sealed;
        {
            std::lock_guard lock(macLock);
            sealed.emplace(mac.seal(attachment ? replacingBody(content, {}) : content,
                MailboxMessageID::make(), MailboxRecordName::envelope(), options, clock->now(), macState));
        }
        store->saveEnvelope(sealed->record, pairing.zoneName);
        if (options.assetFile)
            std::filesystem::remove(*options.assetFile);
        return sealed->record;
    }

    // Answers every request or watch the client stores through `observed` with what `answer` makes
    // of it, sealed by the Mac; `answer` may return none to leave a message unanswered.
    using Answerer = std::function<std::optional<MailboxRelayResponse>(const MailboxMessage& request)>;
    void answerThrough(ObservedMailboxStore& observed, Answerer answer, bool asAttachment = false)
    {
        observed.afterSave(
            [this, answer = std::move(answer), asAttachment](const MailboxEnvelopeRecord& record) {
                if (record.to != MailboxPartyTag::mac)
                    return;
                auto request = openedByMac(record);
                auto response = answer(request);
                if (!response)
                    return;
                std::optional<MailboxBytes> attachment;
                if (asAttachment)
                    attachment = response->body;
                sendFromMac(MailboxResponseContent { request.id, *response }, attachment);
            });
    }

    std::vector<std::string> loggedLines()
    {
        std::lock_guard lock(logLock);
        return logLines;
    }

    std::mutex macLock;
    std::mutex logLock;
    std::vector<std::string> logLines;
    // Runs on the logging thread after each line is kept; set it before the client logs.
    std::function<void(const std::string&)> onLogLine;
};

}
