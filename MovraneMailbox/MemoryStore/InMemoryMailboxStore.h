// A mailbox store held entirely in memory, with the failures of the real service at a harness's
// command: queued errors, latency, an unavailable account, a byte quota, a rate limit, expired change
// tokens, lost zones and altered records. It lets the Mac's mailbox server and the phone-side client
// meet inside one process; the product itself never makes one.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBackgroundTasks.h"
#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movrane {

// Every operation and control is safe from any thread; one lock guards the whole store, and it is
// never held while the latency sleep runs or a listener is called.
class InMemoryMailboxStore final : public MailboxStore {
public:
    // The store's operations, in the order of the MailboxStore interface.
    enum class Operation {
        accountState,
        userRecordName,
        ensureZone,
        deleteZone,
        saveEnvelope,
        savePresence,
        fetchChanges,
        fetchAsset,
        deleteEnvelopes,
        saveSubscriptions,
        deleteSubscriptions,
    };
    static constexpr std::array<Operation, 11> allOperations { Operation::accountState,
        Operation::userRecordName, Operation::ensureZone, Operation::deleteZone, Operation::saveEnvelope,
        Operation::savePresence, Operation::fetchChanges, Operation::fetchAsset, Operation::deleteEnvelopes,
        Operation::saveSubscriptions, Operation::deleteSubscriptions };
    // The case whose name is `raw`, exactly; none for any other text.
    static std::optional<Operation> operation(std::string_view raw);

    // A sliding window: at most `limit` admitted calls in any `windowSeconds`.
    struct RateLimit {
        int limit = 0;
        double windowSeconds = 0;
        double retryAfterSeconds = 0;
        friend bool operator==(const RateLimit&, const RateLimit&) = default;
    };

    // Called with the id of each notified subscription, on a thread of its own; it may call the store.
    using Listener = std::function<void(const std::string& subscriptionID)>;

    static constexpr std::string_view defaultRecordName = "_mailbox-test-user";
    static constexpr int defaultFetchLimit = 400;
    static constexpr std::size_t maxPayloadBytes = 1'000'000;

    // `clock` gives the rate limit its time and the latency its sleep; a latency of 0 or less never sleeps.
    InMemoryMailboxStore(std::shared_ptr<const MailboxClock> clock, double latencySeconds);
    // Waits for the listener calls already started; notifications that would start later are dropped.
    ~InMemoryMailboxStore() override;
    InMemoryMailboxStore(const InMemoryMailboxStore&) = delete;
    InMemoryMailboxStore& operator=(const InMemoryMailboxStore&) = delete;

    double latency() const;
    MailboxAccountState account() const;
    std::string recordName() const;
    std::optional<std::int64_t> quotaBytes() const;
    int fetchLimit() const;
    std::optional<RateLimit> rateLimit() const;
    std::map<Operation, int> counts() const;
    // Subscription ids in the order they were notified.
    std::vector<std::string> notifications() const;
    // Every envelope saveEnvelope stored, in order and in its stored form.
    std::vector<MailboxEnvelopeRecord> saved() const;

    // Controls. None is counted, delayed or failed by admission, and none throws.
    void setAccount(MailboxAccountState state);
    void setRecordName(std::string name);
    void setLatency(double seconds);
    // None removes the quota.
    void setQuota(std::optional<std::int64_t> bytes);
    // A negative limit acts as 0: a fetch then consumes nothing.
    void setFetchLimit(int limit);
    // Calls already recorded in the window stay recorded.
    void setRateLimit(int limit, double windowSeconds, double retryAfterSeconds);
    void clearRateLimit();
    // Queues `count` copies of `error` for the operation's next calls, behind those already queued; a
    // count of 0 or less queues nothing.
    void fail(Operation operation, const MailboxError& error, int count);
    // Listeners are never removed.
    void onNotification(Listener listener);
    // Every token issued so far is refused from now on; the logs stay whole.
    void expireChangeTokens();
    // Forgets the zone as if the service had lost it; its subscriptions stay.
    void dropZone(const std::string& zone);
    // Changes a stored envelope in place (its asset stays) and logs the change; nothing for an unknown name.
    void tamper(const std::string& recordName, const std::string& zone,
        const std::function<void(MailboxEnvelopeRecord&)>& change);
    // Stores the record as given, replacing one of the same name, and logs it: no checks, no entry in
    // saved(), no notification. Makes the zone when it is missing.
    void inject(
        const MailboxEnvelopeRecord& record, std::optional<MailboxBytes> asset, const std::string& zone);
    // Oldest first; empty for a zone that does not exist.
    std::vector<MailboxEnvelopeRecord> envelopes(const std::string& zone) const;
    std::optional<MailboxPresenceRecord> presence(const std::string& zone) const;
    bool hasZone(const std::string& zone) const;
    // Ascending.
    std::vector<std::string> subscriptionIDs() const;
    int count(Operation operation) const;
    // Payload and asset bytes of every envelope, and presence payloads; names and dates do not count.
    std::int64_t usedBytes() const;

    // MailboxStore. Every operation but accountState is first counted, delayed by the latency, failed by
    // a queued error, the account or the rate limit, in that order; a sleep's own error passes through.
    MailboxAccountState accountState() override;
    std::string userRecordName() override;
    void ensureZone(const std::string& zone) override;
    void deleteZone(const std::string& zone) override;
    void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) override;
    void savePresence(const MailboxPresenceRecord& record, const std::string& zone) override;
    MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) override;
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override;
    void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) override;
    void saveSubscriptions(
        const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) override;
    void deleteSubscriptions(const std::vector<std::string>& identifiers) override;

private:
    struct StoredEnvelope {
        MailboxEnvelopeRecord record;
        std::optional<MailboxBytes> asset;
    };
    struct Zone {
        std::map<std::string, StoredEnvelope> envelopes;
        std::optional<MailboxPresenceRecord> presence;
        // One entry per change, never removed: an envelope's name, or "presence".
        std::vector<std::string> log;
        std::uint32_t epoch = 0;
    };
    struct Subscription {
        MailboxSubscriptionSpec wanted;
        std::string zone;
    };

    // Admission. Answers the store's lock, held, for the operation to proceed under.
    std::unique_lock<std::mutex> begin(Operation operation);
    // The zone, or zoneMissing. Needs the lock.
    Zone& existingZone(const std::string& zone);
    std::int64_t usedBytesLocked() const;
    // Records the notifications for a stored envelope under the lock and answers the listener calls to
    // start once it is released.
    std::vector<std::function<void()>> deliver(const MailboxEnvelopeRecord& record, const std::string& zone);

    const std::shared_ptr<const MailboxClock> m_clock;
    mutable std::mutex m_lock;
    double m_latency;
    MailboxAccountState m_account = MailboxAccountState::available;
    std::string m_recordName { defaultRecordName };
    std::optional<std::int64_t> m_quotaBytes;
    int m_fetchLimit = defaultFetchLimit;
    std::optional<RateLimit> m_rateLimit;
    std::map<std::string, Zone> m_zones;
    std::map<std::string, Subscription> m_subscriptions;
    std::map<Operation, std::deque<MailboxError>> m_failures;
    std::deque<MailboxTime> m_recent;
    std::vector<std::shared_ptr<const Listener>> m_listeners;
    std::map<Operation, int> m_counts;
    std::vector<std::string> m_notifications;
    std::vector<MailboxEnvelopeRecord> m_saved;
    // Last, so that it is torn down first, while everything a listener may still read is whole.
    MailboxBackgroundTasks m_listenerTasks;
};

std::string_view rawValue(InMemoryMailboxStore::Operation operation);

}
