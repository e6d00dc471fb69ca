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
    // Ends the loop at its next check or sleep without waiting for it; a fetch under way runs to its
    // end. `start` may follow.
    void stop();
    bool isRunning() const;

    // One fetch of all zones, run on a thread of its own; a fetch under way is joined, not repeated.
    // The future is ready once that fetch has ended. Never fails.
    std::shared_future<void> fetchNow();

    // Makes the zone and the Mac's subscription in it, then clears the zone's error. Throws the
    // MailboxError of the step that gave up.
    void setUpZone(const MailboxPairing& pairing);
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

private:
    struct LoopTask {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    using Lock = std::unique_lock<std::mutex>;

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
    void reply(const MailboxMessage& message, const MailboxRelayResponse& response,
        const MailboxChannel& channel, const std::stop_token& stop);
    void startWatch(const MailboxWatch& watch, const MailboxMessage& message, const MailboxChannel& channel,
        const std::stop_token& stop);

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
