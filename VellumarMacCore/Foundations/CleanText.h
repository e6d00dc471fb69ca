// Cleaning of short texts that come from the phone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::CleanText {

enum class LineBreaks { refused, allowed };

// Trimmed text, or nullopt when it is longer than `maximum` grapheme clusters or holds a
// control character (tab, LF and CR pass when line breaks are allowed). Empty stays empty.
std::optional<std::string> trimmedField(std::string_view text, std::size_t maximum, LineBreaks lineBreaks);

// Always a usable name: controls dropped, trimmed, "iPhone" when empty, at most 40 grapheme clusters.
std::string deviceName(const std::optional<std::string>& name);

}
