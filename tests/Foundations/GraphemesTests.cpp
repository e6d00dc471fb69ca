#include "VellumarMacCore/Foundations/Graphemes.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <vector>

namespace vellumar {
namespace {

    // Node's segmenter below covers well-formed texts; these are the short ones and the broken ones it cannot
    // be given. A maximal ill-formed piece counts as one character and is kept as it is.
    TEST(Graphemes, CountsAndCutsShortAndBrokenTexts)
    {
        // Text, characters, bytes of the first two characters.
        const std::tuple<std::string, std::size_t, std::size_t> cases[] = {
            { "", 0, 0 },
            { "ab\xE2\x82", 3, 2 },
            { "\xED\xA0\x80", 3, 2 },
            { "\xFF"
              "ab",
                3, 2 },
        };
        for (const auto& [text, count, firstTwoBytes] : cases) {
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_EQ(characterCount(text), count);
            EXPECT_EQ(characterPrefixLength(text, 2), firstTwoBytes);
            EXPECT_EQ(prefixCharacters(text, 0), "");
            EXPECT_EQ(characters(text).size(), count);
        }
    }

    // Node's Intl.Segmenter is an independent segmenter; it reads one hex-encoded text a line and prints the
    // byte offset after each of its characters, so every prefix length can be checked against it.
    TEST(Graphemes, AgreesWithNodeSegmenterOnRandomTexts)
    {
        // Pieces whose segmentation has not changed between Unicode versions, so the system's ICU and the
        // peer's may differ in age.
        const std::string pieces[]
            = { "a", "Z", " ", "\r", "\n", "\xCC\x81", "\xE2\x80\x8D", "\xF0\x9F\x87\xAB", "\xF0\x9F\x87\xB7",
                  "\xF0\x9F\x91\xA9", "\xF0\x9F\x92\xBB", "\xF0\x9F\x8F\xBD", "\xE1\x84\x80", "\xE1\x85\xA1",
                  "\xE1\x86\xA8", "\xEA\xB0\x80", "\xE4\xB8\xAD", "\xC3\xA9", "\xEF\xB8\x8F" };
        std::mt19937 random(20241206);
        std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
        std::uniform_int_distribution<int> length(0, 24);
        std::vector<std::string> texts;
        std::string input;
        for (int index = 0; index < 400; ++index) {
            std::string text;
            for (int piece = length(random); piece > 0; --piece)
                text += pieces[pick(random)];
            texts.push_back(text);
            input += test::hexOf(text) + "\n";
        }
        const char* script = R"(
const lines = require('fs').readFileSync(0, 'utf8').split('\n').slice(0, -1);
const segmenter = new Intl.Segmenter('en', { granularity: 'grapheme' });
for (const line of lines) {
  const ends = [];
  let bytes = 0;
  for (const { segment } of segmenter.segment(Buffer.from(line, 'hex').toString('utf8'))) {
    bytes += Buffer.byteLength(segment, 'utf8');
    ends.push(bytes);
  }
  console.log(ends.join(' '));
})";
        auto peer = test::runPeer({ "node", "-e", script }, input);
        ASSERT_EQ(peer.exitStatus, 0);
        // Ours in the peer's form: the end of every character, then the count checked against it.
        std::istringstream lines(peer.output);
        for (const auto& text : texts) {
            SCOPED_TRACE(testing::PrintToString(text));
            std::string ends;
            for (std::size_t count = 1; count <= characterCount(text); ++count)
                ends += (count > 1 ? " " : "") + std::to_string(characterPrefixLength(text, count));
            std::string theirs;
            ASSERT_TRUE(std::getline(lines, theirs));
            EXPECT_EQ(ends, theirs);
            // The same ends from the characters one by one.
            std::string pieceEnds;
            std::size_t end = 0;
            for (std::string_view character : characters(text)) {
                pieceEnds += (end > 0 ? " " : "") + std::to_string(end + character.size());
                end += character.size();
            }
            EXPECT_EQ(pieceEnds, theirs);
        }
    }

}
}
