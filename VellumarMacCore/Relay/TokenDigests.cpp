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
    auto digests = std::make_shared<Entries>();
    digests->reserve(hashes.size());
    for (const std::string& hash : hashes)
        digests->push_back(dataFromHex(hash).value_or(std::vector<std::uint8_t> {}));
    std::lock_guard lock(m_lock);
    m_stored = std::move(digests);
}

bool TokenDigests::contains(std::span<const std::uint8_t> digest) const
{
    return lastMatch(digest).has_value();
}

std::optional<std::size_t> TokenDigests::lastMatch(std::span<const std::uint8_t> digest) const
{
    std::shared_ptr<const Entries> stored;
    {
        std::lock_guard lock(m_lock);
        stored = m_stored;
    }
    std::optional<std::size_t> match;
    for (std::size_t index = 0; index < stored->size(); ++index) {
        // No early exit: the time taken must not tell which entry, if any, matched.
        if (digestsEqual((*stored)[index], digest))
            match = index;
    }
    return match;
}

}
