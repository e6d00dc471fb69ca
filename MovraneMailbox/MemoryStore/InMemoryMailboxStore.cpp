#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"

#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

namespace movrane {

namespace {

    constexpr std::string_view kOperationNames[]
        = { "accountState", "userRecordName", "ensureZone", "deleteZone", "saveEnvelope", "savePresence",
              "fetchChanges", "fetchAsset", "deleteEnvelopes", "saveSubscriptions", "deleteSubscriptions" };

    constexpr std::string_view kPresenceLogEntry = "presence";
    constexpr std::size_t kTokenBytes = 12;
    constexpr long kAssetReadFailed = -1;
    constexpr long kAssetWriteFailed = -2;

    // The change token: the zone's epoch, then how many of its log entries have been consumed.
    struct ChangeToken {
        std::uint32_t epoch = 0;
        std::uint64_t offset = 0;

        MailboxBytes bytes() const
        {
            MailboxBytes out;
            MailboxBinary::appendUInt32(out, epoch);
            MailboxBinary::appendUInt64(out, offset);
            return out;
        }

        static std::optional<ChangeToken> read(const MailboxBytes& bytes)
        {
            if (bytes.size() != kTokenBytes)
                return std::nullopt;
            MailboxBinary::Reader reader(bytes);
            try {
                ChangeToken token;
                token.epoch = MailboxBinary::readUInt32(reader);
                token.offset = MailboxBinary::readUInt64(reader);
                return token;
            } catch (const MailboxCryptoError&) {
                return std::nullopt;
            }
        }
    };

    std::int64_t byteCount(const std::optional<MailboxBytes>& bytes)
    {
        return bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
    }

    std::optional<MailboxBytes> readWholeFile(const std::filesystem::path& file)
    {
        int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            return std::nullopt;
        MailboxBytes content;
        std::uint8_t buffer[65536];
        for (;;) {
            auto got = ::read(descriptor, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(descriptor);
                return got == 0 ? std::optional(std::move(content)) : std::nullopt;
            }
            content.insert(content.end(), buffer, buffer + got);
        }
    }

    // A new private file in the system's temporary folder that no one else can have made or linked:
    // the caller gets a copy that is only its own.
    std::optional<std::filesystem::path> writeAssetCopy(const MailboxBytes& content)
    {
        std::error_code error;
        auto folder = std::filesystem::temp_directory_path(error);
        if (error)
            return std::nullopt;
        auto file = folder / ("mailbox-asset-" + MailboxUUID::make());
        int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor < 0)
            return std::nullopt;
        std::size_t written = 0;
        while (written < content.size()) {
            auto put = ::write(descriptor, content.data() + written, content.size() - written);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                break;
            written += static_cast<std::size_t>(put);
        }
        bool complete = ::close(descriptor) == 0 && written == content.size();
        if (!complete) {
            std::filesystem::remove(file, error);
            return std::nullopt;
        }
        return file;
    }

}

std::string_view rawValue(InMemoryMailboxStore::Operation operation)
{
    return kOperationNames[static_cast<std::size_t>(operation)];
}

std::optional<InMemoryMailboxStore::Operation> InMemoryMailboxStore::operation(std::string_view raw)
{
    for (auto candidate : allOperations) {
        if (rawValue(candidate) == raw)
            return candidate;
    }
    return std::nullopt;
}

InMemoryMailboxStore::InMemoryMailboxStore(std::shared_ptr<const MailboxClock> clock, double latencySeconds)
    : m_clock(std::move(clock))
    , m_latency(latencySeconds)
{
}

InMemoryMailboxStore::~InMemoryMailboxStore() = default;

double InMemoryMailboxStore::latency() const
{
    std::lock_guard lock(m_lock);
    return m_latency;
}

MailboxAccountState InMemoryMailboxStore::account() const
{
    std::lock_guard lock(m_lock);
    return m_account;
}

std::string InMemoryMailboxStore::recordName() const
{
    std::lock_guard lock(m_lock);
    return m_recordName;
}

std::optional<std::int64_t> InMemoryMailboxStore::quotaBytes() const
{
    std::lock_guard lock(m_lock);
    return m_quotaBytes;
}

int InMemoryMailboxStore::fetchLimit() const
{
    std::lock_guard lock(m_lock);
    return m_fetchLimit;
}

std::optional<InMemoryMailboxStore::RateLimit> InMemoryMailboxStore::rateLimit() const
{
    std::lock_guard lock(m_lock);
    return m_rateLimit;
}

std::map<InMemoryMailboxStore::Operation, int> InMemoryMailboxStore::counts() const
{
    std::lock_guard lock(m_lock);
    return m_counts;
}

std::vector<std::string> InMemoryMailboxStore::notifications() const
{
    std::lock_guard lock(m_lock);
    return m_notifications;
}

std::vector<MailboxEnvelopeRecord> InMemoryMailboxStore::saved() const
{
    std::lock_guard lock(m_lock);
    return m_saved;
}

void InMemoryMailboxStore::setAccount(MailboxAccountState state)
{
    std::lock_guard lock(m_lock);
    m_account = state;
}

void InMemoryMailboxStore::setRecordName(std::string name)
{
    std::lock_guard lock(m_lock);
    m_recordName = std::move(name);
}

void InMemoryMailboxStore::setLatency(double seconds)
{
    std::lock_guard lock(m_lock);
    m_latency = seconds;
}

void InMemoryMailboxStore::setQuota(std::optional<std::int64_t> bytes)
{
    std::lock_guard lock(m_lock);
    m_quotaBytes = bytes;
}

void InMemoryMailboxStore::setFetchLimit(int limit)
{
    std::lock_guard lock(m_lock);
    // A negative limit would make the fetch window end before it starts.
    m_fetchLimit = std::max(limit, 0);
}

void InMemoryMailboxStore::setRateLimit(int limit, double windowSeconds, double retryAfterSeconds)
{
    std::lock_guard lock(m_lock);
    m_rateLimit = RateLimit { limit, windowSeconds, retryAfterSeconds };
}

void InMemoryMailboxStore::clearRateLimit()
{
    std::lock_guard lock(m_lock);
    m_rateLimit.reset();
}

void InMemoryMailboxStore::fail(Operation operation, const MailboxError& error, int count)
{
    std::lock_guard lock(m_lock);
    auto& queue = m_failures[operation];
    for (int copy = 0; copy < count; ++copy)
        queue.push_back(error);
}

void InMemoryMailboxStore::onNotification(Listener listener)
{
    std::lock_guard lock(m_lock);
    m_listeners.push_back(std::make_shared<const Listener>(std::move(listener)));
}

void InMemoryMailboxStore::expireChangeTokens()
{
    std::lock_guard lock(m_lock);
    for (auto& [name, zone] : m_zones)
        ++zone.epoch; // unsigned: wraps from the largest value to 0
}

void InMemoryMailboxStore::dropZone(const std::string& zone)
{
    std::lock_guard lock(m_lock);
    m_zones.erase(zone);
}

void InMemoryMailboxStore::tamper(const std::string& recordName, const std::string& zone,
    const std::function<void(MailboxEnvelopeRecord&)>& change)
{
    std::lock_guard lock(m_lock);
    auto found = m_zones.find(zone);
    if (found == m_zones.end())
        return;
    auto stored = found->second.envelopes.find(recordName);
    if (stored == found->second.envelopes.end())
        return;
    auto altered = stored->second.record;
    change(altered);
    // Stored under the name it had, whatever the change did to the record's own name.
    stored->second.record = std::move(altered);
    found->second.log.push_back(recordName);
}

void InMemoryMailboxStore::inject(
    const MailboxEnvelopeRecord& record, std::optional<MailboxBytes> asset, const std::string& zone)
{
    std::lock_guard lock(m_lock);
    auto& target = m_zones[zone];
    target.envelopes.insert_or_assign(record.name, StoredEnvelope { record, std::move(asset) });
    target.log.push_back(record.name);
}

std::vector<MailboxEnvelopeRecord> InMemoryMailboxStore::envelopes(const std::string& zone) const
{
    std::lock_guard lock(m_lock);
    std::vector<MailboxEnvelopeRecord> records;
    auto found = m_zones.find(zone);
    if (found == m_zones.end())
        return records;
    for (const auto& [name, stored] : found->second.envelopes)
        records.push_back(stored.record);
    std::stable_sort(records.begin(), records.end(),
        [](const auto& lhs, const auto& rhs) { return lhs.createdAt < rhs.createdAt; });
    return records;
}

std::optional<MailboxPresenceRecord> InMemoryMailboxStore::presence(const std::string& zone) const
{
    std::lock_guard lock(m_lock);
    auto found = m_zones.find(zone);
    return found == m_zones.end() ? std::nullopt : found->second.presence;
}

bool InMemoryMailboxStore::hasZone(const std::string& zone) const
{
    std::lock_guard lock(m_lock);
    return m_zones.contains(zone);
}

std::vector<std::string> InMemoryMailboxStore::subscriptionIDs() const
{
    std::lock_guard lock(m_lock);
    std::vector<std::string> ids;
    for (const auto& [id, subscription] : m_subscriptions)
        ids.push_back(id);
    return ids;
}

int InMemoryMailboxStore::count(Operation operation) const
{
    std::lock_guard lock(m_lock);
    auto found = m_counts.find(operation);
    return found == m_counts.end() ? 0 : found->second;
}

std::int64_t InMemoryMailboxStore::usedBytes() const
{
    std::lock_guard lock(m_lock);
    return usedBytesLocked();
}

std::int64_t InMemoryMailboxStore::usedBytesLocked() const
{
    std::int64_t total = 0;
    for (const auto& [name, zone] : m_zones) {
        for (const auto& [recordName, stored] : zone.envelopes)
            total += byteCount(stored.record.payload) + byteCount(stored.asset);
        if (zone.presence)
            total += static_cast<std::int64_t>(zone.presence->payload.size());
    }
    return total;
}

std::unique_lock<std::mutex> InMemoryMailboxStore::begin(Operation operation)
{
    std::unique_lock lock(m_lock);
    ++m_counts[operation];
    auto latency = m_latency;
    if (latency > 0) {
        // Other calls go on while this one waits; it was counted before.
        lock.unlock();
        m_clock->sleep(latency, {});
        lock.lock();
    }
    if (auto queued = m_failures.find(operation); queued != m_failures.end() && !queued->second.empty()) {
        auto error = queued->second.front();
        queued->second.pop_front();
        throw error;
    }
    if (m_account != MailboxAccountState::available)
        throw MailboxError::account(m_account);
    if (m_rateLimit) {
        auto now = m_clock->now();
        std::erase_if(m_recent, [&](MailboxTime admitted) {
            return std::chrono::duration<double>(now - admitted).count() >= m_rateLimit->windowSeconds;
        });
        if (m_recent.size() >= static_cast<std::size_t>(std::max(m_rateLimit->limit, 0)))
            throw MailboxError::busy(m_rateLimit->retryAfterSeconds);
        m_recent.push_back(now);
    }
    return lock;
}

InMemoryMailboxStore::Zone& InMemoryMailboxStore::existingZone(const std::string& zone)
{
    auto found = m_zones.find(zone);
    if (found == m_zones.end())
        throw MailboxError(MailboxError::Kind::zoneMissing);
    return found->second;
}

std::vector<std::function<void()>> InMemoryMailboxStore::deliver(
    const MailboxEnvelopeRecord& record, const std::string& zone)
{
    std::vector<std::function<void()>> calls;
    for (const auto& [id, subscription] : m_subscriptions) {
        const auto& wanted = subscription.wanted;
        if (subscription.zone != zone || wanted.recipient != record.to)
            continue;
        if (wanted.notify && *wanted.notify != record.notify)
            continue;
        m_notifications.push_back(id);
        for (const auto& listener : m_listeners)
            calls.push_back([listener, id] { (*listener)(id); });
    }
    return calls;
}

MailboxAccountState InMemoryMailboxStore::accountState()
{
    std::lock_guard lock(m_lock);
    ++m_counts[Operation::accountState];
    return m_account;
}

std::string InMemoryMailboxStore::userRecordName()
{
    auto lock = begin(Operation::userRecordName);
    return m_recordName;
}

void InMemoryMailboxStore::ensureZone(const std::string& zone)
{
    auto lock = begin(Operation::ensureZone);
    m_zones.try_emplace(zone);
}

void InMemoryMailboxStore::deleteZone(const std::string& zone)
{
    auto lock = begin(Operation::deleteZone);
    m_zones.erase(zone);
    std::erase_if(m_subscriptions, [&](const auto& entry) { return entry.second.zone == zone; });
}

void InMemoryMailboxStore::saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone)
{
    std::vector<std::function<void()>> notifications;
    {
        auto lock = begin(Operation::saveEnvelope);
        auto& target = existingZone(zone);
        if (record.payload && record.payload->size() > maxPayloadBytes)
            throw MailboxError(MailboxError::Kind::tooLarge);
        if (target.envelopes.contains(record.name))
            throw MailboxError(MailboxError::Kind::alreadyExists);
        std::optional<MailboxBytes> asset;
        if (record.assetFile) {
            asset = readWholeFile(*record.assetFile);
            if (!asset)
                throw MailboxError::other(kAssetReadFailed);
        }
        if (m_quotaBytes && usedBytesLocked() + byteCount(record.payload) + byteCount(asset) > *m_quotaBytes)
            throw MailboxError(MailboxError::Kind::quotaExceeded);

        auto stored = record;
        stored.assetFile.reset();
        stored.hasAsset = asset.has_value();
        target.envelopes.emplace(stored.name, StoredEnvelope { stored, std::move(asset) });
        target.log.push_back(stored.name);
        m_saved.push_back(stored);
        notifications = deliver(stored, zone);
    }
    for (auto& call : notifications)
        m_listenerTasks.start([call = std::move(call)](std::stop_token) { call(); });
}

void InMemoryMailboxStore::savePresence(const MailboxPresenceRecord& record, const std::string& zone)
{
    auto lock = begin(Operation::savePresence);
    auto& target = existingZone(zone);
    target.presence = record;
    target.log.emplace_back(kPresenceLogEntry);
}

MailboxChanges InMemoryMailboxStore::fetchChanges(
    const std::string& zone, const std::optional<MailboxBytes>& token)
{
    auto lock = begin(Operation::fetchChanges);
    const auto& source = existingZone(zone);
    std::uint64_t start = 0;
    if (token) {
        auto given = ChangeToken::read(*token);
        if (!given || given->epoch != source.epoch || given->offset > source.log.size())
            throw MailboxError(MailboxError::Kind::changeTokenExpired);
        start = given->offset;
    }
    auto end = std::min<std::uint64_t>(source.log.size(), start + static_cast<std::uint64_t>(m_fetchLimit));

    MailboxChanges changes;
    changes.token = ChangeToken { source.epoch, end }.bytes();
    changes.moreComing = end < source.log.size();
    std::unordered_set<std::string_view> reported;
    for (auto index = start; index < end; ++index) {
        const auto& name = source.log[index];
        if (!reported.insert(name).second)
            continue;
        if (name == kPresenceLogEntry) {
            changes.presence = source.presence;
        } else if (auto stored = source.envelopes.find(name); stored != source.envelopes.end()) {
            changes.envelopes.push_back(stored->second.record);
        } else if (token) {
            // Deleted since; a caller starting afresh never saw it, so it hears nothing of it.
            changes.deleted.push_back(name);
        }
    }
    return changes;
}

std::filesystem::path InMemoryMailboxStore::fetchAsset(const std::string& recordName, const std::string& zone)
{
    MailboxBytes content;
    {
        auto lock = begin(Operation::fetchAsset);
        const auto& source = existingZone(zone);
        auto stored = source.envelopes.find(recordName);
        if (stored == source.envelopes.end() || !stored->second.asset)
            throw MailboxError(MailboxError::Kind::notFound);
        content = *stored->second.asset;
    }
    auto copy = writeAssetCopy(content);
    if (!copy)
        throw MailboxError::other(kAssetWriteFailed);
    return *copy;
}

void InMemoryMailboxStore::deleteEnvelopes(
    const std::vector<std::string>& recordNames, const std::string& zone)
{
    auto lock = begin(Operation::deleteEnvelopes);
    auto& target = existingZone(zone);
    for (const auto& name : recordNames) {
        if (target.envelopes.erase(name) > 0)
            target.log.push_back(name);
    }
}

void InMemoryMailboxStore::saveSubscriptions(
    const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone)
{
    auto lock = begin(Operation::saveSubscriptions);
    existingZone(zone);
    for (const auto& wanted : specs)
        m_subscriptions.insert_or_assign(wanted.id, Subscription { wanted, zone });
}

void InMemoryMailboxStore::deleteSubscriptions(const std::vector<std::string>& identifiers)
{
    auto lock = begin(Operation::deleteSubscriptions);
    for (const auto& id : identifiers)
        m_subscriptions.erase(id);
}

}
