// Small text helpers shared by the HTTP message types and the request parser.
#pragma once

#include "VellumarMacCore/Foundations/JSONDetail.h"

#include <string>
#include <string_view>

namespace vellumar::detail {

// Header names and Connection tokens are ASCII tokens, so ASCII folding is the whole story.
inline std::string asciiLowercased(std::string_view text)
{
    std::string lowered(text);
    for (char& character : lowered) {
        if (character >= 'A' && character <= 'Z')
            character = static_cast<char>(character - 'A' + 'a');
    }
    return lowered;
}

inline bool isValidUTF8(std::string_view bytes) noexcept
{
    std::size_t index = 0;
    while (index < bytes.size()) {
        if (static_cast<unsigned char>(bytes[index]) < 0x80) {
            ++index;
            continue;
        }
        std::size_t length = validUTF8SequenceLength(bytes.substr(index));
        if (length == 0)
            return false;
        index += length;
    }
    return true;
}

inline bool isSpaceOrTab(char character) noexcept { return character == ' ' || character == '\t'; }

inline std::string_view trimmedSpacesAndTabs(std::string_view text) noexcept
{
    while (!text.empty() && isSpaceOrTab(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpaceOrTab(text.back()))
        text.remove_suffix(1);
    return text;
}

}
