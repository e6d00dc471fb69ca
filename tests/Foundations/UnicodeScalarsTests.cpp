#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

namespace vellumar {
namespace {

    // Each scalar of `bytes` in order, malformed pieces as kMalformedScalar.
    std::vector<std::int32_t> scalars(std::string_view bytes)
    {
        std::vector<std::int32_t> read;
        for (std::size_t index = 0; index < bytes.size();)
            read.push_back(detail::nextScalar(bytes, index));
        return read;
    }

    TEST(UnicodeScalars, DecodesWellFormedAndRefusesMalformedSequences)
    {
        constexpr auto bad = detail::kMalformedScalar;
        struct Case {
            const char* name;
            std::string bytes;
            std::vector<std::int32_t> expected;
        };
        const Case cases[] = {
            { "ASCII", "a\x7F", { 'a', 0x7F } },
            { "two bytes", "\xC3\xA9", { 0xE9 } },
            { "three bytes", "\xE2\x82\xAC", { 0x20AC } },
            { "four bytes, the last scalar", "\xF4\x8F\xBF\xBF", { 0x10FFFF } },
            { "overlong two-byte form, each byte a piece", "\xC0\xAF", { bad, bad } },
            { "overlong three-byte form", "\xE0\x80\xAF", { bad, bad, bad } },
            { "encoded surrogate", "\xED\xA0\x80", { bad, bad, bad } },
            { "past U+10FFFF", "\xF4\x90\x80\x80", { bad, bad, bad, bad } },
            { "truncated three-byte sequence is one piece", "\xE2\x82z", { bad, 'z' } },
            { "truncated at the end", "a\xF0\x9F\x98", { 'a', bad } },
            { "lone continuation byte", "\x80", { bad } },
            { "byte that never starts a sequence",
                "\xFF"
                "a",
                { bad, 'a' } },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.name);
            EXPECT_EQ(scalars(test.bytes), test.expected);
            bool wellFormed
                = std::find(test.expected.begin(), test.expected.end(), bad) == test.expected.end();
            EXPECT_EQ(detail::isValidUTF8(test.bytes), wellFormed);
        }
        EXPECT_EQ(detail::validUTF8SequenceLength(""), 0u);
        EXPECT_EQ(detail::validUTF8SequenceLength("\xE2\x82\xAC!"), 3u);
        EXPECT_EQ(detail::validUTF8SequenceLength("\xE2\x82!"), 0u);
    }

    // Python's decoder substitutes U+FFFD for each maximal ill-formed piece, as the Unicode standard
    // recommends; decoding random bytes both ways must give the same scalars.
    TEST(UnicodeScalars, AgreesWithPythonDecoderOnRandomBytes)
    {
        std::mt19937 random(7);
        // Bytes near every boundary of the rules, so that most texts mix good and bad sequences.
        const unsigned char alphabet[] = { 'a', 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
            0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF };
        std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
        std::uniform_int_distribution<int> length(0, 12);
        std::vector<std::string> texts;
        std::string input;
        for (int index = 0; index < 2000; ++index) {
            std::string text;
            for (int byte = length(random); byte > 0; --byte)
                text += static_cast<char>(alphabet[pick(random)]);
            texts.push_back(text);
            for (unsigned char byte : text) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", byte);
                input += hex;
            }
            input += '\n';
        }
        auto peer = test::runPeer({ "python3", "-c",
                                      "import sys\n"
                                      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
                                      "    text = bytes.fromhex(line).decode('utf-8', 'replace')\n"
                                      "    print(' '.join(str(ord(c)) for c in text))\n" },
            input);
        ASSERT_EQ(peer.exitStatus, 0);
        std::istringstream lines(peer.output);
        for (const auto& text : texts) {
            std::string line;
            ASSERT_TRUE(std::getline(lines, line));
            std::istringstream numbers(line);
            std::vector<std::int32_t> expected;
            for (std::int32_t scalar; numbers >> scalar;)
                expected.push_back(scalar == 0xFFFD ? detail::kMalformedScalar : scalar);
            EXPECT_EQ(scalars(text), expected) << testing::PrintToString(text);
        }
    }

}
}
