#include "VellumarMacCore/Foundations/Whitespace.h"

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace vellumar {

namespace {

    // ICU's U8_PREV reads a maximal ill-formed piece as one malformed scalar, as nextScalar does
    // forwards, so both ends see the same scalars.
    template <typename Predicate> std::string_view trimming(std::string_view text, Predicate matches)
    {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        const auto length = static_cast<std::int64_t>(text.size());
        std::int64_t start = 0;
        for (std::size_t next = 0; next < text.size();) {
            auto scalar = detail::nextScalar(text, next);
            if (scalar == detail::kMalformedScalar || !matches(scalar))
                break;
            start = static_cast<std::int64_t>(next);
        }
        std::int64_t end = length;
        while (end > start) {
            // U8_PREV indexes with int32_t; one longest sequence back is all it reads anyway.
            auto window = static_cast<std::int32_t>(std::min<std::int64_t>(end - start, U8_MAX_LENGTH));
            std::int32_t index = window;
            UChar32 scalar;
            U8_PREV(bytes + end - window, 0, index, scalar);
            if (scalar < 0 || !matches(scalar))
                break;
            end -= window - index;
        }
        return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
    }

}

std::string_view trimmingWhitespaceAndNewlines(std::string_view text)
{
    return trimming(text, [](UChar32 scalar) { return u_isUWhiteSpace(scalar) != 0; });
}

std::string_view trimmingBlanks(std::string_view text)
{
    return trimming(text, [](UChar32 scalar) { return u_isblank(scalar) != 0; });
}

}
