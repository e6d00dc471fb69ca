#include "VellumarMacCore/Foundations/CleanText.h"

#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

namespace vellumar {
namespace {

    using CleanText::LineBreaks;

    // "e" and a combining acute accent, `count` times: twice as many scalars as characters.
    std::string decomposedEs(std::size_t count) { return test::repeated("e\xCC\x81", count); }

    TEST(CleanText, TrimmedFieldRefusesControlsBrokenBytesAndTooManyCharacters)
    {
        const std::tuple<std::string, std::size_t, LineBreaks, std::optional<std::string>> cases[] = {
            { "  ok  ", 2, LineBreaks::refused, "ok" },
            { " \t\n\r \xC2\xA0 ", 5, LineBreaks::refused, "" },
            { "a\tb", 10, LineBreaks::refused, std::nullopt },
            { "a\tb", 10, LineBreaks::allowed, "a\tb" },
            { "a\x01z", 10, LineBreaks::allowed, std::nullopt },
            { decomposedEs(25), 25, LineBreaks::refused, decomposedEs(25) },
            { decomposedEs(25), 24, LineBreaks::refused, std::nullopt },
            { "a\xFFz", 10, LineBreaks::allowed, std::nullopt },
        };
        for (const auto& [text, maximum, lineBreaks, expected] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(CleanText::trimmedField(text, maximum, lineBreaks), expected);
        }
    }

    TEST(CleanText, DeviceNameIsAlwaysUsable)
    {
        const std::pair<std::optional<std::string>, std::string> cases[] = {
            { std::nullopt, "iPhone" },
            { "\x01 \x02\t \n\x7f ", "iPhone" },
            { " \x01 Ann\x07z's iPhone \n", "Annz's iPhone" }, // controls go before the trimming
            { decomposedEs(50), decomposedEs(40) },
            { "Bob\xFF", "Bob\xEF\xBF\xBD" },
        };
        for (const auto& [name, expected] : cases) {
            SCOPED_TRACE(name.value_or("absent"));
            EXPECT_EQ(CleanText::deviceName(name), expected);
        }
    }

}
}
