#include "VellumarMacCore/Foundations/JSON.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

using vellumar::JSON;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string decodedThenEncoded(std::string_view document)
{
    auto value = JSON::decode(document);
    return value ? value->encoded() : "<absent>";
}

std::string nested(std::size_t depth, std::string_view inner = "")
{
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

// Random documents for round trips against an independent reader and writer.
class DocumentGenerator {
public:
    explicit DocumentGenerator(std::uint32_t seed)
        : m_random(seed)
    {
    }

    // With `integersOnly`, every number is whole and in the integer range, so that both writers
    // must produce the very same bytes.
    JSON value(int depthLeft, bool integersOnly)
    {
        switch (pick(depthLeft > 0 ? 7 : 5)) {
        case 0:
            return JSON();
        case 1:
            return JSON(pick(2) == 0);
        case 2:
            return integersOnly ? JSON(static_cast<long long>(pickInteger())) : number();
        case 3:
        case 4:
            return JSON(text());
        case 5: {
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

private:
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }

    std::int64_t pickInteger()
    {
        constexpr std::int64_t limit = 999'999'999'999'999;
        switch (pick(3)) {
        case 0:
            return pick(201) - 100;
        case 1:
            return std::uniform_int_distribution<std::int64_t>(-limit, limit)(m_random);
        default:
            return pick(2) == 0 ? limit : -limit;
        }
    }

    JSON number()
    {
        static const double awkward[] = { 0.1, -0.0, 1e15, -1e15, 1e15 + 0.5, 1e16, 0.49999999999999994,
            5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 9007199254740993.0, 1e-7,
            123456.789e-300 };
        switch (pick(4)) {
        case 0:
            return JSON(static_cast<long long>(pickInteger()));
        case 1:
            return JSON::number(awkward[pick(std::size(awkward))]);
        case 2:
            return JSON::number(std::uniform_real_distribution<double>(-1e6, 1e6)(m_random));
        default: {
            // Any finite bit pattern, subnormals included.
            for (;;) {
                double candidate = std::bit_cast<double>(m_random());
                if (std::isfinite(candidate))
                    return JSON::number(candidate);
            }
        }
        }
    }

    std::string text()
    {
        // ASCII, characters that must be escaped, and every UTF-8 length, combining marks included.
        static const char* const pieces[] = { "a", "Z", "0", " ", "/", "\\", "\"", "\n", "\t", "\x01", "\x1f",
            "\x7f", "\xC3\xA9", "e\xCC\x81", "\xE2\x80\xA8", "\xE4\xB8\xAD", "\xEF\xBF\xBF",
            "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "key", "{\"x\":[1]}" };
        std::string result;
        for (int count = pick(8); count > 0; --count)
            result += pieces[pick(std::size(pieces))];
        if (pick(10) == 0)
            result += std::string(1, '\0');
        return result;
    }

    std::mt19937_64 m_random;
};

}

TEST(JSON, EncodesNumbersByTheIntegerRule)
{
    struct Case {
        double value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        { 5.0, "5" },
        { 5.5, "5.5" },
        { -0.0, "0" },
        { 0.0, "0" },
        { 999999999999999.0, "999999999999999" },
        { -999999999999999.0, "-999999999999999" },
        { 1e15, "1e+15" },
        { -1e15, "-1e+15" },
        { 0.1, "0.1" },
        { 1e-7, "1e-07" },
        { 0.49999999999999994, "0.49999999999999994" },
        { 123456789012345678.0, "1.2345678901234568e+17" },
        { 1234567890123456.0, "1.234567890123456e+15" },
        { 1e15 + 0.5, "1.0000000000000005e+15" },
        { std::numeric_limits<double>::max(), "1.7976931348623157e+308" },
        { std::numeric_limits<double>::denorm_min(), "5e-324" },
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(expected);
        std::string spelled = JSON::number(value).encoded();
        if (JSON::isIntegral(value)) {
            EXPECT_EQ(spelled, expected);
        } else {
            // The spelling must read back as the same double and never look like an integer.
            auto back = JSON::decode(spelled);
            ASSERT_TRUE(back);
            EXPECT_EQ(*back->numberValue(), value);
            EXPECT_EQ(spelled, expected);
        }
    }
}

TEST(JSON, IntegerRuleHoldsAtItsEdges)
{
    struct Case {
        double value;
        std::optional<std::int64_t> expected;
    };
    const std::vector<Case> cases = {
        { 2.0, 2 },
        { 2.5, std::nullopt },
        { -2.0, -2 },
        { -0.0, 0 },
        { 1e15, std::nullopt },
        { -1e15, std::nullopt },
        { 999999999999999.0, 999999999999999 },
        { -999999999999999.0, -999999999999999 },
        { 999999999999999.5, std::nullopt },
        { 0.49999999999999994, std::nullopt },
        { 0.5, std::nullopt },
        { 4503599627370495.5, std::nullopt },
        { kNaN, std::nullopt },
        { kInfinity, std::nullopt },
        { -kInfinity, std::nullopt },
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(JSON::number(value).intValue(), expected);
        EXPECT_EQ(JSON::isIntegral(value), expected.has_value());
    }
    EXPECT_EQ(JSON("2").intValue(), std::nullopt);
    EXPECT_EQ(JSON(true).intValue(), std::nullopt);
    EXPECT_EQ(JSON().intValue(), std::nullopt);
}

TEST(JSON, EncodesObjectsWithSortedKeysNoSpacesAndSlashUnescaped)
{
    JSON value = JSON::object({ { "b", 1 }, { "a", "x/y" }, { "c", JSON::number(5.0) } });
    EXPECT_EQ(value.encoded(), R"({"a":"x/y","b":1,"c":5})");
    EXPECT_EQ(decodedThenEncoded(R"( { "b" : 1 , "a" : "x\/y", "c": 5.0 } )"), R"({"a":"x/y","b":1,"c":5})");
}

TEST(JSON, NonFiniteNumberAnywhereEncodesAsNull)
{
    for (double bad : { kNaN, kInfinity, -kInfinity }) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(JSON::number(bad).encoded(), "null");
        JSON deep
            = JSON::object({ { "a", JSON::array({ 1, "x", JSON::object({ { "z", JSON::number(bad) } }) }) },
                { "b", true } });
        EXPECT_EQ(deep.encoded(), "null");
    }
}

TEST(JSON, DecodesEachAlternative)
{
    EXPECT_EQ(JSON::decode("true"), JSON(true));
    EXPECT_EQ(JSON::decode("false"), JSON(false));
    EXPECT_EQ(JSON::decode("1"), JSON(1));
    EXPECT_EQ(JSON::decode("\"1\"")->kind(), JSON::Kind::string);
    EXPECT_EQ(JSON::decode("null"), JSON());
    EXPECT_EQ(JSON::decode("[]")->kind(), JSON::Kind::array);
    EXPECT_EQ(JSON::decode("{}")->kind(), JSON::Kind::object);
    EXPECT_EQ(JSON::decode("tru"), std::nullopt);
}

TEST(JSON, RejectsMalformedDocuments)
{
    const std::vector<std::string> documents = {
        "",
        " ",
        "tru",
        "nul",
        "True",
        "NaN",
        "Infinity",
        "-Infinity",
        "+1",
        "01",
        "-01",
        "1.",
        ".5",
        "1e",
        "1e+",
        "-",
        "0x10",
        "1 2",
        "[1,]",
        "[,1]",
        "[1 2]",
        "{\"a\":1,}",
        "{\"a\" 1}",
        "{a:1}",
        "{'a':1}",
        "{\"a\":}",
        "{1:2}",
        "[",
        "]",
        "{",
        "[1",
        "{\"a\":1",
        "\"abc",
        "'abc'",
        "[1]]",
        "\xEF\xBB\xBF{}",
        "\f1",
        "\v1",
        std::string("1\0", 2),
        "1e400",
        "-1e400",
        "1e99999999999999999999999",
        "[1]x",
        "/* c */ 1",
    };
    for (const auto& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_EQ(JSON::decode(document), std::nullopt);
    }
}

TEST(JSON, DecodesNumbersAtTheEdgesOfTheDoubleRange)
{
    const std::string zeros(500, '0');
    struct Case {
        std::string document;
        std::optional<double> value; // absent: too large for a double
    };
    const std::vector<Case> cases = {
        { "1e-400", 0.0 },
        { "-1e-400", -0.0 },
        { "0.0000001e-99999999999999999999", 0.0 },
        { "0." + zeros + "1e-10", 0.0 },
        { "2e-324", 0.0 },
        { "4.9e-324", std::numeric_limits<double>::denorm_min() },
        { "1.7976931348623157e308", std::numeric_limits<double>::max() },
        { "1.7976931348623159e308", std::nullopt },
        { "-1.7976931348623159e308", std::nullopt },
        { "1e309", std::nullopt },
        { "1" + zeros, std::nullopt },
        { "1" + zeros + "e-500", 1.0 },
        { "1" + zeros + "e-1000", 0.0 },
        { "0." + zeros + "1e810", std::nullopt },
        { "0." + zeros + "1e700", 1e199 },
        { "0e99999999999", 0.0 },
        { "100000000000000000000000000000000000000000000000e-40", 1e7 },
    };
    for (const auto& [document, value] : cases) {
        SCOPED_TRACE(document.substr(0, 60));
        auto decoded = JSON::decode(document);
        ASSERT_EQ(decoded.has_value(), value.has_value());
        if (value) {
            EXPECT_EQ(*decoded->numberValue(), *value);
            EXPECT_EQ(std::signbit(*decoded->numberValue()), std::signbit(*value));
        }
    }
}

TEST(JSON, AcceptsEveryNumberForm)
{
    struct Case {
        std::string document;
        double value;
    };
    const std::vector<Case> cases = {
        { "0", 0.0 },
        { "-0", -0.0 },
        { "0.0e0", 0.0 },
        { "1E5", 1e5 },
        { "1e+5", 1e5 },
        { "1e-5", 1e-5 },
        { "-12.25E-2", -0.1225 },
        { "0e+1", 0.0 },
        { "10", 10.0 },
        { "1.000", 1.0 },
        { "123456789012345678901234567890", 123456789012345678901234567890.0 },
    };
    for (const auto& [document, value] : cases) {
        SCOPED_TRACE(document);
        auto decoded = JSON::decode(document);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded->numberValue(), value);
        EXPECT_EQ(std::signbit(*decoded->numberValue()), std::signbit(value));
    }
}

TEST(JSON, DecodesNumbersWithCorrectRounding)
{
    EXPECT_EQ(*JSON::decode("0.1")->numberValue(), 0.1);
    // Halfway between 2^53 and 2^53 + 2: ties to even.
    EXPECT_EQ(*JSON::decode("9007199254740993")->numberValue(), 9007199254740992.0);
    EXPECT_EQ(*JSON::decode("9007199254740993.0000000001")->numberValue(), 9007199254740994.0);
    EXPECT_EQ(*JSON::decode("2.2250738585072011e-308")->numberValue(), 2.225073858507201e-308);
}

TEST(JSON, EqualityIsStructural)
{
    EXPECT_EQ(JSON(0), JSON::number(-0.0));
    EXPECT_NE(JSON::number(kNaN), JSON::number(kNaN));
    EXPECT_NE(JSON::array({ JSON::number(kNaN) }), JSON::array({ JSON::number(kNaN) }));
    EXPECT_NE(JSON("1"), JSON(1));
    EXPECT_NE(JSON(1), JSON(true));
    EXPECT_NE(JSON(0), JSON());
    EXPECT_NE(JSON(false), JSON());
    EXPECT_NE(JSON(""), JSON());
    EXPECT_NE(JSON::array({}), JSON::object({}));
    EXPECT_EQ(JSON(), JSON(nullptr));
    EXPECT_EQ(JSON::array({ 1, "a" }), JSON::array({ 1, "a" }));
    EXPECT_NE(JSON::array({ 1, "a" }), JSON::array({ "a", 1 }));
    EXPECT_NE(JSON::array({ 1 }), JSON::array({ 1, 1 }));
    EXPECT_EQ(JSON::object({ { "a", 1 }, { "b", 2 } }), JSON::object({ { "b", 2 }, { "a", 1 } }));
    EXPECT_NE(JSON::object({ { "a", 1 } }), JSON::object({ { "a", 1 }, { "b", JSON() } }));
    EXPECT_NE(JSON::object({ { "a", 1 } }), JSON::object({ { "a", 2 } }));
}

TEST(JSON, StringsCompareByCanonicalEquivalence)
{
    // é precomposed and as e + combining acute accent.
    EXPECT_EQ(JSON("\xC3\xA9"), JSON("e\xCC\x81"));
    // Ångström sign and A with ring above.
    EXPECT_EQ(JSON("\xE2\x84\xAB"), JSON("\xC3\x85"));
    // Combining marks in either order where their classes differ (dot below, then acute).
    EXPECT_EQ(JSON("q\xCC\xA3\xCC\x81"), JSON("q\xCC\x81\xCC\xA3"));
    // Compatibility forms are not canonical ones: the "fi" ligature stays apart from "fi".
    EXPECT_NE(JSON("\xEF\xAC\x81"), JSON("fi"));
    EXPECT_NE(JSON("e"), JSON("\xC3\xA9"));
    EXPECT_NE(JSON("abc"), JSON("abd"));
    EXPECT_EQ(JSON::array({ "\xC3\xA9" }), JSON::array({ "e\xCC\x81" }));
}

TEST(JSON, LiteralsYieldTheirAlternatives)
{
    EXPECT_EQ(JSON(true).kind(), JSON::Kind::boolean);
    EXPECT_EQ(JSON(7).kind(), JSON::Kind::number);
    EXPECT_EQ(JSON(7ULL).numberValue(), 7.0);
    EXPECT_EQ(JSON(-7L).intValue(), -7);
    EXPECT_EQ(JSON("x").kind(), JSON::Kind::string);
    EXPECT_EQ(JSON(std::string_view("x")), JSON(std::string("x")));
    EXPECT_EQ(JSON(static_cast<const char*>(nullptr)), JSON());
    EXPECT_EQ(JSON::array({ 1, 2 }).arrayValue()->size(), 2u);
    EXPECT_EQ(JSON().kind(), JSON::Kind::null);
    EXPECT_TRUE(JSON().isNull());

    JSON repeated = JSON::object({ { "k", 1 }, { "k", 2 } });
    EXPECT_EQ(repeated.objectValue()->size(), 1u);
    EXPECT_EQ(*repeated.subscript("k"), JSON(2));

    EXPECT_EQ(JSON::optionalString(std::nullopt), JSON());
    EXPECT_EQ(JSON::optionalString("t"), JSON("t"));
    EXPECT_EQ(JSON::optionalInt(std::nullopt), JSON());
    EXPECT_EQ(JSON::optionalInt(42), JSON(42));
}

TEST(JSON, AccessorsAnswerAbsentForOtherAlternatives)
{
    const std::vector<JSON> values
        = { JSON(true), JSON(1), JSON("s"), JSON::array({}), JSON::object({}), JSON() };
    for (const JSON& value : values) {
        SCOPED_TRACE(value.encoded());
        EXPECT_EQ(value.boolValue().has_value(), value.kind() == JSON::Kind::boolean);
        EXPECT_EQ(value.numberValue().has_value(), value.kind() == JSON::Kind::number);
        EXPECT_EQ(value.stringValue() != nullptr, value.kind() == JSON::Kind::string);
        EXPECT_EQ(value.arrayValue() != nullptr, value.kind() == JSON::Kind::array);
        EXPECT_EQ(value.objectValue() != nullptr, value.kind() == JSON::Kind::object);
        EXPECT_EQ(value.subscript("s"), nullptr);
    }
}

TEST(JSON, SubscriptReturnsNullMembersAsNull)
{
    auto value = JSON::decode(R"({"present":null,"n":1})");
    ASSERT_TRUE(value);
    ASSERT_NE(value->subscript("present"), nullptr);
    EXPECT_TRUE(value->subscript("present")->isNull());
    EXPECT_EQ(value->subscript("missing"), nullptr);
    EXPECT_EQ(JSON::decode(R"(["present"])")->subscript("present"), nullptr);
    EXPECT_EQ(JSON("present").subscript("present"), nullptr);
}

TEST(JSON, DuplicateKeysKeepTheLaterValue)
{
    EXPECT_EQ(decodedThenEncoded(R"({"a":1,"b":2,"a":3})"), R"({"a":3,"b":2})");
    EXPECT_EQ(decodedThenEncoded(R"({"a":{"x":1},"a":[]})"), R"({"a":[]})");
}

TEST(JSON, NestingLimitIsExact)
{
    const auto limit = static_cast<std::size_t>(JSON::kMaxDecodeDepth);
    EXPECT_TRUE(JSON::decode(nested(limit - 1)));
    EXPECT_TRUE(JSON::decode(nested(limit)));
    EXPECT_TRUE(JSON::decode(nested(limit, "1")));
    EXPECT_EQ(JSON::decode(nested(limit + 1)), std::nullopt);
    EXPECT_EQ(JSON::decode(nested(limit + 1, "1")), std::nullopt);

    std::string objects;
    for (std::size_t i = 0; i < limit; ++i)
        objects += "{\"k\":";
    EXPECT_TRUE(JSON::decode(objects + "{}" + std::string(limit, '}')) == std::nullopt);
    EXPECT_TRUE(JSON::decode(objects + "0" + std::string(limit, '}')));
    EXPECT_EQ(decodedThenEncoded(nested(limit, "1")), nested(limit, "1"));
}

TEST(JSON, MillionOpeningBracketsDecodeAsAbsent)
{
    EXPECT_EQ(JSON::decode(std::string(1'000'000, '[')), std::nullopt);
    EXPECT_EQ(JSON::decode(nested(1'000'000)), std::nullopt);
    std::string objects;
    for (int i = 0; i < 1'000'000; ++i)
        objects += "{\"\":";
    EXPECT_EQ(JSON::decode(objects), std::nullopt);
}

TEST(JSON, ValidatesUTF8InsideStrings)
{
    struct Case {
        std::string name;
        std::string bytes;
        bool accepted;
    };
    const std::vector<Case> cases = {
        { "smallest two-byte", "\xC2\x80", true },
        { "largest two-byte", "\xDF\xBF", true },
        { "smallest three-byte", "\xE0\xA0\x80", true },
        { "last before surrogates", "\xED\x9F\xBF", true },
        { "first after surrogates", "\xEE\x80\x80", true },
        { "largest three-byte", "\xEF\xBF\xBF", true },
        { "smallest four-byte", "\xF0\x90\x80\x80", true },
        { "largest scalar", "\xF4\x8F\xBF\xBF", true },
        { "delete kept raw", "\x7F", true },
        { "overlong NUL", "\xC0\x80", false },
        { "overlong two-byte", "\xC1\xBF", false },
        { "overlong three-byte", "\xE0\x9F\xBF", false },
        { "overlong four-byte", "\xF0\x8F\xBF\xBF", false },
        { "high surrogate encoded", "\xED\xA0\x80", false },
        { "low surrogate encoded", "\xED\xBF\xBF", false },
        { "past U+10FFFF", "\xF4\x90\x80\x80", false },
        { "five-byte lead", "\xF8\x88\x80\x80\x80", false },
        { "lead F5", "\xF5\x80\x80\x80", false },
        { "byte FF", "\xFF", false },
        { "lone continuation", "\x80", false },
        { "truncated two-byte", "\xC2", false },
        { "truncated three-byte", "\xE0\xA0", false },
        { "truncated four-byte", "\xF0\x90\x80", false },
        { "ASCII where a continuation belongs", "\xC2\x41", false },
        { "quote where a continuation belongs", "\xE2\x22\x80", false },
        { "Latin-1 text", "caf\xE9", false },
    };
    for (const auto& [name, bytes, accepted] : cases) {
        SCOPED_TRACE(name);
        auto value = JSON::decode("\"" + bytes + "\"");
        EXPECT_EQ(value.has_value(), accepted);
        if (value) {
            EXPECT_EQ(*value->stringValue(), bytes);
        }
    }
    // Outside strings only ASCII tokens exist.
    EXPECT_EQ(JSON::decode("[\xC3\xA9]"), std::nullopt);
    EXPECT_EQ(JSON::decode("\xC2\xA0"
                           "1"),
        std::nullopt);
}

TEST(JSON, DecodesEscapes)
{
    struct Case {
        std::string escaped;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        { R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t" },
        { R"(\u0041)", "A" },
        { R"(\u00e9\u00E9)", "\xC3\xA9\xC3\xA9" },
        { R"(\u0000)", std::string(1, '\0') },
        { R"(\u07ff\u0800)", "\xDF\xBF\xE0\xA0\x80" },
        { R"(\uffff)", "\xEF\xBF\xBF" },
        { R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80" },
        { R"(\udbff\udfff)", "\xF4\x8F\xBF\xBF" },
        { R"(\uD800\uDC00)", "\xF0\x90\x80\x80" },
        { R"(\uD83D)", std::nullopt },
        { R"(\uDE00)", std::nullopt },
        { R"(\uDE00\uD83D)", std::nullopt },
        { R"(\uD83D\u0041)", std::nullopt },
        { R"(\uD83D\uD83D)", std::nullopt },
        { R"(\uD83Dx)", std::nullopt },
        { R"(\uD83D\n)", std::nullopt },
        { R"(\u12)", std::nullopt },
        { R"(\u12G4)", std::nullopt },
        { R"(\u-123)", std::nullopt },
        { R"(\U0041)", std::nullopt },
        { R"(\x41)", std::nullopt },
        { R"(\')", std::nullopt },
        { R"(\0)", std::nullopt },
        { R"(\a)", std::nullopt },
        { "\\", std::nullopt },
        { "raw\ttab", std::nullopt },
        { "raw\nline", std::nullopt },
        { "raw\x01", std::nullopt },
        { std::string("raw\0nul", 7), std::nullopt },
    };
    for (const auto& [escaped, text] : cases) {
        SCOPED_TRACE(escaped);
        auto value = JSON::decode("\"" + escaped + "\"");
        ASSERT_EQ(value.has_value(), text.has_value());
        if (value) {
            EXPECT_EQ(*value->stringValue(), *text);
        }
    }
}

TEST(JSON, EscapesOnlyWhatJSONRequires)
{
    std::string controls;
    for (char c = 0; c < 0x20; ++c)
        controls += c;
    EXPECT_EQ(JSON(controls).encoded(),
        R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
        R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f")");
    EXPECT_EQ(JSON("\"\\/").encoded(), R"("\"\\/")");
    // DEL, line and paragraph separators, non-ASCII and astral scalars stay raw.
    std::string raw = "\x7F\xE2\x80\xA8\xE2\x80\xA9\xC3\xA9\xF0\x9F\x98\x80";
    EXPECT_EQ(JSON(raw).encoded(), "\"" + raw + "\"");
    EXPECT_EQ(JSON::object({ { "k\"\n", "v" } }).encoded(), R"({"k\"\n":"v"})");
}

TEST(JSON, EncodesBytesThatAreNotUTF8AsReplacementCharacters)
{
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JSON("a\xFF"
                   "b")
                  .encoded(),
        "\"a" + replacement + "b\"");
    EXPECT_EQ(JSON("\xED\xA0\x80").encoded(), "\"" + replacement + replacement + replacement + "\"");
    EXPECT_EQ(JSON("\xC3").encoded(), "\"" + replacement + "\"");
    JSON withBadKey = JSON::object({ { "\xC0", 1 } });
    EXPECT_EQ(withBadKey.encoded(), "{\"" + replacement + "\":1}");
    EXPECT_TRUE(JSON::decode(withBadKey.encoded()));
}

TEST(JSON, SortsKeysByTheirUTF8Bytes)
{
    JSON value = JSON::object({ { "\xC3\xA9", 1 }, { "z", 2 }, { "Z", 3 }, { "", 4 },
        { "\xF0\x9F\x98\x80", 5 }, { "\xEF\xBC\xA1", 6 }, { "aa", 7 }, { "a", 8 } });
    EXPECT_EQ(value.encoded(),
        "{\"\":4,\"Z\":3,\"a\":8,\"aa\":7,\"z\":2,\"\xC3\xA9\":1,\"\xEF\xBC\xA1\":6,\"\xF0\x9F\x98\x80\":5}");
}

TEST(JSON, AcceptsWhitespaceOnlyWhereTheGrammarAllows)
{
    EXPECT_EQ(decodedThenEncoded(" \t\r\n[ \t\r\n1 \t\r\n, {\n\"a\"\r:\ttrue } ] \n"), R"([1,{"a":true}])");
    EXPECT_EQ(decodedThenEncoded("\"  spaced  \""), "\"  spaced  \"");
    EXPECT_EQ(JSON::decode("t rue"), std::nullopt);
    EXPECT_EQ(JSON::decode("- 1"), std::nullopt);
    EXPECT_EQ(JSON::decode("1 .5"), std::nullopt);
    EXPECT_EQ(JSON::decode("\xC2\xA0[]"), std::nullopt);
}

TEST(JSON, CopiesShareNothingObservable)
{
    JSON::Array elements = { 1, "two" };
    JSON original(elements);
    JSON copy = original;
    elements.push_back(3);
    original = JSON("replaced");
    EXPECT_EQ(copy.encoded(), R"([1,"two"])");
}

TEST(JSON, CopiesAreReadableFromManyThreadsAtOnce)
{
    auto shared = JSON::decode(R"({"list":[1,2.5,"x/y",{"deep":[null,true]}],"name":"caf\u00e9"})");
    ASSERT_TRUE(shared);
    const std::string expected = shared->encoded();
    std::vector<std::string> results(8);
    {
        std::vector<std::jthread> readers;
        for (std::size_t i = 0; i < results.size(); ++i) {
            readers.emplace_back([&, i] {
                for (int round = 0; round < 200; ++round) {
                    JSON copy = *shared;
                    auto again = JSON::decode(copy.encoded());
                    if (!again || !(*again == copy))
                        return;
                }
                results[i] = JSON(*shared).encoded();
            });
        }
    }
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
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
    DocumentGenerator generator(20240611);
    std::vector<JSON> values;
    std::string input;
    for (int i = 0; i < documentCount; ++i) {
        values.push_back(generator.value(4, i % 2 == 0));
        input += values.back().encoded() + "\n";
    }
    auto result = vellumar::test::runPeer({ "python3", "-c", script }, input);
    ASSERT_EQ(result.exitStatus, 0);

    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = result.output.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(result.output.substr(start, end - start));
    ASSERT_EQ(lines.size(), 2 * values.size());

    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string ours = values[i].encoded();
        SCOPED_TRACE(ours);
        const std::string& compact = lines[2 * i];
        if (i % 2 == 0) {
            EXPECT_EQ(compact, ours);
        }
        for (const std::string& theirs : { compact, lines[2 * i + 1] }) {
            auto back = JSON::decode(theirs);
            ASSERT_TRUE(back) << theirs;
            EXPECT_EQ(back->encoded(), ours);
            EXPECT_TRUE(*back == values[i]);
        }
    }
}
