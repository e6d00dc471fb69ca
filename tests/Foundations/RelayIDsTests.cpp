#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace vellumar {
namespace {

    TEST(RelayIDs, MadeIDsAndTokensHaveTheirShapeAndDiffer)
    {
        std::string id = RelayIDs::newJobID();
        EXPECT_TRUE(RelayIDs::isValidJobID(id)) << id;
        EXPECT_NE(id, RelayIDs::newJobID());
        EXPECT_TRUE(std::regex_match(RelayIDs::randomHex(6), std::regex("[0-9a-f]{12}")));
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
            { RelayIDs::isValidConversationID, "ios-", false },
            { RelayIDs::isValidConversationID, "ios-A9._:-z", true },
            { RelayIDs::isValidConversationID, "ios-" + std::string(124, 'x'), true }, // 128 characters
            { RelayIDs::isValidConversationID, "ios-" + std::string(125, 'x'), false },
            { RelayIDs::isValidConversationID, "ios-caf\xC3\xA9", false },
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

    // Unpadded, in the URL-safe alphabet: the protocol's own examples and the two digits that differ, as
    // Python's base64.urlsafe_b64encode writes them less its padding.
    TEST(Base64URL, EncodesWithoutPaddingInTheURLSafeAlphabet)
    {
        const std::pair<std::vector<std::uint8_t>, std::string> cases[]
            = { { {}, "" }, { { 'f' }, "Zg" }, { { 'f', 'o', 'o', 'b', 'a' }, "Zm9vYmE" },
                  { { 'f', 'o', 'o', 'b', 'a', 'r' }, "Zm9vYmFy" }, { { 0xfb, 0xff }, "-_8" } };
        for (const auto& [bytes, encoded] : cases) {
            SCOPED_TRACE(encoded);
            EXPECT_EQ(Base64URL::encode(bytes), encoded);
        }
        EXPECT_EQ(hexByteStrings(std::vector<std::uint8_t> { 0x0f, 0xa0 }),
            (std::vector<std::string> { "0f", "a0" }));
        EXPECT_EQ(hexString(std::vector<std::uint8_t> { 0x0f, 0xa0 }), "0fa0");
    }

}
}
