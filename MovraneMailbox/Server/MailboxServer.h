// The Mac's end of the mailbox: it polls every paired zone on a timer (or at once on a push), opens the
// request envelopes addressed to the Mac, hands each to its handler within a limit of requests at once,
// seals the answers back to the device, publishes the Mac's presence, deletes old envelopes, and keeps
// the last store error of each zone for the status the user sees.
//
// Threads: one poll loop (start/stop), at most one fetch of all zones at a time on a thread of its own
// (a push meanwhile joins it), and request handling on a bounded pool. All state sits behind one lock
// that is never held while a callback, the log or the store runs; only the channel-state storage is
// written under it, so stored states follow the order of the states in memory.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannel.h"
#include "MovraneMailbox/Protocol/MailboxJobSnapshot.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxStoreRetry.h"
#include "MovraneMailbox/Server/MailboxServerConfiguration.h"
#include "MovraneMailbox/Server/MailboxTaskPool.h"

#include <atomic>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace movrane {

class MailboxServer {
public:
    // The current mailbox pairings of all paired devices; asked afresh by every pass.
    using PairingsProvider = std::function<std::vector<MailboxPairing>()>;
    // The presence to publish; none publishes nothing.
    using PresenceProvider = std::function<std::optional<MailboxPresence>()>;
    // Runs one request through the relay router. Called from several threads at once; what it throws
    // is answered as the router's 500 "internal".
    using RequestHandler = std::function<MailboxRelayResponse(const MailboxInboundRequest&)>;
    // Takes one log line; called from any thread.
    using Log = std::function<void(const std::string&)>;

    struct Dependencies {
        MailboxIdentity identity;
        std::shared_ptr<MailboxStore> store;
        std::shared_ptr<MailboxStateStorage> storage;
        PairingsProvider pairingsProvider;
        PresenceProvider presenceProvider;
        RequestHandler handler;
        std::shared_ptr<const MailboxClock> clock;
        MailboxServerConfiguration configuration;
        Log log;
    };

    explicit MailboxServer(Dependencies dependencies);
    // Stops the loop, cuts every wait short and waits for the loop, the fetch and the requests under
    // way; requests not yet begun are dropped unanswered.
    ~MailboxServer();
    MailboxServer(const MailboxServer&) = delete;
    MailboxServer& operator=(const MailboxServer&) = delete;

    // Starts the poll loop unless one runs.
    void start();
    // Ends the loop at its next check or sleep without waiting for it, and cancels every job watch; a
    // fetch under way runs to its end. `start` may follow.
    void stop();
    // Waits for the loops `stop` ended, so that what the server was given (the pairings' source, say)
    // may go once it returns. Not from a loop's own thread.
    void awaitStopped();
    bool isRunning() const;

    // One fetch of all zones, run on a thread of its own; a fetch under way is joined, not repeated.
    // The future is ready once that fetch has ended. Never fails.
    std::shared_future<void> fetchNow();

    // Makes the zone and the Mac's subscription in it, then clears the zone's error. Throws the
    // MailboxError of the step that gave up.
    void setUpZone(const MailboxPairing& pairing);
    // Cancels the zone's watches and removes its subscription, the zone itself and what the server keeps
    // of it, stored channel state included. Store failures are dropped; never throws.
    void forgetZone(const MailboxPairing& pairing);
    // Seals one event for the pairing's device and stores it. Throws MailboxKeyError invalidPrivateKey
    // when the pairing is not for this Mac's key, or what `send` throws.
    void sendEvent(const MailboxEvent& event, MailboxNotify notify, const MailboxPairing& pairing);
    // The event to every paired device, one after the other; each failure is a log line. Never throws.
    void broadcast(const MailboxEvent& event, MailboxNotify notify);
    // Writes the Mac's presence into every paired zone; failures become zone errors.
    void publishPresence();
    // Deletes the envelopes older than `cleanupAge` in every paired zone; failures become zone errors.
    void cleanUp();

    // Seals `content` for the channel's peer and stores it as one envelope. A body over 819,200 bytes,
    // or any `bodyFile` (which then stands for the body), travels as an encrypted attachment. Throws the
    // encryption's or sealing's error, the store's MailboxError once the retries give up (a record that
    // already exists counts as stored), or MailboxCancelledError. The sequence number it used stays
    // used either way.
    void send(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
        const MailboxChannel& channel, MailboxNotify notify);
    // The channel of a pairing made with this Mac's key; none, with a log line, for any other key.
    std::optional<MailboxChannel> channel(const MailboxPairing& pairing);
    // Records the store error as the zone's, logs it, and for `busy` pauses polling until its
    // retry-after (`idlePollInterval` without one) unless a longer pause holds.
    void noteZoneError(const std::exception_ptr& error, const std::string& zone);

    std::map<std::string, MailboxError> zoneErrors() const;
    // No polling before this time; none when never paused.
    std::optional<MailboxTime> pausedUntil() const;
    // When an envelope from a device was last opened; none before the first.
    std::optional<MailboxTime> lastRequest() const;
    // Requests handed to the handler and not yet answered by it.
    int inFlight() const;
    // Job watches registered and not yet ended.
    int activeWatchCount() const;

    // Whether a job-state write alerts the phone: `reply` once a job finishes other than canceled,
    // `approval` while it waits on an approval the phone was not yet told of.
    static MailboxNotify notifyKind(
        const MailboxJobSnapshot& snapshot, const std::set<std::string>& announced);

private:
    struct LoopTask {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    using Lock = std::unique_lock<std::mutex>;
    struct WatchKey {
        std::string zone;
        std::string jobID;
        friend auto operator<=>(const WatchKey&, const WatchKey&) = default;
    };
    struct Watch {
        // A loop acts on the entry only while this is its own registration's.
        std::string id;
        bool background = false;
        MailboxTime expiresAt;
        // The job version last written, or passed over by a background watch.
        std::int64_t version = 0;
        std::set<std::string> approvals;
        MailboxTime lastWrite;
        // Cancels the watch's loop.
        std::stop_source task;
    };
    // A job request's answer, and the job it describes when the answer is a usable status.
    struct JobAnswer {
        MailboxRelayResponse response;
        std::optional<MailboxJobSnapshot> snapshot;
    };

    // The loops that have finished, taken out of `loops` for joining outside the lock. Needs the lock.
    static std::list<LoopTask> takeFinished(std::list<LoopTask>& loops);
    void run(const std::stop_token& stop);
    // The body of the fetch thread: one pass, then the joiners are released.
    void runFetch(std::promise<void> done);
    std::optional<double> pausedFor(MailboxTime now);
    double pollSleepSeconds();

    template <typename Call> auto withRetries(const std::stop_token& stop, Call&& call);

    void setUpZone(const MailboxPairing& pairing, const std::stop_token& stop);
    void publishPresence(const std::stop_token& stop);
    void publishPresence(
        const MailboxPresence& presence, const MailboxPairing& pairing, const std::stop_token& stop);
    void cleanUp(const std::stop_token& stop);
    void cleanUpZone(const std::string& zone, MailboxTime cutOff, const std::stop_token& stop);

    void fetchAll(const std::stop_token& stop);
    void fetchZone(const MailboxChannel& channel, const std::stop_token& stop);
    // Keeps the zone's change token, in memory and stored.
    void storeChangeToken(const MailboxChannel& channel, const std::optional<MailboxBytes>& token);
    // False when an envelope could not be recorded as opened: the page must then be fetched again.
    bool process(const MailboxChanges& changes, const MailboxChannel& channel, const std::stop_token& stop);
    void dispatch(const MailboxMessage& message, const MailboxEnvelopeRecord& record,
        const MailboxChannel& channel, std::vector<std::string>& deletions);

    void handleRequest(const MailboxRelayRequest& request, const MailboxMessage& message,
        const std::optional<std::string>& envelopeName, const MailboxChannel& channel);
    void handleAdmitted(const MailboxRelayRequest& request, const MailboxMessage& message,
        const std::optional<std::string>& envelopeName, const MailboxChannel& channel,
        const std::stop_token& stop);
    // The decrypted attachment in a new temporary file; none, logged, when it could not be brought in.
    std::optional<std::filesystem::path> receiveAttachment(const MailboxAttachmentKey& key,
        const std::string& envelopeName, const std::string& zone, const std::stop_token& stop);
    void deleteEnvelope(const std::string& name, const std::string& zone, const std::stop_token& stop);
    // The handler's answer; what it throws becomes the router's 500 "internal".
    MailboxRelayResponse handle(const MailboxInboundRequest& request);
    void reply(const MailboxMessage& message, const MailboxRelayResponse& response,
        const MailboxChannel& channel, const std::stop_token& stop);
    void startWatch(const MailboxWatch& watch, const MailboxMessage& message, const MailboxChannel& channel,
        const std::stop_token& stop);
    // Needs the lock.
    void releaseWatchReservation(const std::string& zone);
    // Takes over the zone's reservation, and registers the watch and starts its loop unless the server
    // is closing or the job is watched already.
    void registerWatch(const WatchKey& key, bool background, const MailboxJobSnapshot& snapshot,
        const MailboxChannel& channel);
    void runWatch(const WatchKey& key, const std::string& id, const MailboxChannel& channel,
        const std::stop_token& stop);
    // Removes the entry only while it is still the registration `id`.
    void endWatch(const std::string& zone, const std::string& jobID, const std::string& id);
    // The entry while it is still registration `id`; null otherwise. Needs the lock.
    Watch* ownWatch(const WatchKey& key, const std::string& id);
    // Cancels and removes every watch whose zone `ends` says is over. Needs the lock.
    void cancelWatches(const std::function<bool(const std::string& zone)>& ends);
    JobAnswer askJob(const MailboxChannel& channel, const std::string& jobID,
        std::optional<std::int64_t> since, std::optional<std::int64_t> wait, MailboxTime receivedAt);

    void send(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
        const MailboxChannel& channel, MailboxNotify notify, const std::stop_token& stop);
    // The channel's state, cached or stored. Needs the lock.
    MailboxChannelState& loadState(const MailboxChannel& channel);
    void noteZoneError(const MailboxError& error, const std::string& zone);
    void log(const std::string& line) const;

    const MailboxIdentity m_identity;
    const std::shared_ptr<MailboxStore> m_store;
    const std::shared_ptr<MailboxStateStorage> m_storage;
    const PairingsProvider m_pairingsProvider;
    const PresenceProvider m_presenceProvider;
    const RequestHandler m_handler;
    const std::shared_ptr<const MailboxClock> m_clock;
    const MailboxServerConfiguration m_configuration;
    const Log m_log;

    mutable std::mutex m_lock;
    std::map<std::string, MailboxChannel> m_channels;
    std::map<std::string, MailboxChannelState> m_states;
    std::optional<LoopTask> m_running;
    // Stopped loops that may still be finishing their pass.
    std::list<LoopTask> m_stopping;
    std::optional<std::shared_future<void>> m_fetching;
    std::jthread m_fetchThread;
    int m_inFlight = 0;
    std::optional<MailboxTime> m_lastRequest;
    std::optional<MailboxTime> m_pausedUntil;
    std::optional<MailboxTime> m_lastPresence;
    std::optional<MailboxTime> m_lastCleanup;
    std::map<std::string, MailboxError> m_zoneErrors;
    // How many times each zone was set up, so that a pass that began before a set-up ended does not
    // note what it found of the zone as it was.
    std::map<std::string, std::uint64_t> m_zoneSetUps;
    std::map<WatchKey, Watch> m_watches;
    // Watches of each zone between their admission and their registration, counted against the limit.
    std::map<std::string, int> m_watchReservations;
    // Watch loops, running or finished and not yet joined.
    std::list<LoopTask> m_watchLoops;
    bool m_closing = false;
    // Cut short at destruction only: the fetch and the calls made from outside are not the loop's.
    std::stop_source m_shutdown;
    MailboxTaskPool m_tasks;
};

template <typename Call> auto MailboxServer::withRetries(const std::stop_token& stop, Call&& call)
{
    return MailboxStoreRetry::run(*m_clock, m_configuration.storeAttempts, stop, std::forward<Call>(call));
}

}
