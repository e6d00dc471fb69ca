// Reading a request's query the strict way every endpoint does: a closed set of names, none twice, and
// numbers that are the whole text.
#pragma once

#include "VellumarMacCore/Foundations/HTTPPath.h"

#include <charconv>
#include <initializer_list>
#include <optional>
#include <string>
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

// Throws RelayHTTPError 400 "bad_request" with `message` when an item has a name outside `allowed`
// or a name comes twice.
void requireOnlyQueryNames(
    const QueryItems& query, std::initializer_list<std::string_view> allowed, std::string_view message);

// The value of the item named `name`, or null.
const std::string* queryItem(const QueryItems& query, std::string_view name);

}
