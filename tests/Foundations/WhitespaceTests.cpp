#include "VellumarMacCore/Foundations/Whitespace.h"

#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string>

namespace vellumar {
namespace {

    std::string utf8(UChar32 scalar)
    {
        char bytes[U8_MAX_LENGTH];
        std::int32_t length = 0;
        U8_APPEND_UNSAFE(bytes, length, scalar);
        return std::string(bytes, static_cast<std::size_t>(length));
    }

    TEST(Whitespace, TrimsWhitespaceAndNewlinesAtBothEndsOnly)
    {
        struct Case {
            const char* name;
            std::string text;
            std::string expected;
        };
        const Case cases[] = {
            { "empty", "", "" },
            { "only white space", " \t\r\n\v\f", "" },
            { "inner white space stays", "  a b\n c  ", "a b\n c" },
            { "next line, no-break and ideographic spaces", "\xC2\x85\xC2\xA0x\xE3\x80\x80", "x" },
            { "line and paragraph separators", "\xE2\x80\xA8x\xE2\x80\xA9", "x" },
            { "zero-width space is not white space", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx" },
            { "broken byte at the start ends the trimming", "\xFF x ", "\xFF x" },
            { "truncated sequence at the end is kept", " x \xE3\x80", "x \xE3\x80" },
            { "broken byte between spaces", "  \x80  ", "\x80" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.name);
            EXPECT_EQ(trimmingWhitespaceAndNewlines(test.text), test.expected);
        }
    }

    TEST(Whitespace, TrimsBlanksButKeepsLineBreaks)
    {
        struct Case {
            const char* name;
            std::string text;
            std::string expected;
        };
        const Case cases[] = {
            { "tabs and spaces", "\t x \t", "x" },
            { "line breaks stay", "\n x \n", "\n x \n" },
            { "no-break space is a blank", "\xC2\xA0x\xC2\xA0", "x" },
            { "line separator is no blank", "\xE2\x80\xA8x", "\xE2\x80\xA8x" },
            { "only blanks", " \t ", "" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.name);
            EXPECT_EQ(trimmingBlanks(test.text), test.expected);
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
            std::string alone = utf8(scalar);
            ASSERT_EQ(trimmingWhitespaceAndNewlines(alone).empty(), isWhite) << std::hex << scalar;
            ASSERT_EQ(trimmingBlanks(alone).empty(), isBlank) << std::hex << scalar;
            std::string inside = "a" + alone + "b";
            ASSERT_EQ(trimmingWhitespaceAndNewlines(inside), inside) << std::hex << scalar;
        }
    }

}
}
