// Numbers read from query values, shared by the router's areas.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace vellumar::detail {

// The whole text as one number: a decimal one, with a fraction when `Number` has them, and at most
// one sign, "+" or "-" (from_chars takes only the second itself).
template <typename Number> std::optional<Number> parsedNumber(std::string_view text)
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
