// What the JSON reader and writer share: finding where a run of string bytes that both copy as they
// are ends, eight ASCII bytes at a time.
#pragma once

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vellumar::detail {

// The index of the first byte at or after `from` that is a control, '"', '\\' or not ASCII; the size
// of `text` when there is none.
inline std::size_t endOfPlainJSONRun(std::string_view text, std::size_t from) noexcept
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    // A byte of `word` below `limit` (at most 0x80) sets the high bit of its lane: borrows from a lane
    // only reach lanes above it, which the lowest flagged lane (the one that matters) never depends on.
    auto below
        = [](std::uint64_t word, std::uint64_t limit) { return (word - ones * limit) & ~word & highBits; };
    auto equal = [&](std::uint64_t word, unsigned char byte) { return below(word ^ (ones * byte), 1); };
    std::size_t index = from;
    for (; index + 8 <= text.size(); index += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + index, sizeof word);
        if ((word & highBits) | below(word, 0x20) | equal(word, '"') | equal(word, '\\'))
            break;
    }
    for (; index < text.size(); ++index) {
        auto byte = static_cast<unsigned char>(text[index]);
        if (byte >= 0x80 || byte < 0x20 || byte == '"' || byte == '\\')
            break;
    }
    return index;
}

// The index of the first byte at or after `from` that is a control, '"', '\\' or the start of a
// sequence that is not well-formed UTF-8; the size of `text` when there is none.
inline std::size_t endOfVerbatimJSONRun(std::string_view text, std::size_t from) noexcept
{
    std::size_t index = endOfPlainJSONRun(text, from);
    while (index < text.size() && static_cast<unsigned char>(text[index]) >= 0x80) {
        std::size_t length = validUTF8SequenceLength(text.substr(index));
        if (length == 0)
            break;
        index = endOfPlainJSONRun(text, index + length);
    }
    return index;
}

}
