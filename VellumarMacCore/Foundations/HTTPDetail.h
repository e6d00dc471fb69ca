// Small text helpers shared by the HTTP message types and the request parser.
#pragma once

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
