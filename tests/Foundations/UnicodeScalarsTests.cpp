#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

namespace vellumar {
namespace {

    // Python's decoder substitutes U+FFFD for each maximal ill-formed piece, as the Unicode standard
    // recommends; decoding random bytes both ways must give the same scalars, the same validity and the
    // same length of the first sequence.
    TEST(UnicodeScalars, AgreesWithPythonDecoderOnRandomBytes)
    {
        std::mt19937 random(7);
        // Bytes near every boundary of the rules, so that most texts mix good and bad sequences.
        const unsigned char alphabet[] = { 'a', 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
            0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF };
        std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
        std::uniform_int_distribution<int> length(0, 12);
        // The validity check passes over ASCII a block of 16 bytes at a time: the later texts put the
        // random bytes inside and across such blocks.
        std::uniform_int_distribution<std::size_t> asciiRun(0, 24);
        std::vector<std::string> texts;
        std::string input;
        for (int index = 0; index < 3000; ++index) {
            std::string text;
            for (int byte = length(random); byte > 0; --byte)
                text += static_cast<char>(alphabet[pick(random)]);
            if (index >= 2000)
                text = std::string(asciiRun(random), 'a') + text + std::string(asciiRun(random), 'a');
            texts.push_back(text);
            input += test::hexOf(text) + "\n";
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
            SCOPED_TRACE(testing::PrintToString(text));
            std::vector<std::int32_t> read;
            for (std::size_t index = 0; index < text.size();)
                read.push_back(detail::nextScalar(text, index));
            EXPECT_EQ(read, expected);
            bool wellFormed
                = std::find(expected.begin(), expected.end(), detail::kMalformedScalar) == expected.end();
            EXPECT_EQ(detail::isValidUTF8(text), wellFormed);
            auto first = expected.empty() ? detail::kMalformedScalar : expected[0];
            std::size_t firstLength
                = first < 0 ? 0 : 1 + (first >= 0x80) + (first >= 0x800) + (first >= 0x10000);
            EXPECT_EQ(detail::validUTF8SequenceLength(text), firstLength);
        }
    }

}
}
