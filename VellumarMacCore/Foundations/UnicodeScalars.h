// Reading UTF-8 one Unicode scalar at a time, for the checks that refuse control characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumar::detail {

inline constexpr std::int32_t kMalformedScalar = -1;

// Decodes the scalar at `index` and moves past it. RFC 3629 §3-4: overlong forms, surrogates and
// values past U+10FFFF are malformed (kMalformedScalar); a malformed sequence is skipped up to the
// first byte that cannot continue it.
std::int32_t nextScalar(std::string_view text, std::size_t& index);

// C0 and C1 controls and DEL: U+0000-U+001F and U+007F-U+009F.
constexpr bool isControlScalar(std::int32_t scalar)
{
    return (scalar >= 0x00 && scalar <= 0x1F) || (scalar >= 0x7F && scalar <= 0x9F);
}

}
