#include "VellumarMacCore/Foundations/CleanText.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using CleanText::LineBreaks;

    std::string repeated(std::string_view piece, std::size_t count)
    {
        std::string text;
        for (std::size_t i = 0; i < count; ++i)
            text += piece;
        return text;
    }

    // "e" and a combining acute accent: two scalars, one character.
    constexpr std::string_view kDecomposedE = "e\xCC\x81";

    TEST(CleanText, TrimmedFieldCases)
    {
        struct Case {
            const char* name;
            std::string text;
            std::size_t maximum;
            LineBreaks lineBreaks;
            std::optional<std::string> expected;
        };
        const Case cases[] = {
            { "word in spaces, maximum 2", "  ok  ", 2, LineBreaks::refused, "ok" },
            { "word in spaces, maximum 1", "  ok  ", 1, LineBreaks::refused, std::nullopt },
            { "inner tab refused", "a\tb", 10, LineBreaks::refused, std::nullopt },
            { "inner tab allowed", "a\tb", 10, LineBreaks::allowed, "a\tb" },
            { "inner line feed allowed", "a\nb", 10, LineBreaks::allowed, "a\nb" },
            { "inner carriage return refused", "a\rb", 10, LineBreaks::refused, std::nullopt },
            { "other control refused even with line breaks",
                "a\x01"
                "b",
                10, LineBreaks::allowed, std::nullopt },
            { "delete refused", "a\x7f", 10, LineBreaks::allowed, std::nullopt },
            { "inner next-line (a control) refused",
                "a\xC2\x85"
                "b",
                10, LineBreaks::allowed, std::nullopt },
            { "whitespace only", " \t\n\r \xC2\xA0 ", 5, LineBreaks::refused, "" },
            { "empty", "", 0, LineBreaks::refused, "" },
            { "maximum 0 with text", "a", 0, LineBreaks::refused, std::nullopt },
            { "trailing spaces do not count", "ab" + std::string(100, ' '), 2, LineBreaks::refused, "ab" },
            { "unicode separators trimmed", "\xE2\x80\xA8\xE3\x80\x80name\xE2\x80\xA9\xC2\x85", 4,
                LineBreaks::refused, "name" },
            { "inner line separator is no control",
                "a\xE2\x80\xA8"
                "b",
                3, LineBreaks::refused,
                "a\xE2\x80\xA8"
                "b" },
            { "zero-width space is kept",
                "\xE2\x80\x8B"
                "a",
                2, LineBreaks::refused,
                "\xE2\x80\x8B"
                "a" },
            { "combining accent is one character", std::string(kDecomposedE), 1, LineBreaks::refused,
                std::string(kDecomposedE) },
            { "flag is one character", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", 1, LineBreaks::refused,
                "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" },
            { "CR LF is one character", "a\r\nb", 3, LineBreaks::allowed, "a\r\nb" },
            { "25 decomposed letters within 25", repeated(kDecomposedE, 25), 25, LineBreaks::refused,
                repeated(kDecomposedE, 25) },
            { "25 decomposed letters over 24", repeated(kDecomposedE, 25), 24, LineBreaks::refused,
                std::nullopt },
            { "invalid byte",
                "a\xFF"
                "b",
                10, LineBreaks::allowed, std::nullopt },
            { "truncated sequence", "a\xC3", 10, LineBreaks::allowed, std::nullopt },
            { "overlong slash", "\xC0\xAF", 10, LineBreaks::allowed, std::nullopt },
            { "encoded surrogate", "\xED\xA0\x80", 10, LineBreaks::allowed, std::nullopt },
            { "broken byte in trailing spaces", "ab \xFF ", 10, LineBreaks::allowed, std::nullopt },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(CleanText::trimmedField(testCase.text, testCase.maximum, testCase.lineBreaks),
                testCase.expected);
        }
    }

    TEST(CleanText, DeviceNameCases)
    {
        const std::string fifty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx";
        struct Case {
            const char* name;
            std::optional<std::string> text;
            std::string expected;
        };
        const Case cases[] = {
            { "absent", std::nullopt, "iPhone" },
            { "empty", "", "iPhone" },
            { "controls and spaces only", "\x01 \x02\t \n\x7f ", "iPhone" },
            { "trimmed", "  Anna's iPhone \n", "Anna's iPhone" },
            { "inner control dropped",
                "Ann\x07"
                "a",
                "Anna" },
            { "control between spaces before the name", " \x01 Bob", "Bob" },
            { "inner spaces kept", "Bob  the  phone", "Bob  the  phone" },
            { "50 characters cut to 40", fifty, fifty.substr(0, 40) },
            { "40 characters and trailing spaces", fifty.substr(0, 40) + "   ", fifty.substr(0, 40) },
            { "50 decomposed letters cut to 40 characters", repeated(kDecomposedE, 50),
                repeated(kDecomposedE, 40) },
            { "broken byte replaced", "Bob\xFF", "Bob\xEF\xBF\xBD" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(CleanText::deviceName(testCase.text), testCase.expected);
        }
    }

    // Each thread keeps its own character iterator; they must not disturb one another.
    TEST(CleanText, CleansFromManyThreadsAtOnce)
    {
        const std::string text = "  " + repeated(kDecomposedE, 30) + "  ";
        std::vector<std::jthread> threads;
        std::vector<int> failures(8, 0);
        for (std::size_t t = 0; t < failures.size(); ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 500; ++i) {
                    if (CleanText::trimmedField(text, 30, LineBreaks::refused) != repeated(kDecomposedE, 30)
                        || CleanText::trimmedField(text, 29, LineBreaks::refused).has_value()
                        || CleanText::deviceName(text) != repeated(kDecomposedE, 30))
                        ++failures[t];
                }
            });
        }
        threads.clear();
        for (int failureCount : failures)
            EXPECT_EQ(failureCount, 0);
    }

}
}
