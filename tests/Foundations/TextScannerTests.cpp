// The scanner's Unicode notions against ICU's regular-expression engine: every code point for the
// classes, random texts for \b and for case-insensitive literals.
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vellumar::detail {
namespace {

    std::unique_ptr<icu::RegexPattern> compiled(const char* expression, uint32_t flags = 0)
    {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        std::unique_ptr<icu::RegexPattern> pattern(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(expression), flags, parseError, status));
        EXPECT_TRUE(U_SUCCESS(status)) << expression;
        return pattern;
    }

    // The code points that `expression` (one character class) matches, out of all of them.
    std::set<UChar32> membersByICU(const char* expression, uint32_t flags)
    {
        icu::UnicodeString everything;
        for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
            if (c < 0xD800 || c > 0xDFFF)
                everything.append(c);
        }
        auto pattern = compiled(expression, flags);
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(everything, status));
        std::set<UChar32> members;
        while (matcher->find(status))
            members.insert(everything.char32At(matcher->start(status)));
        return members;
    }

    TEST(TextScanner, ClassesHoldTheSameCodePointsAsICU)
    {
        const std::tuple<const char*, uint32_t, bool (*)(char32_t)> cases[] = {
            { R"(\s)", 0, isWhiteSpace },
            { "[A-Za-z]", UREGEX_CASE_INSENSITIVE, isCaselessLetter },
        };
        for (const auto& [expression, flags, predicate] : cases) {
            SCOPED_TRACE(expression);
            auto members = membersByICU(expression, flags);
            int differences = 0;
            for (UChar32 c = 0; c <= 0x10FFFF && differences < 10; ++c) {
                if (c >= 0xD800 && c <= 0xDFFF)
                    continue;
                bool expected = members.contains(c);
                if (predicate(static_cast<char32_t>(c)) != expected) {
                    ++differences;
                    ADD_FAILURE() << "U+" << std::hex << c << " should " << (expected ? "" : "not ")
                                  << "be a member";
                }
            }
        }
    }

    // The length in UTF-8 of the first `units` UTF-16 units of `text`.
    std::size_t utf8Length(const icu::UnicodeString& text, int32_t units)
    {
        std::string result;
        return text.tempSubString(0, units).toUTF8String(result).size();
    }

    std::string randomText(
        std::mt19937& random, const std::vector<std::string>& alphabet, std::size_t maximumLength)
    {
        std::uniform_int_distribution<std::size_t> length(0, maximumLength);
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        std::string text;
        for (auto count = length(random); count > 0; --count)
            text += alphabet[pick(random)];
        return text;
    }

    TEST(TextScanner, WordBoundariesFallWhereICUPutsThem)
    {
        // Word and non-word characters, combining marks, format characters (soft hyphen, ZWJ), astral
        // letters.
        const std::vector<std::string> alphabet
            = { "a", "1", "_", "-", " ", "\xcc\x81", "\xc2\xad", "\xc3\xa9", "\xe4\xb8\xad", "\xe2\x80\x8d",
                  "\xf0\x9d\x92\xb3", "\xe2\x83\x9d" /* enclosing circle */ };
        auto boundary = compiled(R"(\b)");
        std::mt19937 random(5);
        for (int round = 0; round < 2000; ++round) {
            auto text = randomText(random, alphabet, 8);
            SCOPED_TRACE(text);
            auto input = icu::UnicodeString::fromUTF8(text);
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::RegexMatcher> matcher(boundary->matcher(input, status));
            std::set<std::size_t> expected;
            while (matcher->find(status))
                expected.insert(utf8Length(input, matcher->start(status)));
            TextScanner scanner(text);
            std::set<std::size_t> actual;
            for (std::size_t offset = 0;; offset += scanner.at(offset).size) {
                if (scanner.isWordBoundary(offset))
                    actual.insert(offset);
                if (offset == text.size())
                    break;
            }
            EXPECT_EQ(actual, expected);
        }
    }

    TEST(TextScanner, CaselessLiteralsMatchAsICUFoldsThem)
    {
        // Characters whose full case folding is or holds an ASCII letter of the literals.
        const std::vector<std::string> alphabet = { "p", "P", "a", "s", "S", "\xc5\xbf" /* ſ */,
            "\xc3\x9f" /* ß */, "\xe1\xba\x9e" /* ẞ */, "k", "\xe2\x84\xaa" /* Kelvin */, "e", "y", "i",
            "\xc4\xb0" /* İ */, "t", "\xef\xac\x86" /* ﬆ */ };
        std::mt19937 random(11);
        for (const char* literal : { "pass", "key", "secret", "api", "st" }) {
            auto pattern = compiled(literal, UREGEX_CASE_INSENSITIVE);
            for (int round = 0; round < 3000; ++round) {
                auto text = randomText(random, alphabet, 5);
                SCOPED_TRACE(std::string(literal) + " on " + text);
                auto input = icu::UnicodeString::fromUTF8(text);
                UErrorCode status = U_ZERO_ERROR;
                std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
                std::optional<std::size_t> expected;
                if (matcher->lookingAt(status))
                    expected = utf8Length(input, matcher->end(status));
                EXPECT_EQ(TextScanner(text).matchCaseless(0, literal), expected);
            }
        }
    }

    // Decoding itself is the Unicode scalar reader's; here, that its pieces read as U+FFFD both ways.
    TEST(TextScanner, ReadsIllFormedBytesAsReplacementCharacters)
    {
        TextScanner scanner("\xc3\xa9\xe2\x82"
                            "a\xf0\x9d\x92\xb3\xa9");
        auto read
            = [](auto scalar) { return std::pair(std::uint32_t(scalar.value), std::size_t(scalar.size)); };
        EXPECT_EQ(read(scanner.at(0)), std::pair(0xE9u, std::size_t(2)));
        EXPECT_EQ(read(scanner.at(2)), std::pair(0xFFFDu, std::size_t(2)));
        EXPECT_EQ(read(scanner.before(9)), std::pair(0x1D4B3u, std::size_t(4)));
        EXPECT_EQ(read(scanner.before(10)), std::pair(0xFFFDu, std::size_t(1)));
        EXPECT_EQ(scanner.at(10).size, 0u);
    }

}
}
