// Small text helpers shared by the HTTP message types and the request parser.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace vellumar::detail {

// Header names and Connection tokens are ASCII tokens, so ASCII folding is the whole story.
inline char asciiLowercased(char character) noexcept
{
    return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a') : character;
}

inline void lowercaseASCII(std::string& text) noexcept
{
    for (char& character : text)
        character = asciiLowercased(character);
}

inline std::string asciiLowercased(std::string_view text)
{
    std::string lowered(text);
    lowercaseASCII(lowered);
    return lowered;
}

inline bool equalsIgnoringASCIICase(std::string_view text, std::string_view other) noexcept
{
    return text.size() == other.size()
        && std::equal(text.begin(), text.end(), other.begin(),
            [](char left, char right) { return asciiLowercased(left) == asciiLowercased(right); });
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
