#include "VellumarMacCore/Relay/DeviceRegistry.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <cassert>
#include <thread>

namespace vellumar {

namespace {

    constexpr std::size_t kTokenBytes = 32;
    constexpr std::size_t kIDBytes = 8;
    constexpr int kLockTriesBeforeSleeping = 32;
    // Far longer than a look-up holds the registry, but for a holder the system set aside for a while: a
    // request waiting longer would rather go to a worker.
    constexpr std::chrono::milliseconds kLongestWaitOfALookUp { 1 };

    bool isAcceptableTokenSize(std::string_view token)
    {
        return !token.empty() && token.size() <= DeviceRegistry::maxTokenBytes;
    }

    // The digest the registry keeps of a token; absent for an empty token or one over 512 bytes.
    std::optional<platform::SHA256Digest> tokenDigest(std::string_view token)
    {
        if (!isAcceptableTokenSize(token))
            return std::nullopt;
        return platform::sha256(token);
    }

    // Runs a call of the storage with `underWay` set, so that a look-up that may not wait knows the lock
    // is held for long.
    template <typename Call> auto duringStorageCall(std::atomic<bool>& underWay, Call call)
    {
        underWay = true;
        struct Done {
            std::atomic<bool>& underWay;
            ~Done() { underWay = false; }
        } done { underWay };
        return call();
    }

    // The first device with that id, const or not as the list is.
    template <typename Devices> auto findDevice(Devices& devices, std::string_view id)
    {
        return std::find_if(
            devices.begin(), devices.end(), [&](const PairedDevice& each) { return each.id == id; });
    }

}

DeviceRegistry::DeviceRegistry(std::shared_ptr<DeviceStorage> storage, Clock clock)
    : m_storage(std::move(storage))
    , m_clock(std::move(clock))
{
    // Nothing else can reach the registry yet, so its lock is not needed.
    m_lastLoadTry = m_clock();
    try {
        m_loadFailed = !loadStoredList();
    } catch (...) {
        // Kept unloaded: the next change loads again before it may write, and lookups retry.
        m_loadFailed = true;
    }
}

bool DeviceRegistry::loadStoredList()
{
    try {
        m_devices = duringStorageCall(m_storageCallUnderWay, [&] { return m_storage->load(); });
        // Before the list counts as loaded: `isKnownToken` then reads the digests without the lock.
        rebuildDigestsAndSnapshot();
        m_loaded = true;
        return true;
    } catch (const DeviceListDecodingError&) {
        // Only a list that cannot ever decode is given up on, and even that is kept, not destroyed.
        duringStorageCall(m_storageCallUnderWay, [&] { m_storage->setAside(); });
        m_devices.clear();
        rebuildDigestsAndSnapshot();
        m_loaded = true;
        return false;
    }
}

void DeviceRegistry::ensureLoaded(Lock&)
{
    if (m_loaded)
        return;
    loadStoredList();
}

bool DeviceRegistry::isLoadRetryDue(std::chrono::system_clock::time_point now) const
{
    // A clock set back makes a retry due rather than holding it off for as long.
    return !m_loaded && (!m_lastLoadTry || now < *m_lastLoadTry || now - *m_lastLoadTry >= loadRetryInterval);
}

bool DeviceRegistry::loadWhenRetryDue(Lock&)
{
    auto now = m_clock();
    if (!isLoadRetryDue(now))
        return false;
    m_lastLoadTry = now;
    try {
        loadStoredList();
    } catch (...) {
        // The storage logged why; the next lookup after the interval tries again.
        return false;
    }
    return true;
}

void DeviceRegistry::retryLoadWhenDue(Lock& lock)
{
    if (!loadWhenRetryDue(lock))
        return;
    notify(lock);
    lock.lock();
}

bool DeviceRegistry::loadFailed() const
{
    std::lock_guard lock(m_lock);
    return m_loadFailed;
}

bool DeviceRegistry::isKnownToken(std::string_view token)
{
    if (!isAcceptableTokenSize(token))
        return false;
    auto digest = platform::sha256(token);
    if (m_loaded)
        return m_digests.contains(digest);
    // Whoever holds the registry now may load the list itself; this check never waits for it.
    Lock lock(m_lock, std::try_to_lock);
    if (lock.owns_lock() && loadWhenRetryDue(lock))
        notify(lock);
    return m_digests.contains(digest);
}

std::vector<PairedDevice> DeviceRegistry::all() const
{
    std::lock_guard lock(m_lock);
    return m_devices;
}

void DeviceRegistry::observe(Observer observer)
{
    // Registering happens once per observer and never on a request, so it may wait its turn.
    while (m_delivering.exchange(true))
        std::this_thread::yield();
    Lock lock(m_lock);
    m_observers.push_back(observer);
    Snapshot devices = currentSnapshot(lock);
    std::uint64_t number = m_changes;
    lock.unlock();
    // A change not yet delivered is older than this list, so everyone gets this one instead.
    if (number > m_delivered) {
        m_delivered = number;
        for (const Observer& each : m_observers)
            each(devices);
    } else {
        observer(devices);
    }
    m_delivering = false;
    if (m_changes != number) {
        lock.lock();
        deliverNewest(lock);
    }
}

DeviceRegistry::Pairing DeviceRegistry::add(const std::optional<std::string>& name)
{
    Lock lock(m_lock);
    ensureLoaded(lock);
    if (m_devices.size() >= maxDevices)
        throw RelayHTTPError(409, "too_many", "Too many iPhones are paired with this Mac. Remove one first.");
    std::string token = RelayIDs::randomToken(kTokenBytes);
    PairedDevice device {
        .id = "d-" + RelayIDs::randomHex(kIDBytes),
        .name = CleanText::deviceName(name),
        .pairedAt = m_clock(),
    };
    device.lastSeenAt = m_clock();
    device.tokenHash = sha256Hex(platform::sha256(token));
    m_devices.push_back(device);
    try {
        save(lock);
    } catch (...) {
        // The token never reaches the phone, so the device must not hold a slot or pass a check.
        m_devices.pop_back();
        rebuildDigestsAndSnapshot();
        throw;
    }
    notify(lock);
    return { std::move(device), std::move(token) };
}

std::optional<std::size_t> DeviceRegistry::indexForDigest(
    const std::optional<platform::SHA256Digest>& digest, const Lock&) const
{
    if (!digest)
        return std::nullopt;
    // Every change of the list rebuilds the digests under the same lock, so their positions are the
    // devices' own.
    auto match = m_digests.lastMatch(*digest);
    assert(!match || *match < m_devices.size());
    return match;
}

std::optional<PairedDevice> DeviceRegistry::deviceForToken(std::string_view token)
{
    auto digest = tokenDigest(token);
    Lock lock(m_lock);
    retryLoadWhenDue(lock);
    auto match = indexForDigest(digest, lock);
    if (!match)
        return std::nullopt;
    return touch(*match, m_clock(), lock);
}

DeviceRegistry::AtOnce DeviceRegistry::deviceForTokenAtOnce(std::string_view token, Seen seen)
{
    auto digest = tokenDigest(token);
    Lock lock(m_lock, std::defer_lock);
    if (!lockSoon(lock, StorageWait::giveUp))
        return {};
    auto now = m_clock();
    if (isLoadRetryDue(now))
        return {};
    auto match = indexForDigest(digest, lock);
    if (!match)
        return { .answered = true, .device = std::nullopt };
    if (isLastSeenWriteDue(m_devices[*match], now))
        return {};
    if (seen == Seen::leave)
        return { .answered = true, .device = m_devices[*match] };
    return { .answered = true, .device = touch(*match, now, lock) };
}

bool DeviceRegistry::isLastSeenWriteDue(
    const PairedDevice& device, std::chrono::system_clock::time_point now) const
{
    auto written = m_lastWritten.find(device.id);
    // A clock that went backwards gives a negative age, and no write.
    return written == m_lastWritten.end() || now - written->second >= lastSeenWriteInterval;
}

PairedDevice DeviceRegistry::touch(std::size_t index, std::chrono::system_clock::time_point now, Lock& lock)
{
    PairedDevice& device = m_devices[index];
    device.lastSeenAt = now;
    PairedDevice seen = device;
    if (isLastSeenWriteDue(device, now)) {
        m_lastWritten.insert_or_assign(device.id, now);
        try {
            save(lock);
        } catch (...) {
            // Only the last-seen time is lost; the request itself stands.
            return seen;
        }
    } else {
        if (std::find(m_touchedSinceSnapshot.begin(), m_touchedSinceSnapshot.end(), index)
            == m_touchedSinceSnapshot.end())
            m_touchedSinceSnapshot.push_back(index);
    }
    notify(lock);
    return seen;
}

std::optional<PairedDevice> DeviceRegistry::device(std::string_view id) const
{
    std::lock_guard lock(m_lock);
    auto found = findDevice(m_devices, id);
    if (found == m_devices.end())
        return std::nullopt;
    return *found;
}

std::optional<PairedDevice> DeviceRegistry::deviceForMailbox(const movrane::MailboxPairing& pairing)
{
    Lock lock(m_lock);
    retryLoadWhenDue(lock);
    auto found = findDevice(m_devices, pairing.deviceID);
    if (found == m_devices.end() || found->mailbox != pairing)
        return std::nullopt;
    return touch(static_cast<std::size_t>(found - m_devices.begin()), m_clock(), lock);
}

std::vector<movrane::MailboxPairing> DeviceRegistry::mailboxPairings()
{
    Lock lock(m_lock);
    retryLoadWhenDue(lock);
    std::vector<movrane::MailboxPairing> pairings;
    for (const PairedDevice& device : m_devices)
        if (device.mailbox)
            pairings.push_back(*device.mailbox);
    return pairings;
}

void DeviceRegistry::setMailbox(std::string_view id, std::optional<movrane::MailboxPairing> pairing,
    std::optional<movrane::MailboxPairingAnswer::Reason> reason)
{
    Lock lock(m_lock);
    ensureLoaded(lock);
    auto found = findDevice(m_devices, id);
    if (found == m_devices.end())
        return;
    // A phone that has the mailbox was not refused it.
    found->setMailboxReason(pairing ? std::nullopt : reason);
    found->mailbox = std::move(pairing);
    save(lock);
    notify(lock);
}

std::optional<PairedDevice> DeviceRegistry::remove(std::string_view id)
{
    Lock lock(m_lock);
    ensureLoaded(lock);
    std::optional<PairedDevice> removed;
    auto found = findDevice(m_devices, id);
    if (found != m_devices.end())
        removed = *found;
    std::erase_if(m_devices, [&](const PairedDevice& each) { return each.id == id; });
    if (auto written = m_lastWritten.find(id); written != m_lastWritten.end())
        m_lastWritten.erase(written);
    save(lock);
    notify(lock);
    return removed;
}

void DeviceRegistry::save(Lock&)
{
    assert(m_loaded && "a list that was never read must not be written over");
    // Before the write, so that a removed token stops passing even when the write fails, and observers
    // see the list that stands in memory.
    rebuildDigestsAndSnapshot();
    duringStorageCall(m_storageCallUnderWay, [&] { m_storage->save(m_devices); });
}

void DeviceRegistry::rebuildDigestsAndSnapshot()
{
    std::vector<std::string> hashes;
    hashes.reserve(m_devices.size());
    for (const PairedDevice& device : m_devices)
        hashes.push_back(device.tokenHash);
    m_digests.replace(hashes);
    m_snapshot = std::make_shared<const PairedDeviceList>(m_devices);
    m_touchedSinceSnapshot.clear();
}

const DeviceRegistry::Snapshot& DeviceRegistry::currentSnapshot(const Lock&)
{
    // The other devices are shared with the previous snapshot, not copied.
    for (std::size_t index : m_touchedSinceSnapshot)
        m_snapshot = std::make_shared<const PairedDeviceList>(m_snapshot->replacing(index, m_devices[index]));
    m_touchedSinceSnapshot.clear();
    return m_snapshot;
}

void DeviceRegistry::notify(Lock& lock)
{
    ++m_changes;
    if (m_observers.empty()) {
        lock.unlock();
        return;
    }
    deliverNewest(lock);
}

void DeviceRegistry::deliverNewest(Lock& lock)
{
    for (;;) {
        // The thread delivering now looks at the changes again before it stops (below), so this one
        // need not wait for it.
        if (m_delivering.exchange(true)) {
            lock.unlock();
            return;
        }
        std::uint64_t number = m_changes;
        Snapshot devices = number > m_delivered ? currentSnapshot(lock) : nullptr;
        lock.unlock();
        if (devices) {
            m_delivered = number;
            for (const Observer& observer : m_observers)
                observer(devices);
        }
        m_delivering = false;
        // A change made during the delivery whose thread found it under way is this thread's to hand on.
        if (m_changes == number)
            return;
        lockSoon(lock, StorageWait::wait);
    }
}

bool DeviceRegistry::lockSoon(Lock& lock, StorageWait storageWait)
{
    for (int tries = 1; !lock.try_lock(); ++tries) {
        if (storageWait == StorageWait::giveUp && m_storageCallUnderWay)
            return false;
        if (tries == kLockTriesBeforeSleeping) {
            if (storageWait == StorageWait::giveUp)
                return lock.try_lock_for(kLongestWaitOfALookUp);
            lock.lock();
            return true;
        }
        std::this_thread::yield();
    }
    return true;
}

}
