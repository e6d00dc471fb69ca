// Pieces shared by the JSON decoder and encoder.
#pragma once

#include <cstddef>
#include <string_view>

namespace vellumar::detail {

// Length of the well-formed UTF-8 sequence at the start of `bytes` (RFC 3629 §4), or 0 when it is
// malformed: overlong forms, encoded surrogates and scalars above U+10FFFF are all refused.
constexpr std::size_t validUTF8SequenceLength(std::string_view bytes) noexcept
{
    if (bytes.empty())
        return 0;
    auto at = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            secondLow = 0xA0; // below is overlong
        else if (lead == 0xED)
            secondHigh = 0x9F; // above is a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            secondLow = 0x90; // below is overlong
        else if (lead == 0xF4)
            secondHigh = 0x8F; // above is past U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < secondLow || at(1) > secondHigh)
        return 0;
    for (std::size_t index = 2; index < length; ++index) {
        if (at(index) < 0x80 || at(index) > 0xBF)
            return 0;
    }
    return length;
}

}
