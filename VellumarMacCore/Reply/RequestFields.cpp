#include "VellumarMacCore/Reply/RequestFields.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <algorithm>

namespace vellumar::detail {

bool hasOnlyKeys(const JSON::Object& object, std::initializer_list<std::string_view> keys)
{
    return std::ranges::all_of(
        object, [&](const auto& member) { return std::ranges::find(keys, member.first) != keys.end(); });
}

std::optional<std::string> cleanedString(
    const JSON* value, std::size_t maximumCharacters, CleanText::LineBreaks lineBreaks)
{
    const std::string* text = value ? value->stringValue() : nullptr;
    if (!text)
        return std::nullopt;
    return CleanText::trimmedField(*text, maximumCharacters, lineBreaks);
}

std::string optionalCleanedString(const JSON* value, std::size_t maximumCharacters,
    CleanText::LineBreaks lineBreaks, std::string_view message)
{
    if (isAbsent(value))
        return {};
    auto text = cleanedString(value, maximumCharacters, lineBreaks);
    if (!text)
        refuse(message);
    return std::move(*text);
}

void refuse(std::string_view message) { throw RelayHTTPError::badRequest(std::string(message)); }

}
