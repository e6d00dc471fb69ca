#include "VellumarMacCore/Foundations/TextScanner.h"

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace vellumar::detail {

namespace {

    constexpr char32_t kReplacementCharacter = 0xFFFD;
    constexpr std::size_t kLongestSequence = U8_MAX_LENGTH;

    TextScanner::CodePoint decoded(UChar32 value, int32_t size)
    {
        return { value < 0 ? kReplacementCharacter : static_cast<char32_t>(value),
            static_cast<std::size_t>(size) };
    }

    // ICU's \w: [\p{Alphabetic}\p{Mark}\p{Decimal_Number}\p{Connector_Punctuation}\u200C\u200D].
    bool isWordCharacter(char32_t c)
    {
        if (c < 0x80)
            return isASCIIAlphanumeric(c) || c == '_';
        auto codePoint = static_cast<UChar32>(c);
        switch (u_charType(codePoint)) {
        case U_NON_SPACING_MARK:
        case U_ENCLOSING_MARK:
        case U_COMBINING_SPACING_MARK:
        case U_DECIMAL_DIGIT_NUMBER:
        case U_CONNECTOR_PUNCTUATION:
            return true;
        default:
            return c == 0x200C || c == 0x200D || u_hasBinaryProperty(codePoint, UCHAR_ALPHABETIC);
        }
    }

    bool belongsToPreviousCharacter(char32_t c)
    {
        if (c < 0x80)
            return false;
        auto codePoint = static_cast<UChar32>(c);
        return u_hasBinaryProperty(codePoint, UCHAR_GRAPHEME_EXTEND)
            || u_charType(codePoint) == U_FORMAT_CHAR;
    }

}

TextScanner::CodePoint TextScanner::decodedAt(std::size_t offset) const
{
    if (offset >= m_text.size())
        return {};
    std::size_t end = offset;
    auto value = nextScalar(m_text, end);
    return decoded(value, static_cast<int32_t>(end - offset));
}

TextScanner::CodePoint TextScanner::before(std::size_t offset) const
{
    if (offset == 0 || offset > m_text.size())
        return {};
    auto last = static_cast<unsigned char>(m_text[offset - 1]);
    if (last < 0x80)
        return { last, 1 };
    auto window = std::min(offset, kLongestSequence);
    auto index = static_cast<int32_t>(window);
    UChar32 value = 0;
    U8_PREV(m_text.data() + offset - window, 0, index, value);
    return decoded(value, static_cast<int32_t>(window) - index);
}

bool TextScanner::isWordBoundary(std::size_t offset) const
{
    bool wordAfter = false;
    if (offset < m_text.size()) {
        auto next = at(offset).value;
        if (belongsToPreviousCharacter(next))
            return false;
        wordAfter = isWordCharacter(next);
    }
    bool wordBefore = false;
    for (auto position = offset; position > 0;) {
        auto previous = before(position);
        if (!belongsToPreviousCharacter(previous.value)) {
            wordBefore = isWordCharacter(previous.value);
            break;
        }
        position -= previous.size;
    }
    return wordAfter != wordBefore;
}

std::optional<std::size_t> TextScanner::matchCaselessFrom(
    std::size_t offset, std::string_view lowercaseLiteral) const
{
    std::size_t matched = 0;
    while (matched < lowercaseLiteral.size()) {
        auto codePoint = at(offset);
        if (codePoint.size == 0)
            return std::nullopt;
        offset += codePoint.size;
        if (codePoint.value < 0x80) {
            auto lowered = isASCIIUpper(codePoint.value) ? codePoint.value + ('a' - 'A') : codePoint.value;
            if (lowered != static_cast<unsigned char>(lowercaseLiteral[matched]))
                return std::nullopt;
            ++matched;
            continue;
        }
        // Only letters fold to anything with an ASCII character in it; masked texts hold many non-letters.
        if (!u_isalpha(static_cast<UChar32>(codePoint.value)))
            return std::nullopt;
        UChar source[U16_MAX_LENGTH];
        int32_t sourceLength = 0;
        U16_APPEND_UNSAFE(source, sourceLength, static_cast<UChar32>(codePoint.value));
        // No full case folding is longer than three UTF-16 units.
        UChar folded[8];
        UErrorCode status = U_ZERO_ERROR;
        auto foldedLength = u_strFoldCase(folded, 8, source, sourceLength, U_FOLD_CASE_DEFAULT, &status);
        if (U_FAILURE(status))
            return std::nullopt;
        for (int32_t unit = 0; unit < foldedLength; ++unit) {
            if (matched == lowercaseLiteral.size()
                || folded[unit] != static_cast<unsigned char>(lowercaseLiteral[matched]))
                return std::nullopt;
            ++matched;
        }
    }
    return offset;
}

bool isNonASCIIWhiteSpace(char32_t c) { return u_isUWhiteSpace(static_cast<UChar32>(c)); }

bool isNonASCIICaselessLetter(char32_t c)
{
    auto folded = u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT);
    return folded < 0x80 && isASCIILetter(static_cast<char32_t>(folded));
}

}
