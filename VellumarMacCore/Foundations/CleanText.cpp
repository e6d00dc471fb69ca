#include "VellumarMacCore/Foundations/CleanText.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <unicode/uchar.h>

#include <cstdint>

namespace vellumar::CleanText {

namespace {

    constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
    constexpr std::string_view kDefaultDeviceName = "iPhone";
    constexpr std::size_t kDeviceNameCharacters = 40;

    // Calls `visit(scalar, offset, length)` for each Unicode scalar in order; a broken UTF-8 sequence
    // arrives as a negative scalar covering its bytes. Stops early when `visit` returns false.
    template <typename Visit> void forEachScalar(std::string_view text, Visit visit)
    {
        for (std::size_t index = 0; index < text.size();) {
            std::size_t start = index;
            UChar32 scalar = detail::nextScalar(text, index);
            if (!visit(scalar, start, index - start))
                return;
        }
    }

    // Unicode space, line and paragraph separators, tab, U+000A to U+000D and U+0085.
    bool isWhitespaceOrLineBreak(UChar32 scalar)
    {
        if (scalar == 0x09 || (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85)
            return true;
        auto category = u_charType(scalar);
        return category == U_SPACE_SEPARATOR || category == U_LINE_SEPARATOR
            || category == U_PARAGRAPH_SEPARATOR;
    }

    bool isControl(UChar32 scalar) { return u_charType(scalar) == U_CONTROL_CHAR; }

    // The text without whitespace and line breaks at either end, or nullopt for broken UTF-8.
    std::optional<std::string_view> trimmed(std::string_view text)
    {
        std::size_t begin = text.size();
        std::size_t end = 0;
        bool valid = true;
        forEachScalar(text, [&](UChar32 scalar, std::size_t offset, std::size_t length) {
            valid = scalar >= 0;
            if (valid && !isWhitespaceOrLineBreak(scalar)) {
                begin = std::min(begin, offset);
                end = offset + length;
            }
            return valid;
        });
        if (!valid)
            return std::nullopt;
        return begin < end ? text.substr(begin, end - begin) : std::string_view();
    }

}

std::optional<std::string> trimmedField(std::string_view text, std::size_t maximum, LineBreaks lineBreaks)
{
    auto field = trimmed(text);
    if (!field || characterPrefixLength(*field, maximum) < field->size())
        return std::nullopt;
    bool accepted = true;
    forEachScalar(*field, [&](UChar32 scalar, std::size_t, std::size_t) {
        bool isLineBreak = scalar == 0x09 || scalar == 0x0A || scalar == 0x0D;
        accepted = !isControl(scalar) || (lineBreaks == LineBreaks::allowed && isLineBreak);
        return accepted;
    });
    if (!accepted)
        return std::nullopt;
    return std::string(*field);
}

std::string deviceName(const std::optional<std::string>& name)
{
    std::string kept;
    if (name) {
        kept.reserve(name->size());
        forEachScalar(*name, [&](UChar32 scalar, std::size_t offset, std::size_t length) {
            if (scalar < 0)
                kept += kReplacementCharacter;
            else if (!isControl(scalar))
                kept += std::string_view(*name).substr(offset, length);
            return true;
        });
    }
    // Broken sequences were replaced above, so the text is valid UTF-8 here.
    std::string_view field = trimmed(kept).value_or(std::string_view());
    if (field.empty())
        return std::string(kDefaultDeviceName);
    return prefixCharacters(field, kDeviceNameCharacters);
}

}

namespace vellumar {

bool containsControlCharacters(std::string_view text)
{
    for (std::size_t index = 0; index < text.size();) {
        std::int32_t scalar = detail::nextScalar(text, index);
        if (scalar == detail::kMalformedScalar || detail::isControlScalar(scalar))
            return true;
    }
    return false;
}

}
