// User-perceived characters (extended grapheme clusters) of UTF-8 texts: the unit in which the
// texts of this system are measured and cut.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// Any thread may call these; each thread keeps its own break iterator. A run of bytes that is not
// well-formed UTF-8 counts as one U+FFFD per maximal ill-formed piece and is kept as it is. ICU
// positions are 32-bit, so only the first 2 GiB of a text are segmented; every byte past them counts
// as one character of its own, which never under-counts.

std::size_t characterCount(std::string_view utf8);

// The byte length of the first `count` characters; the whole length when there are no more.
std::size_t characterPrefixLength(std::string_view utf8, std::size_t count);

// The first `count` characters; the whole text when there are no more.
std::string prefixCharacters(std::string_view utf8, std::size_t count);

// Each character's bytes, in order, as views into `utf8`; joined they give the text back.
std::vector<std::string_view> characters(std::string_view utf8);

}
