#include "Platform/Crypto.h"
#include "Platform/Random.h"

#include "tests/support/HTTPPeers.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace vellumar::platform;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

std::string hex(std::span<const std::uint8_t> bytes)
{
    return vellumar::test::hexOf({ reinterpret_cast<const char*>(bytes.data()), bytes.size() });
}

TEST(Crypto, DigestsAndBase64MatchKnownVectors)
{
    EXPECT_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(sha1(bytesOf("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // RFC 4648 §10, padding included.
    const std::pair<std::string_view, std::string_view> cases[]
        = { { "", "" }, { "f", "Zg==" }, { "fo", "Zm8=" }, { "foo", "Zm9v" }, { "foobar", "Zm9vYmFy" } };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(base64Encode(bytesOf(input)), expected) << input;
}

TEST(Crypto, StandardBase64DecodingIsStrictAboutPadding)
{
    const std::pair<std::string_view, std::optional<std::string_view>> cases[] = {
        { "", "" },
        { "Zg==", "f" },
        { "Zm8=", "fo" },
        { "Zm9vYmFy", "foobar" },
        { "Zg=", std::nullopt },
        { "Z===", std::nullopt },
        { "Zg==Zg==", std::nullopt },
        { "Zm9v\n", std::nullopt },
        { "Zm-_", std::nullopt },
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        auto decoded = base64Decode(text);
        EXPECT_EQ(decoded ? std::optional(std::string(decoded->begin(), decoded->end())) : std::nullopt,
            expected ? std::optional(std::string(*expected)) : std::nullopt);
    }
}

TEST(Crypto, HMACAndHKDFMatchTheirRFCVectors)
{
    // RFC 4231 §4.3, test case 2.
    EXPECT_EQ(hex(hmacSHA256(bytesOf("Jefe"), bytesOf("what do ya want for nothing?"))),
        "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // RFC 5869 §A.1 (test case 1) and §A.3 (test case 3: no salt, no info).
    std::vector<std::uint8_t> inputKey(22, 0x0b);
    std::vector<std::uint8_t> salt { 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b,
        0x0c };
    std::vector<std::uint8_t> info { 0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9 };
    auto pseudorandomKey = hkdfExtract(salt, inputKey);
    EXPECT_EQ(hex(pseudorandomKey), "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5");
    EXPECT_EQ(hex(hkdfExpand(pseudorandomKey, info, 42)),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    auto unsalted = hkdfExtract({}, inputKey);
    EXPECT_EQ(hex(unsalted), "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04");
    EXPECT_EQ(hex(hkdfExpand(unsalted, {}, 42)),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(Random, FillsExactlyTheCountAndDiffersBetweenCalls)
{
    EXPECT_TRUE(secureRandomBytes(0).empty());
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(hex(secureRandomBytes(16)));
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen.begin()->size(), 2 * 16u);
}

}
