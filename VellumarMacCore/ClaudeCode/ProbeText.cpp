#include "VellumarMacCore/ClaudeCode/ProbeText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace vellumar::detail {

std::string_view trimmingBlanks(std::string_view text) noexcept
{
    auto length = static_cast<std::int32_t>(text.size());
    std::int32_t start = 0;
    while (start < length) {
        std::int32_t next = start;
        UChar32 scalar;
        U8_NEXT(text.data(), next, length, scalar);
        if (!u_isblank(scalar))
            break;
        start = next;
    }
    std::int32_t end = length;
    while (end > start) {
        std::int32_t previous = end;
        UChar32 scalar;
        U8_PREV(text.data(), start, previous, scalar);
        if (!u_isblank(scalar))
            break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

}
