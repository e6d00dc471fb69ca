// Reading UTF-8 one Unicode scalar at a time: the one decoding rule of every reader of outside text
// here (JSON, HTTP, the cleaners, the secret scans).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumar::detail {

inline constexpr std::int32_t kMalformedScalar = -1;

struct DecodedScalar {
    std::int32_t scalar; // kMalformedScalar for an ill-formed piece
    std::size_t length; // bytes read: the sequence, or the maximal ill-formed piece
};

// Decodes the scalar at the start of `bytes`, which must not be empty. RFC 3629 §3-4: overlong
// forms, surrogates and values past U+10FFFF are malformed; a malformed sequence ends at the first
// byte that cannot continue it, so each maximal ill-formed piece reads as one scalar, as the
// Unicode standard's U+FFFD substitution (and ICU, and Python) read it.
constexpr DecodedScalar decodeScalar(std::string_view bytes) noexcept
{
    auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80)
        return { lead, 1 };
    std::size_t length;
    std::int32_t scalar;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        scalar = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80; // below is overlong
        high = lead == 0xED ? 0x9F : 0xBF; // above is a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        scalar = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80; // below is overlong
        high = lead == 0xF4 ? 0x8F : 0xBF; // above is past U+10FFFF
    } else {
        return { kMalformedScalar, 1 };
    }
    for (std::size_t index = 1; index < length; ++index) {
        if (index == bytes.size())
            return { kMalformedScalar, index };
        auto next = static_cast<unsigned char>(bytes[index]);
        if (next < low || next > high)
            return { kMalformedScalar, index };
        low = 0x80;
        high = 0xBF;
        scalar = (scalar << 6) | (next & 0x3F);
    }
    return { scalar, length };
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
    auto decoded = decodeScalar(bytes);
    return decoded.scalar == kMalformedScalar ? 0 : decoded.length;
}

constexpr bool isValidUTF8(std::string_view bytes) noexcept
{
    for (std::size_t index = 0; index < bytes.size();) {
        if (static_cast<unsigned char>(bytes[index]) < 0x80)
            ++index;
        else if (nextScalar(bytes, index) == kMalformedScalar)
            return false;
    }
    return true;
}

// C0 and C1 controls and DEL: U+0000-U+001F and U+007F-U+009F.
constexpr bool isControlScalar(std::int32_t scalar)
{
    return (scalar >= 0x00 && scalar <= 0x1F) || (scalar >= 0x7F && scalar <= 0x9F);
}

}
