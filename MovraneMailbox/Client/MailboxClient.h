// The phone's end of the iCloud mailbox, the peer of the Mac's mailbox server: it seals requests to the
// Mac into envelopes, moves large or file bodies into encrypted attachments, keeps the last known state
// of each job, and hands the Mac's events and presence to its listeners. Together with the in-memory
// store it lets the whole mailbox road run inside one process.
#pragma once

#include "MovraneMailbox/Client/MailboxClientConfiguration.h"
#include "MovraneMailbox/Client/MailboxClientEvents.h"
#include "MovraneMailbox/Protocol/MailboxStoreRetry.h"
#include "MovraneMailbox/Protocol/MailboxBackgroundTasks.h"
#include "MovraneMailbox/Protocol/MailboxChannel.h"
#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace movrane {

// Every operation is safe from any thread. One lock guards the client's state; it is never held
// while a store call, a sleep or a nap waits, so one caller's wait never holds up another's. A
// blocking operation ends early with MailboxCancelledError once its stop token is requested.
class MailboxClient {
public:
    using Log = std::function<void(const std::string& line)>;

    // What the client works with; the store, storage and clock must be safe from any thread.
    struct Collaborators {
        std::shared_ptr<MailboxStore> store;
        // Where the channel state lives between runs.
        std::shared_ptr<MailboxStateStorage> storage;
        std::shared_ptr<const MailboxClock> clock;
        // Receives the client's log lines; may be empty.
        Log log;
    };

    // The last known state of one job.
    struct JobEntry {
        std::int64_t version = 0;
        // The job reached a terminal status.
        bool finished = false;
        // The job's JSON object exactly as the Mac's job endpoint returned it.
        MailboxBytes body;
        friend bool operator==(const JobEntry&, const JobEntry&) = default;
    };

    struct Sent {
        std::string messageID;
        std::string recordName;
    };

    // Loads the channel state saved for the pairing (a fresh one when there is none or it does not
    // read). Throws MailboxKeyError invalidPrivateKey when the identity's public key is not the
    // pairing's device key. Starts no work.
    MailboxClient(MailboxPairing pairing, const MailboxIdentity& identity, Collaborators collaborators,
        MailboxClientConfiguration configuration = {});
    // Ends every event stream, stops the nap timers and waits for them and for background deletions.
    // No operation may still be running.
    ~MailboxClient();
    MailboxClient(const MailboxClient&) = delete;
    MailboxClient& operator=(const MailboxClient&) = delete;

    const MailboxPairing& pairing() const noexcept { return m_channel.pairing(); }
    // When the Mac's presence was last seen.
    std::optional<MailboxTime> lastSeen() const;
    std::optional<MailboxPresence> presence() const;
    // The last failure of a fetch.
    std::optional<MailboxError> lastError() const;

    // Makes the pairing's zone and this device's four subscriptions. Throws MailboxError after the
    // store retries; when the zone cannot be made no subscription is saved.
    void setUp(std::stop_token stop = {});
    // Deletes the subscriptions and the zone, then erases the saved channel state; the client's
    // state in memory stays. Throws MailboxError and then keeps what was not yet deleted.
    void tearDown(std::stop_token stop = {});
    MailboxAccountState accountState();

    std::optional<JobEntry> jobState(const std::string& jobId) const;
    // Keeps the newer state of a job: one whose version is not above the stored one is ignored,
    // unless it is the first finished one. A finished job is no longer watched.
    void recordJobState(const std::string& jobId, std::int64_t version, bool finished, MailboxBytes body);

    // Seals one message to the Mac and stores it with `notify`; answers its message id and record
    // name. A body file, or a body over 819,200 bytes, travels as an encrypted attachment (a body
    // file replaces the content's own body). The channel state is saved before the record is written,
    // so a sequence number is never used twice, even by a failed send. Throws the attachment cipher's
    // and the sealing's errors unchanged and store failures as MailboxError; no temporary file stays.
    Sent sendEnvelope(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
        MailboxNotify notify, std::stop_token stop = {});
    // Saves the record in the pairing's zone with the store retries. A record that already exists
    // counts as saved; after an encryption reset the zone is made again and the record saved anew.
    void write(const MailboxEnvelopeRecord& record, std::stop_token stop = {});

    // Waits up to `seconds` on the client's clock, until wake(), or until `stop` is requested,
    // whichever comes first. Never throws.
    void nap(double seconds, std::stop_token stop);
    // Ends every nap pending now; naps that start later wait as usual.
    void wake();
    // A new stream of the events and presences emitted from now on.
    MailboxClientEventStream events();
    // Hands a copy of the event to every open stream; never waits for a listener.
    void emit(const MailboxClientEvent& event);
    // Deletes the envelope in the background: one call, no retry, a failure ignored.
    void deleteInBackground(const std::string& recordName);

private:
    friend class MailboxClientPeer;

    template <typename Call> auto withStoreRetries(std::stop_token stop, Call&& call) -> decltype(call());
    std::vector<MailboxSubscriptionSpec> subscriptions() const;
    // Saves the record with the store retries; an existing record counts as saved.
    void saveEnvelope(const MailboxEnvelopeRecord& record, std::stop_token stop);
    // Stores the current channel state. States reach the storage in the order they were made, so an
    // older one never overwrites a newer one.
    void persistState();
    void endNap(std::uint64_t sleeper);

    const MailboxChannel m_channel;
    const std::shared_ptr<MailboxStore> m_store;
    const std::shared_ptr<MailboxStateStorage> m_storage;
    const std::shared_ptr<const MailboxClock> m_clock;
    const MailboxClientConfiguration m_configuration;
    const Log m_log;

    mutable std::mutex m_lock;
    MailboxChannelState m_state;
    std::map<std::string, JobEntry> m_jobs;
    // Per job id, when a foreground watch was last registered with the Mac.
    std::map<std::string, MailboxTime> m_watches;
    std::vector<std::shared_ptr<MailboxClientEventQueue>> m_streams;
    // The naps pending now, by sleeper number; the numbers only grow, so an ended nap's timer can
    // never end a later nap.
    std::set<std::uint64_t> m_sleepers;
    std::uint64_t m_lastSleeper = 0;
    std::condition_variable m_napEnded;
    std::optional<MailboxTime> m_lastSeen;
    std::optional<MailboxPresence> m_presence;
    std::optional<MailboxError> m_lastError;

    std::mutex m_persistLock;
    // Last, so that its threads are stopped and awaited while everything they touch is whole.
    MailboxBackgroundTasks m_tasks;
};

template <typename Call>
auto MailboxClient::withStoreRetries(std::stop_token stop, Call&& call) -> decltype(call())
{
    return MailboxStoreRetry::run(
        *m_clock, m_configuration.storeAttempts, std::move(stop), std::forward<Call>(call));
}

}
