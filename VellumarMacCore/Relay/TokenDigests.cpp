#include "VellumarMacCore/Relay/TokenDigests.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"

namespace vellumar {

std::string sha256Hex(const platform::SHA256Digest& digest) { return hexString(digest); }

bool digestsEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs)
{
    return platform::constantTimeEqual(lhs, rhs);
}

void TokenDigests::replace(const std::vector<std::string>& hashes)
{
    std::vector<std::vector<std::uint8_t>> digests;
    digests.reserve(hashes.size());
    for (const std::string& hash : hashes) {
        if (auto bytes = dataFromHex(hash))
            digests.push_back(std::move(*bytes));
    }
    std::lock_guard lock(m_lock);
    m_stored.swap(digests);
}

bool TokenDigests::contains(std::span<const std::uint8_t> digest) const
{
    std::vector<std::vector<std::uint8_t>> stored;
    {
        std::lock_guard lock(m_lock);
        stored = m_stored;
    }
    bool found = false;
    for (const auto& entry : stored)
        found |= digestsEqual(entry, digest);
    return found;
}

}
