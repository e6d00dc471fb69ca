// Reading UTF-8 one Unicode scalar at a time: the one decoding rule of every reader of outside text
// here (JSON, HTTP, the cleaners, the secret scans).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellumar::detail {

inline constexpr std::int32_t kMalformedScalar = -1;

// RFC 3629 §4: what a lead byte allows. The byte after it has its own range, which keeps out overlong
// forms (after E0 and F0), surrogates (after ED) and values past U+10FFFF (after F4); the bytes after
// that are 80 to BF.
struct SequenceRule {
    std::size_t length; // 0 when no sequence starts with the byte
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
};

constexpr SequenceRule sequenceRule(unsigned char lead) noexcept
{
    if (lead < 0x80)
        return { 1 };
    if (lead >= 0xC2 && lead <= 0xDF)
        return { 2 };
    if (lead >= 0xE0 && lead <= 0xEF)
        return { 3, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF) };
    if (lead >= 0xF0 && lead <= 0xF4)
        return { 4, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF) };
    return { 0 };
}

struct DecodedScalar {
    std::int32_t scalar; // kMalformedScalar for an ill-formed piece
    std::size_t length; // bytes read: the sequence, or the maximal ill-formed piece
};

// Decodes the scalar at the start of `bytes`, which must not be empty. A malformed sequence ends at
// the first byte that cannot continue it, so each maximal ill-formed piece reads as one scalar, as
// the Unicode standard's U+FFFD substitution (and ICU, and Python) read it.
constexpr DecodedScalar decodeScalar(std::string_view bytes) noexcept
{
    auto lead = static_cast<unsigned char>(bytes[0]);
    auto rule = sequenceRule(lead);
    if (rule.length <= 1)
        return { rule.length == 1 ? lead : kMalformedScalar, 1 };
    std::int32_t scalar = lead & (0x7F >> rule.length);
    for (std::size_t index = 1; index < rule.length; ++index) {
        if (index == bytes.size())
            return { kMalformedScalar, index };
        auto next = static_cast<unsigned char>(bytes[index]);
        if (index == 1 ? next < rule.secondLow || next > rule.secondHigh : next < 0x80 || next > 0xBF)
            return { kMalformedScalar, index };
        scalar = (scalar << 6) | (next & 0x3F);
    }
    return { scalar, rule.length };
}

// Decodes the scalar at `index`, which must be inside `text`, and moves past what it read.
constexpr std::int32_t nextScalar(std::string_view text, std::size_t& index) noexcept
{
    auto decoded = decodeScalar(text.substr(index));
    index += decoded.length;
    return decoded.scalar;
}

// Length of the well-formed sequence at the start of `bytes`, or 0 when it is malformed or empty.
constexpr std::size_t validUTF8SequenceLength(std::string_view bytes) noexcept
{
    if (bytes.empty())
        return 0;
    auto rule = sequenceRule(static_cast<unsigned char>(bytes[0]));
    // The JSON reader calls this on every non-ASCII byte, so it checks without building the scalar.
    if (rule.length <= 1)
        return rule.length;
    auto at = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    if (bytes.size() < rule.length || at(1) < rule.secondLow || at(1) > rule.secondHigh)
        return 0;
    for (std::size_t index = 2; index < rule.length; ++index) {
        if (at(index) < 0x80 || at(index) > 0xBF)
            return 0;
    }
    return rule.length;
}

constexpr bool isValidUTF8(std::string_view bytes) noexcept
{
    // Most text checked here is ASCII (request heads, paths, JSON keys): a block without a byte beyond
    // ASCII is passed over whole, with a loop of no branches that the compiler can widen. A block that
    // has one is walked byte by byte, so text that is not ASCII is not tested twice over.
    constexpr std::size_t kBlockSize = 16;
    for (std::size_t index = 0; index < bytes.size();) {
        if (bytes.size() - index >= kBlockSize) {
            unsigned char anyByte = 0;
            for (std::size_t offset = 0; offset < kBlockSize; ++offset)
                anyByte |= static_cast<unsigned char>(bytes[index + offset]);
            if (anyByte < 0x80) {
                index += kBlockSize;
                continue;
            }
        }
        for (auto blockEnd = index + kBlockSize; index < blockEnd && index < bytes.size();) {
            if (static_cast<unsigned char>(bytes[index]) < 0x80)
                ++index;
            else if (nextScalar(bytes, index) == kMalformedScalar)
                return false;
        }
    }
    return true;
}

// C0 and C1 controls and DEL: U+0000-U+001F and U+007F-U+009F.
constexpr bool isControlScalar(std::int32_t scalar)
{
    return (scalar >= 0x00 && scalar <= 0x1F) || (scalar >= 0x7F && scalar <= 0x9F);
}

// RFC 3629 §3: the UTF-8 bytes of one scalar.
inline void appendUTF8(std::string& out, char32_t scalar)
{
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

}
