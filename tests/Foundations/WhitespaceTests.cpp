#include "VellumarMacCore/Foundations/Whitespace.h"

#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf.h>

#include <string>

namespace vellumar {
namespace {

    // Bytes that are not well-formed UTF-8 are no white space: they end the trimming from either side.
    TEST(Whitespace, BrokenBytesEndTheTrimming)
    {
        const std::pair<std::string, std::string> cases[] = { { "\xFF x ", "\xFF x" },
            { " x \xE3\x80", "x \xE3\x80" }, { " \xC2\xA0\x80\xC2\xA0 ", "\x80" } };
        for (const auto& [text, expected] : cases) {
            EXPECT_EQ(trimmingWhitespaceAndNewlines(text), expected) << testing::PrintToString(text);
            EXPECT_EQ(trimmingBlanks(text), expected) << testing::PrintToString(text);
        }
    }

    // Every scalar, alone between letters and alone at the ends: trimmed exactly when it is a space,
    // line or paragraph separator, tab, U+000A to U+000D or U+0085 (blanks: tab and space separators).
    TEST(Whitespace, TrimsExactlyTheSeparatorsTabAndLineBreaksOfEveryScalar)
    {
        for (UChar32 scalar = 0; scalar <= 0x10FFFF; ++scalar) {
            if (U_IS_SURROGATE(scalar))
                continue;
            auto category = u_charType(scalar);
            bool isSpace = category == U_SPACE_SEPARATOR;
            bool isWhite = isSpace || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR
                || scalar == 0x09 || (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85;
            bool isBlank = isSpace || scalar == 0x09;
            std::string alone;
            icu::UnicodeString(scalar).toUTF8String(alone);
            ASSERT_EQ(trimmingWhitespaceAndNewlines(alone).empty(), isWhite) << std::hex << scalar;
            ASSERT_EQ(trimmingBlanks(alone).empty(), isBlank) << std::hex << scalar;
            std::string inside = "a" + alone + "b";
            ASSERT_EQ(trimmingWhitespaceAndNewlines(inside), inside) << std::hex << scalar;
        }
    }

}
}
