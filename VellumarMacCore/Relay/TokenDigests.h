// The digests of the paired devices' bearer tokens, checked without entering the device registry,
// and the byte helpers of token digests and certificate pins.
#pragma once

#include "Platform/Crypto.h"

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vellumar {

// The digest as 64 lower-case hexadecimal digits.
std::string sha256Hex(const platform::SHA256Digest& digest);

// Equal byte strings. Strings of different sizes differ at once; otherwise every byte is compared,
// whatever the position of the first difference.
bool digestsEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs);

// Any thread. The lock is held only to swap or copy the list, never while converting or comparing,
// so a check never waits on a slow save.
class TokenDigests {
public:
    // One entry per hexadecimal text, in order; a text that is not hexadecimal gives none, so its
    // device's token never passes.
    void replace(const std::vector<std::string>& hashes);
    // Whether any entry equals `digest`. Every entry is compared, whatever the position of a match.
    bool contains(std::span<const std::uint8_t> digest) const;

private:
    mutable std::mutex m_lock;
    std::vector<std::vector<std::uint8_t>> m_stored;
};

}
