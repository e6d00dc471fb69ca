#include "VellumarMacCore/Relay/TokenDigests.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <cstring>

namespace vellumar {

std::string sha256Hex(const platform::SHA256Digest& digest) { return hexString(digest); }

bool digestsEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs)
{
    return platform::constantTimeEqual(lhs, rhs);
}

namespace {

    // Every request compares its digest with every paired phone's, so this is a word at a time and
    // inline rather than a library call per byte; the differences of all words are gathered before
    // any is looked at, so the time taken does not tell where two digests differ.
    bool sameDigest(const platform::SHA256Digest& lhs, const platform::SHA256Digest& rhs)
    {
        static_assert(std::tuple_size_v<platform::SHA256Digest> % sizeof(std::uint64_t) == 0);
        std::uint64_t difference = 0;
        for (std::size_t offset = 0; offset < lhs.size(); offset += sizeof(std::uint64_t)) {
            std::uint64_t left = 0;
            std::uint64_t right = 0;
            std::memcpy(&left, lhs.data() + offset, sizeof left);
            std::memcpy(&right, rhs.data() + offset, sizeof right);
            difference |= left ^ right;
        }
        return difference == 0;
    }

}

void TokenDigests::replace(const std::vector<std::string>& hashes)
{
    auto digests = std::make_shared<Entries>();
    digests->reserve(hashes.size());
    for (const std::string& hash : hashes) {
        Entry entry;
        auto bytes = dataFromHex(hash);
        if (bytes && bytes->size() == entry.digest.size()) {
            std::copy(bytes->begin(), bytes->end(), entry.digest.begin());
            entry.valid = true;
        }
        digests->push_back(entry);
    }
    std::lock_guard lock(m_lock);
    m_stored = std::move(digests);
}

bool TokenDigests::contains(const platform::SHA256Digest& digest) const
{
    return lastMatch(digest).has_value();
}

std::optional<std::size_t> TokenDigests::lastMatch(const platform::SHA256Digest& digest) const
{
    std::shared_ptr<const Entries> stored;
    {
        std::lock_guard lock(m_lock);
        stored = m_stored;
    }
    std::optional<std::size_t> match;
    for (std::size_t index = 0; index < stored->size(); ++index) {
        const Entry& entry = (*stored)[index];
        // No early exit: the time taken must not tell which entry, if any, matched.
        if (sameDigest(entry.digest, digest) & entry.valid)
            match = index;
    }
    return match;
}

}
