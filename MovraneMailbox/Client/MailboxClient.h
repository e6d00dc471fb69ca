// The phone's end of the iCloud mailbox, the peer of the Mac's mailbox server: it turns URL requests,
// uploads and downloads into sealed request envelopes and waits for the Mac's answers, moves large or
// file bodies into encrypted attachments, follows jobs through watches the Mac keeps, and hands the
// Mac's events and presence to its listeners. Together with the in-memory
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
#include <utility>
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

    // What a URL-style call returns: the body and the HTTP response made for the request's URL.
    struct URLResult {
        MailboxBytes data;
        MailboxHTTPURLResponse response;
    };

    // The Mac's answer to one exchange, and whether its body went straight into the destination.
    struct Exchanged {
        MailboxRelayResponse response;
        bool wroteDestination = false;
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

    // Relayed URL requests. Every failure reaches the caller as urlError() makes it: a request the
    // mailbox cannot carry is URLError badURL (and nothing is stored), no answer in time is timedOut,
    // a network loss that outlasted the retries notConnectedToInternet, any other store failure
    // cannotConnectToHost; cancellation and attachment errors pass unchanged. An HTTP error status
    // from the Mac is an answer like any other. Each call waits the larger of the request's
    // timeoutInterval and minimumTimeout.
    //
    // A GET long-poll of one job ("/v1/jobs/<id>?since=N") is answered from the job watches instead
    // of being sent.
    URLResult send(const MailboxURLRequest& request, std::stop_token stop = {});
    // A file over 819,200 bytes travels as an encrypted attachment beside an empty body; a smaller
    // one inside the request. A file whose size cannot be read fails as cannotConnectToHost, a small
    // file that cannot be read with MailboxAttachmentError file.
    URLResult upload(
        const MailboxURLRequest& request, const std::filesystem::path& file, std::stop_token stop = {});
    // For a 2xx answer the body replaces `destination` whole (its folders are made) and the data is
    // empty; a failure to place it is MailboxAttachmentError file and leaves the old file. Any other
    // status leaves `destination` untouched and returns the Mac's body.
    URLResult download(const MailboxURLRequest& request, const std::filesystem::path& destination,
        std::stop_token stop = {});
    // Exchanges one relay request for the Mac's response; failures are thrown as they are.
    MailboxRelayResponse send(
        const MailboxRelayRequest& request, double timeoutSeconds, std::stop_token stop = {});

    // Registers a foreground watch of the job with the Mac and returns the Mac's answer. A 200 answer
    // holding this job's snapshot is recorded; any other answer records nothing. Throws what the
    // exchange throws.
    MailboxRelayResponse watchJob(
        const std::string& jobId, std::optional<std::int64_t> since, std::stop_token stop = {});
    // Hands the job to the Mac to watch while the phone is not polling; sends one message and waits
    // for no answer.
    void watchJobInBackground(
        const std::string& jobId, std::optional<std::int64_t> since, std::stop_token stop = {});
    // The job's state once one newer than `newerThan` (any, without it) is known, fetching on the poll
    // schedule meanwhile; none when `timeoutSeconds` pass first. Throws a fetch failure that is not
    // transient, or MailboxCancelledError.
    std::optional<JobEntry> waitForJobState(const std::string& jobId, std::optional<std::int64_t> newerThan,
        double timeoutSeconds, std::stop_token stop = {});
    // One fetch of the zone now; throws its MailboxError.
    void receive(std::stop_token stop = {});
    // The mailbox form of the job long-poll: the stored state when it is newer than `since` or
    // finished, else a wait of `waitSeconds` for one, renewing the Mac's watch when it is
    // watchRenewal old. A Mac that refuses the watch answers the poll.
    MailboxRelayResponse longPollJob(
        const std::string& jobId, std::int64_t since, std::int64_t waitSeconds, std::stop_token stop = {});

    // Sends `content` and waits for the Mac's response, at least minimumTimeout seconds. An answer
    // with an attachment is decrypted into `saveTo` when given and the status is 2xx, otherwise into
    // the body. Throws the send's errors unchanged; afterwards MailboxClientError on time-out,
    // MailboxCancelledError or MailboxError cancelled, a fetch's MailboxError that is not transient,
    // and the asset's or the cipher's errors; the request record is then deleted. Logs its outcome.
    Exchanged exchange(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
        double waitSeconds, const std::optional<std::filesystem::path>& saveTo, std::stop_token stop = {});
    // Runs one pass over the zone's changes, or joins the pass under way; answers its failure. The pass
    // runs on a thread of its own: a caller that stops waiting (cancelled) leaves it running for the
    // others.
    std::optional<MailboxError> fetch(std::stop_token stop = {});
    // Pages through the zone's changes since the saved token, handling each page and saving the token
    // after it. An expired token starts again from the beginning, at most storeAttempts times in one
    // pass; a page that says more is coming but gives no token ends the pass. Answers the failure that
    // ended the pass, which also becomes lastError(); never throws.
    std::optional<MailboxError> fetchChanges(std::stop_token stop = {});
    // Opens the page's envelopes addressed to this device: responses for waiting requests are filed,
    // job states recorded, events and presence emitted; wakes the naps, then deletes what it consumed
    // (everything but filed answers). Never fails.
    void handle(const MailboxChanges& changes, std::stop_token stop = {});

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

    // Bodies that came as attachments are decrypted into memory up to this size, larger than any a
    // sender may make.
    static constexpr std::int64_t maxReceivedAttachmentBytes = 67'108'864;
    static bool isSuccess(int status) { return status >= 200 && status <= 299; }

    // An answer fetched for a waiting request and not yet collected.
    struct Answer {
        MailboxMessage message;
        std::string recordName;
    };
    // One pass of fetchChanges, shared by everyone who asks for a fetch while it runs.
    struct FetchRun {
        std::optional<std::optional<MailboxError>> outcome;
    };

    template <typename Call> auto withStoreRetries(std::stop_token stop, Call&& call) -> decltype(call());
    std::vector<MailboxSubscriptionSpec> subscriptions() const;
    // Saves the record with the store retries; an existing record counts as saved.
    void saveEnvelope(const MailboxEnvelopeRecord& record, std::stop_token stop);
    // Stores the current channel state. States reach the storage in the order they were made, so an
    // older one never overwrites a newer one.
    void persistState();
    void endNap(std::uint64_t sleeper);
    MailboxTime deadlineAfter(double seconds) const;
    void finishFetch(const std::shared_ptr<FetchRun>& run, const std::optional<MailboxError>& outcome);
    // Fetches on the poll schedule, napping between, until `found` holds (true) or `deadline` passes
    // (false). A fetch failure that is not transient is thrown, but only after `found` was asked.
    bool pollUntil(MailboxTime deadline, std::stop_token stop, const std::function<bool()>& found);
    std::optional<Answer> takeAnswer(const std::string& requestID);
    Exchanged response(
        const Answer& answer, const std::optional<std::filesystem::path>& saveTo, std::stop_token stop);
    // The body of a job state or event: the inline one, or its attachment fetched and decrypted; none
    // when that fails.
    std::optional<MailboxBytes> body(const MailboxMessage& message, const MailboxBytes& inlineBody,
        const std::string& recordName, std::stop_token stop);
    void act(const MailboxMessage& message, const std::string& recordName, std::vector<std::string>& consumed,
        std::stop_token stop);
    void openPresence(const MailboxPresenceRecord& record, MailboxTime now);
    void recoverFromEncryptionReset(std::stop_token stop);
    // Maps what `call` returns or throws to what a URL-style call returns or throws.
    URLResult urlResult(const MailboxURLRequest& request,
        const std::function<std::pair<MailboxRelayResponse, MailboxBytes>()>& call);
    void log(const std::string& line) const;

    const MailboxChannel m_channel;
    const std::shared_ptr<MailboxStore> m_store;
    const std::shared_ptr<MailboxStateStorage> m_storage;
    const std::shared_ptr<const MailboxClock> m_clock;
    const MailboxClientConfiguration m_configuration;
    const Log m_log;

    mutable std::mutex m_lock;
    MailboxChannelState m_state;
    // Ids of request messages whose answers are still expected.
    std::set<std::string> m_awaiting;
    // Answers not yet collected, by the id of the request they answer.
    std::map<std::string, Answer> m_answers;
    std::shared_ptr<FetchRun> m_fetching;
    std::condition_variable_any m_fetchEnded;
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
