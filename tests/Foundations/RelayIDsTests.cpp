#include "VellumarMacCore/Foundations/RelayIDs.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>

namespace vellumar {
namespace {

    bool isLowercaseHex(std::string_view text)
    {
        return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    }

    TEST(RelayIDs, MadeIDsAndTokensHaveTheirShapeAndDiffer)
    {
        std::set<std::string> seen;
        for (int i = 0; i < 200; ++i) {
            std::string id = RelayIDs::newJobID();
            ASSERT_TRUE(id.size() == 18 && id.starts_with("j-") && isLowercaseHex(id.substr(2))) << id;
            ASSERT_TRUE(RelayIDs::isValidJobID(id)) << id;
            seen.insert(id);
        }
        EXPECT_EQ(seen.size(), 200u);
        std::string hex = RelayIDs::randomHex(6);
        EXPECT_TRUE(hex.size() == 12 && isLowercaseHex(hex)) << hex;
        EXPECT_EQ(RelayIDs::randomHex(0), "");
        std::string token = RelayIDs::randomToken(32);
        EXPECT_EQ(token.size(), 43u);
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos)
            << token;
        EXPECT_NE(token, RelayIDs::randomToken(32));
    }

    TEST(RelayIDs, ValidatesEachKindOfID)
    {
        struct Case {
            bool (*check)(std::string_view);
            std::string text;
            bool valid;
        };
        const Case cases[] = {
            { RelayIDs::isValidJobID, "j-0123456789abcdef", true },
            { RelayIDs::isValidJobID, "j-0123456789ABCDEF", false },
            { RelayIDs::isValidJobID, "j-" + std::string(15, 'a'), false },
            { RelayIDs::isValidJobID, "j-" + std::string(17, 'a'), false },
            { RelayIDs::isValidJobID, "J-0123456789abcdef", false },
            { RelayIDs::isValidJobID, "j-0123456789abcdeg", false },
            { RelayIDs::isValidConversationID, "ios-", false },
            { RelayIDs::isValidConversationID, "ios-A9._:-z", true },
            { RelayIDs::isValidConversationID, "ios-" + std::string(124, 'x'), true }, // 128 characters
            { RelayIDs::isValidConversationID, "ios-" + std::string(125, 'x'), false },
            { RelayIDs::isValidConversationID, "ios-ab cd", false },
            { RelayIDs::isValidConversationID, "ios-caf\xC3\xA9", false },
            { RelayIDs::isValidConversationID, "IOS-abc", false },
            { RelayIDs::isValidID, "7", true },
            { RelayIDs::isValidID, "daily_news-2", true },
            { RelayIDs::isValidID, std::string(32, 'b'), true },
            { RelayIDs::isValidID, std::string(33, 'b'), false },
            { RelayIDs::isValidID, "", false },
            { RelayIDs::isValidID, "_a", false },
            { RelayIDs::isValidID, "aBc", false },
            { RelayIDs::isValidID, "a.b", false },
            { isValidSessionID, "5f0c7b2e-1a2b-4c3d-9e8f-0123456789ab", true },
            { isValidSessionID, "Abcdef12", true },
            { isValidSessionID, "Abcdef1", false },
            { isValidSessionID, std::string(64, 'Z'), true },
            { isValidSessionID, std::string(65, 'Z'), false },
            { isValidSessionID, "abcd_efgh", false },
            { isValidSessionID, "../../etc", false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testing::PrintToString(testCase.text));
            EXPECT_EQ(testCase.check(testCase.text), testCase.valid);
        }
        EXPECT_EQ(
            RelayIDs::fileSafeKey("ios-a/b.c_d-e caf\xC3\xA9:bot:x"), "ios-a/b.c_d-e caf\xC3\xA9_bot_x");
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
        for (const auto& buffer : buffers) {
            std::string line;
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_EQ(hexString(buffer) + " " + Base64URL::encode(buffer), line);
        }
        EXPECT_EQ(hexByteStrings(std::vector<std::uint8_t> { 0x0f, 0xa0 }),
            (std::vector<std::string> { "0f", "a0" }));
    }

}
}
