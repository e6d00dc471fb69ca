// Trimming texts of Unicode white space, as the phone's own text fields do.
#pragma once

#include <string_view>

namespace vellumar {

// The text without white space and line breaks at either end: the Unicode White_Space property,
// which is the space, line and paragraph separators, tab, U+000A to U+000D and U+0085. Bytes that are
// not well-formed UTF-8 are not white space, so they end the trimming.
std::string_view trimmingWhitespaceAndNewlines(std::string_view text);

// The text without tabs and space separators (category Zs) at either end; line breaks stay. Bytes
// that are not well-formed UTF-8 end the trimming.
std::string_view trimmingBlanks(std::string_view text);

}
