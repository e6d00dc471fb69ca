// What each end keeps per channel: the last sequence number it sealed, the replay guard over the
// peer's numbers, the store's change token and the newest presence time; how it is stored (one JSON
// file per channel, or memory); and the clock the mailbox ends read.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace movrane {

using MailboxTime = std::chrono::system_clock::time_point;

// Refuses every sequence number at or below `floor` and every number still remembered in `seen`
// (until its message's expiry plus 300 s). At most 2,048 numbers are remembered; the oldest leave
// first and raise the floor.
struct MailboxReplayGuard {
    static constexpr std::size_t limit = 2048;

    std::uint64_t floor = 0;
    // Sequence number → expiry in milliseconds since 1970.
    std::map<std::uint64_t, std::int64_t> seen;

    // Prunes, then throws MailboxCryptoError replayed for a refused number (the pruning stays) or
    // remembers the number.
    void accept(std::uint64_t sequence, MailboxTime messageExpiry, MailboxTime now);
    // Forgets entries that expired before `now` (to the millisecond), raising the floor past them.
    void prune(MailboxTime now);
    bool hasSeen(std::uint64_t sequence) const;

    friend bool operator==(const MailboxReplayGuard&, const MailboxReplayGuard&) = default;
};

namespace MailboxSequence {
    // The clock's milliseconds × 1024, or last + 1 (wrapping) when that is larger: numbers follow the
    // clock yet never repeat or fall back while the state survives, even when the clock does.
    std::uint64_t next(std::uint64_t last, MailboxTime now);
}

// The storage behind channel states. Every operation of one storage is serialised.
class MailboxStateStorage {
public:
    virtual ~MailboxStateStorage() = default;
    virtual std::optional<MailboxBytes> load(std::string_view key) = 0;
    // Never throws; no bytes removes what is stored.
    virtual void store(const std::optional<MailboxBytes>& bytes, std::string_view key) = 0;
    // Throws std::filesystem::filesystem_error (or the storage's own error) when the bytes were not stored.
    virtual void save(const MailboxBytes& bytes, std::string_view key) = 0;
};

class InMemoryMailboxStateStorage final : public MailboxStateStorage {
public:
    std::optional<MailboxBytes> load(std::string_view key) override;
    void store(const std::optional<MailboxBytes>& bytes, std::string_view key) override;
    void save(const MailboxBytes& bytes, std::string_view key) override;

private:
    std::mutex m_lock;
    std::map<std::string, MailboxBytes, std::less<>> m_blobs;
};

// One file per key in `directory`, written atomically at 0600; the folder is made 0700 on the first
// write.
class FileMailboxStateStorage final : public MailboxStateStorage {
public:
    // Removes the temporary files that writes of the storage's files, killed before their rename, left
    // in the folder (other names stay); construct it before any write to the folder can be under way.
    // Creates nothing.
    explicit FileMailboxStateStorage(std::filesystem::path directory);
    // Letters, digits, "-", "." and "_" stay; every other Unicode scalar becomes one "_"; then ".json".
    static std::string fileName(std::string_view key);

    const std::filesystem::path& directory() const noexcept { return m_directory; }

    std::optional<MailboxBytes> load(std::string_view key) override;
    void store(const std::optional<MailboxBytes>& bytes, std::string_view key) override;
    void save(const MailboxBytes& bytes, std::string_view key) override;

private:
    void write(const std::optional<MailboxBytes>& bytes, std::string_view key);

    std::filesystem::path m_directory;
    std::mutex m_lock;
};

struct MailboxChannelState {
    std::uint64_t lastSequence = 0;
    MailboxReplayGuard replay;
    std::optional<MailboxBytes> changeToken;
    std::optional<MailboxTime> lastPresence;

    // The state stored under the key; a fresh one when nothing is stored or it does not decode.
    static MailboxChannelState decode(MailboxStateStorage& storage, std::string_view key);
    // As decode, except that stored bytes which do not decode give a fresh state whose replay floor is
    // the sequence number of `now`: the numbers the lost state had accepted are unknown, and refusing
    // everything sealed before now keeps a handled envelope that is still in the store from being
    // opened, and acted on, a second time.
    static MailboxChannelState resume(MailboxStateStorage& storage, std::string_view key, MailboxTime now);
    // Stores the state without reporting a failure. The stored state is never removed for a state that
    // cannot be encoded: that is logged and the old file stays.
    void encoded(MailboxStateStorage& storage, std::string_view key) const;
    // Stores the state, throwing the storage's error.
    void save(MailboxStateStorage& storage, std::string_view key) const;

    // The JSON form: "lastSequence", "replay" {"floor", "seen": [number, expiry, ...]}, and when set
    // "changeToken" (standard base64) and "lastPresence" (seconds since 2001-01-01 UTC). Integers are
    // exact to 64 bits.
    std::string json() const;
    static std::optional<MailboxChannelState> fromJSON(std::string_view text);

    friend bool operator==(const MailboxChannelState&, const MailboxChannelState&) = default;
};

// "mailbox." + "device" or "mac" + "." + the pairing's zone name.
std::string mailboxStateKey(MailboxRole ownRole, std::string_view zoneName);

class MailboxClock {
public:
    virtual ~MailboxClock() = default;
    virtual MailboxTime now() const = 0;
    // Waits `seconds` (zero or less returns at once); throws MailboxCancelledError once `stop` is requested.
    virtual void sleep(double seconds, std::stop_token stop) const = 0;
};

class SystemMailboxClock final : public MailboxClock {
public:
    MailboxTime now() const override;
    void sleep(double seconds, std::stop_token stop) const override;
};

}
