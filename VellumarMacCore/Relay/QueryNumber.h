// Numbers in the query of a request, read the one way every area of the router reads them.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace vellumar::detail {

// The whole text as one number: a decimal one, with a fraction when `Number` has them, and at most
// one sign, "+" or "-" (from_chars takes only the second itself). Nothing for an empty text, any
// other character, or a value beyond `Number`.
template <typename Number> std::optional<Number> parsedQueryNumber(std::string_view text)
{
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-'))
            return std::nullopt;
    }
    Number value {};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}
