// Reading the text that a probe (the login shell, `claude --version`) printed.
#pragma once

#include <string_view>

namespace vellumar::detail {

// `text` without tabs and space separators (Unicode category Zs) at either end; line breaks stay.
// `text` must be valid UTF-8.
std::string_view trimmingBlanks(std::string_view text) noexcept;

}
