#include "Platform/Crypto.h"
#include "Platform/Random.h"

#include "tests/support/HTTPPeers.h"

#include <gtest/gtest.h>

#include <set>

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

TEST(Random, FillsExactlyTheCountAndDiffersBetweenCalls)
{
    EXPECT_TRUE(secureRandomBytes(0).empty());
    std::set<std::vector<std::uint8_t>> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(secureRandomBytes(16));
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen.begin()->size(), 16u);
}

}
