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

}
