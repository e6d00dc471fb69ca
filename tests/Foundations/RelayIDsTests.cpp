#include "VellumarMacCore/Foundations/RelayIDs.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <set>

namespace vellumar {
namespace {

    TEST(RelayIDs, MadeIDsAndTokensHaveTheirShapeAndDiffer)
    {
        std::set<std::string> seen;
        for (int i = 0; i < 200; ++i) {
            std::string id = RelayIDs::newJobID();
            ASSERT_TRUE(RelayIDs::isValidJobID(id)) << id;
            seen.insert(id);
        }
        EXPECT_EQ(seen.size(), 200u);
        EXPECT_TRUE(std::regex_match(RelayIDs::randomHex(6), std::regex("[0-9a-f]{12}")));
        EXPECT_EQ(RelayIDs::randomHex(0), "");
        std::string token = RelayIDs::randomToken(32);
        EXPECT_TRUE(std::regex_match(token, std::regex("[A-Za-z0-9_-]{43}"))) << token;
        EXPECT_NE(token, RelayIDs::randomToken(32));
    }

    TEST(RelayIDs, ValidatesEachKindOfID)
    {
        const std::tuple<bool (*)(std::string_view), std::string, bool> cases[] = {
            { RelayIDs::isValidJobID, "j-0123456789abcdef", true },
            { RelayIDs::isValidJobID, "j-0123456789ABCDEF", false },
            { RelayIDs::isValidJobID, "j-" + std::string(15, 'a'), false },
            { RelayIDs::isValidJobID, "j-" + std::string(17, 'a'), false },
            { RelayIDs::isValidJobID, "J-0123456789abcdef", false },
            { RelayIDs::isValidConversationID, "ios-", false },
            { RelayIDs::isValidConversationID, "ios-A9._:-z", true },
            { RelayIDs::isValidConversationID, "ios-" + std::string(124, 'x'), true }, // 128 characters
            { RelayIDs::isValidConversationID, "ios-" + std::string(125, 'x'), false },
            { RelayIDs::isValidConversationID, "ios-caf\xC3\xA9", false },
            { RelayIDs::isValidConversationID, "IOS-abc", false },
            { RelayIDs::isValidID, "7", true },
            { RelayIDs::isValidID, "daily_news-2", true },
            { RelayIDs::isValidID, std::string(32, 'b'), true },
            { RelayIDs::isValidID, std::string(33, 'b'), false },
            { RelayIDs::isValidID, "", false },
            { RelayIDs::isValidID, "_a", false },
            { RelayIDs::isValidID, "aBc", false },
            { isValidSessionID, "5f0c7b2e-1a2b-4c3d-9e8f-0123456789ab", true },
            { isValidSessionID, "Abcdef12", true },
            { isValidSessionID, "Abcdef1", false },
            { isValidSessionID, std::string(64, 'Z'), true },
            { isValidSessionID, std::string(65, 'Z'), false },
            { isValidSessionID, "../../etc", false },
        };
        for (const auto& [check, text, valid] : cases) {
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_EQ(check(text), valid);
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

        std::string expected;
        for (const auto& buffer : buffers)
            expected += hexString(buffer) + " " + Base64URL::encode(buffer) + "\n";
        EXPECT_EQ(peer.output, expected);
        EXPECT_EQ(hexByteStrings(std::vector<std::uint8_t> { 0x0f, 0xa0 }),
            (std::vector<std::string> { "0f", "a0" }));
    }

}
}
