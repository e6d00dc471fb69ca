#include "VellumarMacCore/Foundations/RelayIDs.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>

namespace vellumar {
namespace {

    struct ValidityCase {
        const char* name;
        std::string text;
        bool valid;
    };

    void expectValidity(bool (*check)(std::string_view), const std::vector<ValidityCase>& cases)
    {
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(check(testCase.text), testCase.valid) << testCase.text;
        }
    }

    std::string repeated(char c, std::size_t count) { return std::string(count, c); }

    // The shape ^<prefix>[0-9a-f]{digits}$, checked without the code under test.
    bool isPrefixedLowercaseHex(std::string_view text, std::string_view prefix, std::size_t digits)
    {
        if (text.size() != prefix.size() + digits || !text.starts_with(prefix))
            return false;
        return text.substr(prefix.size()).find_first_not_of("0123456789abcdef") == std::string_view::npos;
    }

    bool isBase64URLAlphabet(std::string_view text)
    {
        return text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
            == std::string_view::npos;
    }

    TEST(RelayIDs, NewJobIDsHaveTheirShapeAndPassValidation)
    {
        std::set<std::string> seen;
        for (int i = 0; i < 1000; ++i) {
            std::string id = RelayIDs::newJobID();
            ASSERT_TRUE(isPrefixedLowercaseHex(id, "j-", 16)) << id;
            ASSERT_TRUE(RelayIDs::isValidJobID(id)) << id;
            seen.insert(id);
        }
        EXPECT_EQ(seen.size(), 1000u);
    }

    TEST(RelayIDs, PrefixedRandomHexGivesMemoryAndApprovalIDs)
    {
        for (int i = 0; i < 200; ++i) {
            std::string memory = "m-" + RelayIDs::randomHex(4);
            std::string approval = "a-" + RelayIDs::randomHex(6);
            ASSERT_TRUE(isPrefixedLowercaseHex(memory, "m-", 8)) << memory;
            ASSERT_TRUE(isPrefixedLowercaseHex(approval, "a-", 12)) << approval;
        }
        EXPECT_EQ(RelayIDs::randomHex(0), "");
    }

    TEST(RelayIDs, RandomTokensAreBase64URLOfTheirByteCount)
    {
        const std::vector<std::pair<std::size_t, std::size_t>> lengths
            = { { 0, 0 }, { 1, 2 }, { 2, 3 }, { 3, 4 }, { 16, 22 }, { 32, 43 } };
        for (auto [count, characters] : lengths) {
            SCOPED_TRACE(count);
            std::string token = RelayIDs::randomToken(count);
            EXPECT_EQ(token.size(), characters);
            EXPECT_TRUE(isBase64URLAlphabet(token)) << token;
        }
        EXPECT_NE(RelayIDs::randomToken(32), RelayIDs::randomToken(32));
    }

    TEST(Random, BytesHaveExactlyTheRequestedCount)
    {
        for (std::size_t count : { 0u, 1u, 4u, 255u, 4096u })
            EXPECT_EQ(Random::bytes(count).size(), count);
        // 256 bits of secure randomness never repeat, and never come back all zero (unfilled).
        auto first = Random::bytes(32);
        EXPECT_NE(first, Random::bytes(32));
        EXPECT_NE(first, std::vector<std::uint8_t>(32, 0));
    }

    TEST(RelayIDs, JobIDValidation)
    {
        std::string made = RelayIDs::newJobID();
        std::string upper = made;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        upper[0] = 'j';
        expectValidity(RelayIDs::isValidJobID,
            {
                { "made", made, true },
                { "all hex digits", "j-0123456789abcdef", true },
                { "uppercase hex digits", "j-0123456789ABCDEF", false },
                { "made id in uppercase", upper, upper == made },
                { "15 digits", "j-" + repeated('a', 15), false },
                { "17 digits", "j-" + repeated('a', 17), false },
                { "uppercase prefix", "J-0123456789abcdef", false },
                { "other prefix", "k-0123456789abcdef", false },
                { "no dash", "j00123456789abcdef", false },
                { "letter past f", "j-0123456789abcdeg", false },
                { "empty", "", false },
                { "prefix only", "j-", false },
                { "sixteen bytes of accented letters",
                    "j-\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", false },
                { "embedded NUL", std::string("j-0123456789abcde\0", 18), false },
            });
    }

    TEST(RelayIDs, ConversationIDValidation)
    {
        const std::string prefix(RelayIDs::devicePrefix);
        expectValidity(RelayIDs::isValidConversationID,
            {
                { "prefix alone", "ios-", false },
                { "prefix and one letter", "ios-a", true },
                { "128 scalars", prefix + repeated('x', 124), true },
                { "129 scalars", prefix + repeated('x', 125), false },
                { "every allowed punctuation", "ios-A9._:-z", true },
                { "a space", "ios-ab cd", false },
                { "an accented letter", "ios-caf\xC3\xA9", false },
                { "prefix in upper case", "IOS-abc", false },
                { "no prefix", "abcde", false },
                { "a slash", "ios-a/b", false },
                { "broken UTF-8", "ios-a\xFF", false },
                { "empty", "", false },
            });
    }

    TEST(RelayIDs, ShortIDValidation)
    {
        expectValidity(RelayIDs::isValidID,
            {
                { "one lowercase letter", "a", true },
                { "one digit", "7", true },
                { "letters digits underscore dash", "daily_news-2", true },
                { "32 scalars", repeated('b', 32), true },
                { "33 scalars", repeated('b', 33), false },
                { "empty", "", false },
                { "starts with dash", "-a", false },
                { "starts with underscore", "_a", false },
                { "uppercase first", "Abc", false },
                { "uppercase inside", "aBc", false },
                { "dot", "a.b", false },
                { "accented letter", "\xC3\xA9t\xC3\xA9", false },
                { "space", "a b", false },
            });
    }

    TEST(RelayIDs, SessionIDValidation)
    {
        expectValidity(isValidSessionID,
            {
                { "uuid", "5f0c7b2e-1a2b-4c3d-9e8f-0123456789ab", true },
                { "8 characters", "Abcdef12", true },
                { "7 characters", "Abcdef1", false },
                { "64 characters", repeated('Z', 64), true },
                { "65 characters", repeated('Z', 65), false },
                { "underscore", "abcd_efgh", false },
                { "slash", "abcd/efgh", false },
                { "dot dot", "../../etc", false },
                { "accented letter", "abcdefg\xC3\xA9", false },
            });
    }

    TEST(RelayIDs, FileSafeKeyReplacesOnlyColons)
    {
        struct Case {
            const char* key;
            const char* safe;
        };
        const Case cases[] = {
            { "ios-abc:bot:daily", "ios-abc_bot_daily" },
            { "ios-plain", "ios-plain" },
            { "::", "__" },
            { "", "" },
            { "a/b.c_d-e caf\xC3\xA9:x", "a/b.c_d-e caf\xC3\xA9_x" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.key);
            EXPECT_EQ(RelayIDs::fileSafeKey(testCase.key), testCase.safe);
        }
    }

    TEST(HexByteStrings, GivesTwoLowercaseDigitsPerByte)
    {
        const std::vector<std::uint8_t> bytes = { 0x00, 0x0f, 0xa0, 0xff, 0x7e };
        EXPECT_EQ(hexByteStrings(bytes), (std::vector<std::string> { "00", "0f", "a0", "ff", "7e" }));
        EXPECT_EQ(hexString(bytes), "000fa0ff7e");
        EXPECT_TRUE(hexByteStrings({}).empty());
        EXPECT_EQ(hexString({}), "");
    }

    TEST(Base64URL, UsesTheURLAlphabetWithoutPadding)
    {
        struct Case {
            std::vector<std::uint8_t> bytes;
            const char* encoded;
        };
        const Case cases[] = {
            { { 0xfb, 0xff, 0xff }, "-___" },
            { { 0x00 }, "AA" },
            { { 0x00, 0x00 }, "AAA" },
            { {}, "" },
            { { 'f', 'o', 'o', 'b', 'a', 'r' }, "Zm9vYmFy" },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.encoded);
            EXPECT_EQ(Base64URL::encode(testCase.bytes), testCase.encoded);
        }
    }

    // Python's own hex and URL-safe base64 are the reference: each buffer travels as a length byte and
    // its bytes, and python answers one "<hex> <base64url>" line per buffer.
    TEST(Base64URL, AgreesWithPythonOnRandomBuffers)
    {
        const unsigned seed = std::random_device {}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 generator(seed);
        std::uniform_int_distribution<int> length(0, 100);
        std::uniform_int_distribution<int> byte(0, 255);

        std::vector<std::vector<std::uint8_t>> buffers(1000);
        std::string input;
        for (auto& buffer : buffers) {
            buffer.resize(static_cast<std::size_t>(length(generator)));
            for (auto& b : buffer)
                b = static_cast<std::uint8_t>(byte(generator));
            input.push_back(static_cast<char>(buffer.size()));
            input.append(buffer.begin(), buffer.end());
        }

        const char* script = "import base64, sys\n"
                             "data = sys.stdin.buffer.read()\n"
                             "i = 0\n"
                             "while i < len(data):\n"
                             "    n = data[i]; b = data[i + 1:i + 1 + n]; i += 1 + n\n"
                             "    print(b.hex(), base64.urlsafe_b64encode(b).rstrip(b'=').decode())\n";
        auto peer = test::runPeer({ "python3", "-c", script }, input);
        ASSERT_EQ(peer.exitStatus, 0);

        std::istringstream lines(peer.output);
        std::string line;
        std::size_t index = 0;
        while (std::getline(lines, line)) {
            ASSERT_LT(index, buffers.size());
            const auto& buffer = buffers[index++];
            auto space = line.find(' ');
            ASSERT_NE(space, std::string::npos) << line;
            EXPECT_EQ(hexString(buffer), line.substr(0, space)) << "buffer " << index;
            EXPECT_EQ(Base64URL::encode(buffer), line.substr(space + 1)) << "buffer " << index;
        }
        EXPECT_EQ(index, buffers.size());
    }

}
}
