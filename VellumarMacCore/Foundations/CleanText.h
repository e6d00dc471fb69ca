// Cleaning of short texts that come from the phone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::CleanText {

enum class LineBreaks { refused, allowed };

// Trimmed text, or nullopt when it is longer than `maximum` grapheme clusters or holds a
// control character (tab, LF and CR pass when line breaks are allowed), or is not valid UTF-8.
// Empty stays empty.
std::optional<std::string> trimmedField(std::string_view text, std::size_t maximum, LineBreaks lineBreaks);

// Always a usable name: controls dropped, trimmed, "iPhone" when empty, at most 40 grapheme clusters.
// Broken UTF-8 sequences become U+FFFD, so the result is always valid UTF-8.
std::string deviceName(const std::optional<std::string>& name);

}

namespace vellumar {

// True when the text holds U+0000 to U+001F or U+007F to U+009F, or is not valid UTF-8 (such
// bytes cannot come from a well-formed name or path either, so they are refused alike).
bool containsControlCharacters(std::string_view text);

}
