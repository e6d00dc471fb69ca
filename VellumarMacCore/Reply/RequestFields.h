// Readers of single members of a job request body, shared by the job records' parsers so that every
// member is bounded, cleaned and refused the same way.
#pragma once

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::detail {

// A member that was left out or sent as null.
inline bool isAbsent(const JSON* value) { return !value || value->isNull(); }

// True when every key of the object is one of `keys`.
bool hasOnlyKeys(const JSON::Object& object, std::initializer_list<std::string_view> keys);

// The member's string, trimmed and checked by CleanText::trimmedField; nullopt when the member is
// absent, not a string, or refused. An empty result is the caller's to judge.
std::optional<std::string> cleanedString(
    const JSON* value, std::size_t maximumCharacters, CleanText::LineBreaks lineBreaks);

// Like `cleanedString`, but absent or null gives the empty text and every other failure throws
// RelayHTTPError 400 "bad_request" with `message`.
std::string optionalCleanedString(const JSON* value, std::size_t maximumCharacters,
    CleanText::LineBreaks lineBreaks, std::string_view message);

// The thrown form of every refusal in a job request.
[[noreturn]] void refuse(std::string_view message);

}
