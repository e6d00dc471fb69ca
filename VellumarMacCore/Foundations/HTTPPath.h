// Decoding of a request target's path and query, shared by both transports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// RFC 3986 §2.1 decoding of one text; "+" is kept as it is. Absent when an escape is malformed or
// the decoded bytes are not UTF-8 as a whole (an escape may not split a character into another).
std::optional<std::string> percentDecoded(std::string_view text);

// RFC 3986 §2.1 encoding: every byte outside the unreserved set (letters, digits and "-._~") becomes
// "%" and two upper-case hexadecimal digits. Absent when the text is not UTF-8.
std::optional<std::string> percentEncoded(std::string_view text);
// The same encoding of any bytes, keeping those `isKept` accepts as they are.
std::string percentEncodedBytes(std::string_view text, bool (*isKept)(unsigned char byte));

// The "/"-separated pieces of `path` after its leading "/", each percent-decoded; splitting happens
// before decoding, so "%2F" stays inside its segment. One trailing empty piece is dropped ("/" gives
// none). Absent when the path does not begin with "/", an escape is malformed or a piece is not UTF-8.
std::optional<std::vector<std::string>> splitPathSegments(std::string_view path);

// The "&"-separated items of a query text, split at their first "=" and percent-decoded; "+" is kept
// as it is. Absent when any name or value cannot be decoded.
std::optional<QueryItems> parseQuery(std::string_view text);

}
