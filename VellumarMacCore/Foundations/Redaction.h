// Masks credentials in texts that the system shows or stores.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vellumar::Redaction {

// Three U+FF0A characters.
inline constexpr std::string_view mask = "\xEF\xBC\x8A\xEF\xBC\x8A\xEF\xBC\x8A";

// Every secret masked. Runs in time linear in the text; never fails. Safe from any thread.
std::string redact(std::string_view text);

// Whitespace runs folded to single spaces, trimmed, and cut to `limit` grapheme clusters
// (the last being "…" when cut). `limit` must be positive.
std::string oneLine(std::string_view text, std::size_t limit);

}
