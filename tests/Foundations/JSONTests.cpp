#include "VellumarMacCore/Foundations/JSON.h"

#include "tests/Foundations/ManyThreads.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using vellumar::JSON;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string decodedThenEncoded(std::string_view document)
{
    auto value = JSON::decode(document);
    return value ? value->encoded() : "<absent>";
}

std::string nested(std::size_t depth, std::string_view inner = "")
{
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

// Random documents for round trips against an independent reader and writer. With `integersOnly`,
// every number is whole and in the integer range, so that both writers must produce the very same bytes.
struct DocumentGenerator {
    std::mt19937_64 random;

    JSON value(int depthLeft, bool integersOnly)
    {
        constexpr std::int64_t limit = 999'999'999'999'999;
        switch (pick(depthLeft > 0 ? 6 : 4)) {
        case 0:
            return pick(3) == 0 ? JSON() : JSON(pick(2) == 0);
        case 1:
            if (integersOnly || pick(4) == 0)
                return JSON(static_cast<long long>(pick(2) == 0
                        ? pick(201) - 100
                        : std::uniform_int_distribution<std::int64_t>(-limit, limit)(random)));
            // Any finite bit pattern, subnormals included.
            for (;;) {
                if (double candidate = std::bit_cast<double>(random()); std::isfinite(candidate))
                    return JSON::number(candidate);
            }
        case 2:
        case 3:
            return JSON(text());
        case 4: {
            JSON::Array elements;
            for (int count = pick(6); count > 0; --count)
                elements.push_back(value(depthLeft - 1, integersOnly));
            return JSON(std::move(elements));
        }
        default: {
            JSON::Object members;
            for (int count = pick(6); count > 0; --count)
                members.insert_or_assign(text(), value(depthLeft - 1, integersOnly));
            return JSON(std::move(members));
        }
        }
    }

    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }

    std::string text()
    {
        // ASCII, characters that must be escaped, and every UTF-8 length, combining marks included.
        static const std::string_view pieces[] = { "a", "Z", "0", " ", "/", "\\", "\"", "\n", "\t", "\x01",
            "\x1f", "\x7f", "\xC3\xA9", "e\xCC\x81", "\xE2\x80\xA8", "\xE4\xB8\xAD", "\xEF\xBF\xBF",
            "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "key", "{\"x\":[1]}", std::string_view("\0", 1) };
        std::string result;
        for (int count = pick(8); count > 0; --count)
            result += pieces[pick(std::size(pieces))];
        return result;
    }
};

TEST(JSON, EncodesNumbersByTheIntegerRule)
{
    // Whole numbers below 1e15 are integers; the rest take the shortest spelling that reads back as the same
    // double, with an exponent from 1e15 on so that no reader mistakes them for integers.
    const std::tuple<double, std::string, std::optional<std::int64_t>> cases[] = {
        { -0.0, "0", 0 },
        { 999999999999999.0, "999999999999999", 999999999999999 },
        { 1e15, "1e+15", std::nullopt },
        { 999999999999999.5, "9.999999999999995e+14", std::nullopt },
        { 1e-7, "1e-07", std::nullopt },
        { std::numeric_limits<double>::denorm_min(), "5e-324", std::nullopt },
        { kNaN, "null", std::nullopt },
    };
    for (const auto& [value, encoded, integer] : cases) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(JSON::number(value).encoded(), encoded);
        EXPECT_EQ(JSON::number(value).intValue(), integer);
    }
    // One number that JSON cannot spell makes the whole document null.
    EXPECT_EQ(JSON::object({ { "a", JSON::array({ 1, JSON::object({ { "z", JSON::number(kNaN) } }) }) } })
                  .encoded(),
        "null");
}

TEST(JSON, RejectsMalformedDocuments)
{
    const std::string documents[] = { "", "tru", "True", "NaN", "+1", "01", "1.", ".5", "1e", "-", "1 2",
        "t rue", "- 1", "1 .5", "[1,]", "[,1]", "[1 2]", "{\"a\":1,}", "{\"a\" 1}", "{a:1}", "{\"a\":}",
        "{1:2}", "[", "{\"a\":1", "\"abc", "[1]]", "\xEF\xBB\xBF{}", "\f1", std::string("1\0", 2),
        "[\xC3\xA9]", "/* c */ 1", "1e400", "1e99999999999999999999999" };
    for (const auto& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_EQ(JSON::decode(document), std::nullopt);
    }
    EXPECT_EQ(decodedThenEncoded(" \t\r\n[ \t\r\n1 \t\r\n, {\n\"a\"\r:\ttrue } ] \n"), R"([1,{"a":true}])");
}

TEST(JSON, DecodesNumbersWithCorrectRoundingAndRange)
{
    const std::string zeros(500, '0');
    // Absent: too large for a double.
    const std::pair<std::string, std::optional<double>> cases[] = {
        { "-0", -0.0 },
        // Halfway between 2^53 and 2^53 + 2: ties to even; anything above rounds up.
        { "9007199254740993", 9007199254740992.0 },
        { "9007199254740993.0000000001", 9007199254740994.0 },
        { "4.9e-324", std::numeric_limits<double>::denorm_min() },
        { "1.7976931348623157e308", std::numeric_limits<double>::max() },
        { "1.7976931348623159e308", std::nullopt },
        { "-1e-400", -0.0 },
        { "1" + zeros, std::nullopt },
        { "0." + zeros + "1e700", 1e199 },
        { "0." + zeros + "1e810", std::nullopt },
    };
    for (const auto& [document, value] : cases) {
        SCOPED_TRACE(document.substr(0, 60));
        auto decoded = JSON::decode(document);
        EXPECT_EQ(decoded ? decoded->numberValue() : std::nullopt, value);
        EXPECT_EQ(decoded && std::signbit(*decoded->numberValue()), value && std::signbit(*value));
    }
}

TEST(JSON, EqualityIsStructuralWithCanonicallyEquivalentStrings)
{
    EXPECT_EQ(JSON(0), JSON::number(-0.0));
    EXPECT_NE(JSON::array({ JSON::number(kNaN) }), JSON::array({ JSON::number(kNaN) }));
    EXPECT_EQ(JSON::object({ { "a", 1 }, { "b", 2 } }), JSON::object({ { "b", 2 }, { "a", 1 } }));
    // é precomposed and as e + combining acute accent; combining marks of different classes in either order.
    EXPECT_EQ(JSON::array({ "\xC3\xA9" }), JSON::array({ "e\xCC\x81" }));
    EXPECT_EQ(JSON("q\xCC\xA3\xCC\x81"), JSON("q\xCC\x81\xCC\xA3"));
    // Compatibility forms are not canonical ones: the "fi" ligature stays apart from "fi".
    EXPECT_NE(JSON("\xEF\xAC\x81"), JSON("fi"));
}

TEST(JSON, SubscriptTakesTheLastOfRepeatedKeys)
{
    auto object = JSON::decode(R"({"present":null,"a":1,"a":3})");
    ASSERT_TRUE(object && object->subscript("present"));
    EXPECT_TRUE(object->subscript("present")->isNull());
    EXPECT_EQ(*object->subscript("a"), JSON(3));
    EXPECT_EQ(*JSON::object({ { "k", 1 }, { "k", 2 } }).subscript("k"), JSON(2));
}

TEST(JSON, RepeatedKeysKeepTheLaterValueWhereverTheyStand)
{
    const std::pair<std::string, std::string> cases[] = {
        { R"({"b":1,"a":2,"b":3,"a":4})", R"({"a":4,"b":3})" },
        { R"({"a":1,"a":2,"a":3})", R"({"a":3})" },
        { R"({"z":{"k":1,"k":2},"a":[{"k":3},{"k":4,"k":5}]})", R"({"a":[{"k":3},{"k":5}],"z":{"k":2}})" },
        // Siblings at one depth share nothing: members of one never show up in the next.
        { R"([{"a":1,"b":2},{"c":3},{},[1,2,3],[4],[]])", R"([{"a":1,"b":2},{"c":3},{},[1,2,3],[4],[]])" },
        { "{\"\xC3\xA9\":1,\"z\":2,\"\":3}", "{\"\":3,\"z\":2,\"\xC3\xA9\":1}" },
    };
    for (const auto& [document, canonical] : cases) {
        SCOPED_TRACE(document);
        EXPECT_EQ(decodedThenEncoded(document), canonical);
    }
}

TEST(JSON, ReadsIntegersAtTheFifteenDigitBoundaryExactly)
{
    const std::pair<std::string, double> cases[] = {
        { "999999999999999", 999999999999999.0 },
        { "-999999999999999", -999999999999999.0 },
        { "9999999999999999", 1e16 },
        { "18446744073709551617", 18446744073709551616.0 },
        { "-0", -0.0 },
        { "0", 0.0 },
    };
    for (const auto& [document, value] : cases) {
        SCOPED_TRACE(document);
        auto decoded = JSON::decode(document);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded->numberValue(), value);
        EXPECT_EQ(std::signbit(*decoded->numberValue()), std::signbit(value));
    }
}

TEST(JSON, StringBytesAreJudgedAtEveryOffsetOfAnEightByteWord)
{
    // Each byte right at and around the edges of what a string may hold verbatim, and how it is written.
    const std::pair<std::string, std::string> bytes[]
        = { { std::string(1, '\0'), "\\u0000" }, { "\x1F", "\\u001f" }, { "\"", "\\\"" }, { "\\", "\\\\" },
              { "\xFF", "\xEF\xBF\xBD" }, { "\x80", "\xEF\xBF\xBD" }, { " ", " " }, { "!", "!" },
              { "#", "#" }, { "[", "[" }, { "]", "]" }, { "\x7F", "\x7F" }, { "\xC3\xA9", "\xC3\xA9" } };
    for (std::size_t offset = 0; offset < 18; ++offset) {
        for (const auto& [byte, written] : bytes) {
            SCOPED_TRACE(testing::Message() << offset << " " << written);
            const std::string before(offset, 'a');
            const std::string after(9, 'c');
            EXPECT_EQ(JSON(before + byte + after).encoded(), "\"" + before + written + after + "\"");
            // Read back: only bytes allowed raw in a document decode from their raw form.
            const bool allowedRaw = byte == written;
            auto decoded = JSON::decode("\"" + before + byte + after + "\"");
            EXPECT_EQ(decoded.has_value(), allowedRaw);
            if (decoded) {
                EXPECT_EQ(*decoded->stringValue(), before + byte + after);
            }
        }
    }
}

TEST(JSON, NestingLimitIsExactAndHostileDepthDecodesAsAbsent)
{
    const auto limit = static_cast<std::size_t>(JSON::kMaxDecodeDepth);
    EXPECT_EQ(decodedThenEncoded(nested(limit, "1")), nested(limit, "1"));
    EXPECT_EQ(JSON::decode(nested(limit + 1)), std::nullopt);
    // Kept on an explicit stack, a million levels cost no call depth.
    EXPECT_EQ(JSON::decode(nested(1'000'000)), std::nullopt);
}

TEST(JSON, DecodesOnlyWellFormedUTF8AndEscapes)
{
    // Between the quotes, and the text it means.
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        { "\x7F\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\x7F\xF0\x90\x80\x80\xF4\x8F\xBF\xBF" },
        { "\xE2\x22\x80", std::nullopt }, // quote where a continuation belongs
        { "caf\xE9", std::nullopt }, // the scalar reader's own rules meet Python's in their tests
        { R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t" },
        { R"(\u0041\u00e9\u00E9\u0000)", std::string("A\xC3\xA9\xC3\xA9\0", 6) },
        // The boundaries of UTF-8's two-, three- and four-byte forms.
        { R"(\u007f\u0080\u07ff\u0800\uD800\uDC00)", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xF0\x90\x80\x80" },
        { R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80" },
        { R"(\uD83D)", std::nullopt },
        { R"(\uDE00)", std::nullopt },
        { R"(\uD83D\u0041)", std::nullopt },
        { R"(\u12G4)", std::nullopt },
        { R"(\x41)", std::nullopt },
        { "\\", std::nullopt },
        { "raw\ttab", std::nullopt },
    };
    for (const auto& [inside, text] : cases) {
        SCOPED_TRACE(inside);
        auto value = JSON::decode("\"" + inside + "\"");
        EXPECT_EQ(value ? std::optional(*value->stringValue()) : std::nullopt, text);
    }
}

TEST(JSON, EncodesControlsAsEscapesAndBrokenBytesAsReplacementCharacters)
{
    std::string controls;
    for (char c = 0; c < 0x20; ++c)
        controls += c;
    EXPECT_EQ(JSON(controls + "\"\\/ \x7F").encoded(),
        R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
        R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f)"
        "\\\"\\\\/ \x7F\"");
    // Each byte that begins no well-formed sequence becomes U+FFFD, so the result always decodes again.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JSON("a\xFF\xC3").encoded(), "\"a" + replacement + replacement + "\"");
    EXPECT_EQ(JSON("\xED\xA0\x80").encoded(), "\"" + replacement + replacement + replacement + "\"");
}

TEST(JSON, CopiesAreReadableFromManyThreadsAtOnce)
{
    auto shared = JSON::decode(R"({"list":[1,2.5,"x/y",{"deep":[null,true]}],"name":"caf\u00e9"})");
    ASSERT_TRUE(shared);
    EXPECT_EQ(vellumar::test::failuresOnThreads(8, 200,
                  [&](int) {
                      JSON copy = *shared;
                      return JSON::decode(copy.encoded()) == copy;
                  }),
        0);
}

TEST(JSON, RoundTripsThroughPythonsJSONModule)
{
    // Python reads each of our lines and writes it back twice: sorted and compact with raw UTF-8
    // (the same canonical shape as ours), and spaced out with every non-ASCII scalar escaped.
    const std::string script = R"(
import json, sys
for line in sys.stdin.buffer.read().decode("utf-8").split("\n"):
    if not line:
        continue
    value = json.loads(line)
    print(json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
    print(json.dumps(value, ensure_ascii=True))
)";
    constexpr int documentCount = 400;
    DocumentGenerator generator { std::mt19937_64(20240611) };
    std::vector<JSON> values;
    std::string input;
    for (int i = 0; i < documentCount; ++i) {
        values.push_back(generator.value(4, i % 2 == 0));
        input += values.back().encoded() + "\n";
    }
    auto result = vellumar::test::runPeer({ "python3", "-c", script }, input);
    ASSERT_EQ(result.exitStatus, 0);
    std::istringstream lines(result.output);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string ours = values[i].encoded();
        SCOPED_TRACE(ours);
        std::string compact;
        std::string spaced;
        ASSERT_TRUE(std::getline(lines, compact) && std::getline(lines, spaced));
        if (i % 2 == 0) {
            EXPECT_EQ(compact, ours);
        }
        for (const std::string& theirs : { compact, spaced }) {
            auto back = JSON::decode(theirs);
            ASSERT_TRUE(back) << theirs;
            EXPECT_TRUE(*back == values[i]);
        }
    }
}

}
