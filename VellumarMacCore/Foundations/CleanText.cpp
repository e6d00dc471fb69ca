#include "VellumarMacCore/Foundations/CleanText.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

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

    bool isControl(UChar32 scalar) { return u_charType(scalar) == U_CONTROL_CHAR; }

}

std::optional<std::string> trimmedField(std::string_view text, std::size_t maximum, LineBreaks lineBreaks)
{
    if (!detail::isValidUTF8(text))
        return std::nullopt;
    auto field = trimmingWhitespaceAndNewlines(text);
    if (characterPrefixLength(field, maximum) < field.size())
        return std::nullopt;
    bool accepted = true;
    forEachScalar(field, [&](UChar32 scalar, std::size_t, std::size_t) {
        bool isLineBreak = scalar == 0x09 || scalar == 0x0A || scalar == 0x0D;
        accepted = !isControl(scalar) || (lineBreaks == LineBreaks::allowed && isLineBreak);
        return accepted;
    });
    if (!accepted)
        return std::nullopt;
    return std::string(field);
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
    std::string_view field = trimmingWhitespaceAndNewlines(kept);
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
