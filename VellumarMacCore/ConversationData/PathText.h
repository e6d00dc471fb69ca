// Text helpers shared by the upload rules and the work folders: user-perceived characters
// (grapheme clusters) and the pieces of "/"-separated paths.
#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <string_view>

namespace vellumar::detail {

std::int64_t characterCount(const icu::UnicodeString& text);
std::int64_t characterCount(std::string_view utf8);

// The first `count` grapheme clusters (all of them when there are fewer).
icu::UnicodeString prefixCharacters(const icu::UnicodeString& text, std::int64_t count);

icu::UnicodeString unicodeString(std::string_view utf8);

// The last non-empty "/"-separated piece; empty when there is none.
std::string_view lastPathPiece(std::string_view path);

}
