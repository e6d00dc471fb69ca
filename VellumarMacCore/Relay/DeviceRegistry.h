// The Mac's list of paired phones: issues each new phone its id and bearer token, finds the device a
// token belongs to, records when devices were last seen, removes devices, and keeps the list in a
// DeviceStorage.
#pragma once

#include "VellumarMacCore/Relay/DeviceStorage.h"
#include "VellumarMacCore/Relay/PairedDevice.h"
#include "VellumarMacCore/Relay/PairedDeviceList.h"
#include "VellumarMacCore/Relay/TokenDigests.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// A monitor: every operation takes one lock, and the storage is called under it, so a slow storage
// holds the registry (but never `isKnownToken`). Observers are called after the lock is released,
// one delivery at a time and never with a list older than one they were already given; they must
// not change the registry themselves. A change made while another thread delivers is delivered by
// that thread, together with any other made meanwhile, before its call returns: no request waits
// for another's observers.
class DeviceRegistry {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    // The list as it stood after one change; it never changes, so an observer may keep it as long as
    // it likes, on any thread, without copying it.
    using Snapshot = std::shared_ptr<const PairedDeviceList>;
    using Observer = std::function<void(const Snapshot&)>;

    struct Pairing {
        PairedDevice device;
        // 43 Base64URL characters; handed out this once and never stored.
        std::string token;
    };

    static constexpr std::size_t maxDevices = 20;
    // The shortest time between two stored last-seen updates of one device.
    static constexpr std::chrono::seconds lastSeenWriteInterval { 300 };
    // Longer tokens are refused without being hashed.
    static constexpr std::size_t maxTokenBytes = 512;
    // While the stored list cannot be read, the phones' accesses try again at most this often.
    static constexpr std::chrono::seconds loadRetryInterval { 1 };

    // Loads the stored list. A list that was read but does not decode is set aside and the registry
    // starts empty; any other failure leaves it empty and unloaded: each change then loads again
    // first, and fails with the storage's error while that still fails, so the stored list is never
    // overwritten unread, and the lookups of phones (`isKnownToken`, `deviceForToken`,
    // `deviceForMailbox`, `mailboxPairings`) load again once `loadRetryInterval` has passed since the
    // last try. Never throws.
    DeviceRegistry(std::shared_ptr<DeviceStorage> storage, Clock clock);
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    // Whether loading the stored list failed at construction, for whatever reason.
    bool loadFailed() const;

    // Any thread, never waiting for the registry's lock: the digests as of the last save. While the list
    // is unloaded it may read the storage, when no other call holds the registry.
    bool isKnownToken(std::string_view token);

    std::vector<PairedDevice> all() const;
    // Registers the observer and calls it at once with the current list.
    void observe(Observer observer);

    // A new device with a new id and token, appended and saved. Throws RelayHTTPError 409 "too_many"
    // when 20 devices are paired, and the storage's error when the list cannot be loaded or saved;
    // after either nothing has changed.
    Pairing add(const std::optional<std::string>& name);

    // The device whose token digest matches, marked seen; absent for no match, an empty token or one
    // over 512 bytes. Every device is compared whatever the position of a match; the last match wins.
    std::optional<PairedDevice> deviceForToken(std::string_view token);
    // Whether a look-up that may not wait marks the device it finds as seen.
    enum class Seen { mark, leave };
    // What `deviceForTokenAtOnce` found.
    struct AtOnce {
        // False when `deviceForToken` would have to wait for a call of the storage, load the unloaded
        // list or store the device's last-seen time; nothing was looked up or changed then.
        bool answered = false;
        // Absent for a token no device has (see `deviceForToken`).
        std::optional<PairedDevice> device;
    };
    // `deviceForToken` for a thread that must never wait long: answers only when that would answer
    // without waiting for the storage or touching it (another look-up's moment with the registry is
    // waited for, up to a millisecond). With `Seen::mark`, the device found is marked
    // seen and the observers are called, as `deviceForToken` does; with `Seen::leave` nothing changes.
    AtOnce deviceForTokenAtOnce(std::string_view token, Seen seen);

    std::optional<PairedDevice> device(std::string_view id) const;
    // The device a mailbox request came from, marked seen: the one with the pairing's device id, and only
    // while it holds that very pairing (zone, ids and both keys), so a replaced or dropped pairing no
    // longer passes. No other device is considered.
    std::optional<PairedDevice> deviceForMailbox(const movrane::MailboxPairing& pairing);

    // The mailbox pairing of every device that has one, in list order.
    std::vector<movrane::MailboxPairing> mailboxPairings();
    // Stores the device's mailbox pairing, or clears it; the reason is kept only without a pairing.
    // Nothing happens for an id no device has. Throws the storage's error, in which case the change
    // still stands in memory.
    void setMailbox(std::string_view id, std::optional<movrane::MailboxPairing> pairing,
        std::optional<movrane::MailboxPairingAnswer::Reason> reason);

    // Removes every device with that id and saves, also when there was none. Throws the storage's
    // error, in which case the removal still stands in memory and the token no longer passes.
    std::optional<PairedDevice> remove(std::string_view id);

private:
    using Lock = std::unique_lock<std::timed_mutex>;

    // Reads the stored list into `m_devices` and the digests, setting aside one that does not decode;
    // false when it did not decode. Throws the storage's error, leaving the registry unloaded.
    bool loadStoredList();
    // Loads the stored list unless it was loaded; throws the storage's error when that fails.
    void ensureLoaded(Lock& lock);
    bool isLoadRetryDue(std::chrono::system_clock::time_point now) const;
    // Loads the unloaded list when a retry is due; true when that brought it.
    bool loadWhenRetryDue(Lock& lock);
    // As `loadWhenRetryDue`, then tells the observers when the list came. The lock is released for
    // them and held again on return.
    void retryLoadWhenDue(Lock& lock);
    // Rebuilds the digests and the snapshot and writes the list; throws the storage's error.
    void save(Lock& lock);
    // The index of the device whose token digest matches; see `deviceForToken`.
    std::optional<std::size_t> indexForDigest(
        const std::optional<platform::SHA256Digest>& digest, const Lock& lock) const;
    bool isLastSeenWriteDue(const PairedDevice& device, std::chrono::system_clock::time_point now) const;
    // Marks the device seen at `now`, stores that when its last stored time is old enough, and answers
    // it.
    PairedDevice touch(std::size_t index, std::chrono::system_clock::time_point now, Lock& lock);
    enum class StorageWait { wait, giveUp };
    // Takes the lock, yielding to its holder a few times before sleeping on it: others hold it for a
    // moment only, but for a call of the storage, and a connection queue's thread that sleeps leaves all
    // its connections waiting. With `giveUp`, answers false without the lock when a storage call holds
    // it or the lock is not had within a millisecond.
    bool lockSoon(Lock& lock, StorageWait storageWait);
    // Counts a change, then as `deliverNewest`.
    void notify(Lock& lock);
    // Releases the lock, then hands the current snapshot to the observers unless it went out already,
    // or leaves that to the thread delivering now.
    void deliverNewest(Lock& lock);
    // `m_snapshot` brought up to the devices touched since it was made: under a flood of requests a
    // delivery makes one list for all the touches since the last, not one per request.
    const Snapshot& currentSnapshot(const Lock& lock);
    // After any change of `m_devices` but a touch: what is read without the lock or handed out, made
    // anew from the whole list.
    void rebuildDigestsAndSnapshot();

    const std::shared_ptr<DeviceStorage> m_storage;
    const Clock m_clock;
    TokenDigests m_digests;

    mutable std::timed_mutex m_lock;
    std::vector<PairedDevice> m_devices;
    // `m_devices` as observers were last given it, but for the devices touched since.
    Snapshot m_snapshot = std::make_shared<const PairedDeviceList>();
    std::vector<std::size_t> m_touchedSinceSnapshot;
    std::map<std::string, std::chrono::system_clock::time_point, std::less<>> m_lastWritten;
    // Changed under the lock by the thread delivering, so a delivery reads them without a copy or a
    // reference count that every request would pass between CPUs.
    std::vector<Observer> m_observers;
    bool m_loadFailed = false;
    // Written under the lock; `isKnownToken` reads it without.
    std::atomic<bool> m_loaded = false;
    // Set under the lock while the storage is called; read without it.
    std::atomic<bool> m_storageCallUnderWay = false;
    std::optional<std::chrono::system_clock::time_point> m_lastLoadTry;
    // Counts the changes, under the lock; read without it to find one that is not delivered yet.
    std::atomic<std::uint64_t> m_changes = 0;

    // Held by the one thread delivering, which alone reads or writes `m_delivered`.
    std::atomic<bool> m_delivering = false;
    std::uint64_t m_delivered = 0;
};

}
