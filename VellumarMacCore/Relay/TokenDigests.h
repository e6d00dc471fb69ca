// The digests of the paired devices' bearer tokens, checked without entering the device registry,
// and the byte helpers of token digests and certificate pins.
#pragma once

#include "Platform/Crypto.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vellumar {

// The digest as 64 lower-case hexadecimal digits.
std::string sha256Hex(const platform::SHA256Digest& digest);

// Equal byte strings. Strings of different sizes differ at once; otherwise every byte is compared,
// whatever the position of the first difference.
bool digestsEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs);

// Any thread. The texts are decoded once per replacement, and the lock is held only to swap or take
// the list, never while converting or comparing, so a check never waits on a slow save.
class TokenDigests {
public:
    // One entry per text, in order; a text that is not hexadecimal gives one that never matches, so
    // its device's token never passes.
    void replace(const std::vector<std::string>& hashes);
    // Whether any entry equals `digest`. Every entry is compared, whatever the position of a match.
    bool contains(const platform::SHA256Digest& digest) const;
    // The position, among the texts last given to `replace`, of the last entry that equals `digest`.
    // Every entry is compared, whatever the position of a match.
    std::optional<std::size_t> lastMatch(const platform::SHA256Digest& digest) const;

private:
    struct Entry {
        platform::SHA256Digest digest {};
        // False for a text that is not 64 hexadecimal digits: such an entry never matches.
        bool valid = false;
    };
    using Entries = std::vector<Entry>;

    mutable std::mutex m_lock;
    // Never changed once made, so a check goes on with the list it took while a replacement swaps in
    // another.
    std::shared_ptr<const Entries> m_stored = std::make_shared<Entries>();
};

}
