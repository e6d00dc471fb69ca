// Text helpers shared by the upload rules and the work folders: ICU strings from UTF-8 and the
// pieces of "/"-separated paths.
#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <string_view>

namespace vellumar::detail {

icu::UnicodeString unicodeString(std::string_view utf8);

// The last non-empty "/"-separated piece; empty when there is none.
std::string_view lastPathPiece(std::string_view path);

// FIXME: the job manager still measures its interim texts through these two; they go once it calls
// Graphemes.h directly.
std::int64_t characterCount(std::string_view utf8);
icu::UnicodeString prefixCharacters(const icu::UnicodeString& text, std::int64_t count);

}
