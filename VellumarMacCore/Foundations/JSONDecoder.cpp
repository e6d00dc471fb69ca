// JSON::decode: a strict RFC 8259 reader. Nesting is kept on an explicit stack so that hostile
// input (a Claude Code line can hold 32 MiB of '[') never deepens the call stack.
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/JSONDetail.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <algorithm>
#include <iterator>
#include <charconv>
#include <cstdint>
#include <vector>

namespace vellumar {

namespace {

    bool isDigit(char c) { return c >= '0' && c <= '9'; }

    int hexDigitValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // A number whose magnitude lies outside the doubles: true when it is too large (it would be
    // infinite), false when it is too small (it rounds to zero). `text` matches the RFC 8259 grammar.
    bool isBeyondLargestDouble(std::string_view text)
    {
        // Counts saturate far beyond any input that fits in memory, so nothing overflows.
        constexpr std::int64_t saturation = std::int64_t(1) << 40;
        std::size_t index = text.front() == '-' ? 1 : 0;
        std::int64_t integerDigits = 0;
        std::int64_t leadingFractionZeros = 0;
        bool sawSignificantDigit = false;
        for (; index < text.size() && isDigit(text[index]); ++index) {
            if (text[index] != '0' || sawSignificantDigit) {
                sawSignificantDigit = true;
                integerDigits = std::min(integerDigits + 1, saturation);
            }
        }
        if (index < text.size() && text[index] == '.') {
            for (++index; index < text.size() && isDigit(text[index]); ++index) {
                if (!sawSignificantDigit && text[index] == '0')
                    leadingFractionZeros = std::min(leadingFractionZeros + 1, saturation);
                else
                    sawSignificantDigit = true;
            }
        }
        std::int64_t exponent = 0;
        if (index < text.size() && (text[index] == 'e' || text[index] == 'E')) {
            ++index;
            bool negative = text[index] == '-';
            if (text[index] == '-' || text[index] == '+')
                ++index;
            for (; index < text.size(); ++index)
                exponent = std::min(exponent * 10 + (text[index] - '0'), saturation);
            if (negative)
                exponent = -exponent;
        }
        // The decimal exponent of the first significant digit.
        std::int64_t magnitude
            = integerDigits > 0 ? integerDigits - 1 + exponent : exponent - leadingFractionZeros - 1;
        return magnitude >= 0;
    }

    class Decoder {
    public:
        explicit Decoder(std::string_view bytes)
            : m_bytes(bytes)
        {
        }

        std::optional<JSON> run();

    private:
        // An array or object still being read. Levels outlive their containers, so the members of
        // every sibling at one depth are gathered in the same buffers and each finished container
        // is allocated once, at its exact size.
        struct Level {
            bool isObject = false;
            std::vector<JSON> elements;
            std::vector<JSON::Object::value_type> members;
        };

        bool atEnd() const { return m_position >= m_bytes.size(); }
        char peek() const { return m_bytes[m_position]; }
        void skipWhitespace();
        bool consume(char expected);
        bool consumeLiteral(std::string_view literal);
        bool readString(std::string& text);
        bool readEscape(std::string& text);
        std::optional<char32_t> readHexQuad();
        std::optional<JSON> readNumber();
        std::optional<JSON> readScalar();
        bool readMemberKey(Level&);
        bool open(bool isObject);
        JSON closeInnermost();

        std::string_view m_bytes;
        std::size_t m_position = 0;
        std::vector<Level> m_levels;
        std::size_t m_depth = 0;
    };

    void Decoder::skipWhitespace()
    {
        // RFC 8259 §2: space, horizontal tab, line feed and carriage return only.
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++m_position;
    }

    bool Decoder::consume(char expected)
    {
        skipWhitespace();
        if (atEnd() || peek() != expected)
            return false;
        ++m_position;
        return true;
    }

    bool Decoder::consumeLiteral(std::string_view literal)
    {
        if (m_bytes.substr(m_position, literal.size()) != literal)
            return false;
        m_position += literal.size();
        return true;
    }

    std::optional<char32_t> Decoder::readHexQuad()
    {
        if (m_bytes.size() - m_position < 4)
            return std::nullopt;
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hexDigitValue(m_bytes[m_position++]);
            if (digit < 0)
                return std::nullopt;
            value = value << 4 | static_cast<char32_t>(digit);
        }
        return value;
    }

    // RFC 8259 §7, with the text required to be well-formed UTF-8 (§8.1) and escapes to name
    // Unicode scalars. Appends the text to `text`.
    bool Decoder::readString(std::string& text)
    {
        if (atEnd() || peek() != '"')
            return false;
        ++m_position;
        for (;;) {
            std::size_t runStart = m_position;
            m_position = detail::endOfVerbatimJSONRun(m_bytes, m_position);
            text.append(m_bytes.substr(runStart, m_position - runStart));
            // A control or a byte that is not UTF-8.
            if (atEnd() || static_cast<unsigned char>(peek()) < 0x20
                || static_cast<unsigned char>(peek()) >= 0x80)
                return false;
            if (peek() == '"') {
                ++m_position;
                return true;
            }
            ++m_position; // the backslash
            if (!readEscape(text))
                return false;
        }
    }

    // What follows a backslash; a surrogate escape must be a high one followed at once by a low one.
    bool Decoder::readEscape(std::string& text)
    {
        if (atEnd())
            return false;
        char escape = m_bytes[m_position++];
        switch (escape) {
        case '"':
        case '\\':
        case '/':
            text += escape;
            return true;
        case 'b':
            text += '\b';
            return true;
        case 'f':
            text += '\f';
            return true;
        case 'n':
            text += '\n';
            return true;
        case 'r':
            text += '\r';
            return true;
        case 't':
            text += '\t';
            return true;
        case 'u': {
            auto unit = readHexQuad();
            if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF))
                return false;
            char32_t scalar = *unit;
            if (*unit >= 0xD800 && *unit <= 0xDBFF) {
                if (!consumeLiteral("\\u"))
                    return false;
                auto low = readHexQuad();
                if (!low || *low < 0xDC00 || *low > 0xDFFF)
                    return false;
                scalar = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
            }
            detail::appendUTF8(text, scalar);
            return true;
        }
        default:
            return false;
        }
    }

    // RFC 8259 §6: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?, read with correct rounding.
    std::optional<JSON> Decoder::readNumber()
    {
        std::size_t start = m_position;
        std::uint64_t digits = 0;
        auto skipDigits = [&] {
            std::size_t first = m_position;
            for (; !atEnd() && isDigit(peek()); ++m_position)
                digits = digits * 10 + static_cast<std::uint64_t>(peek() - '0');
            return m_position - first;
        };
        bool negative = !atEnd() && peek() == '-';
        if (negative)
            ++m_position;
        std::size_t integerStart = m_position;
        if (!atEnd() && peek() == '0')
            ++m_position;
        else if (skipDigits() == 0)
            return std::nullopt;
        bool whole = true;
        if (!atEnd() && peek() == '.') {
            ++m_position;
            whole = false;
            if (skipDigits() == 0)
                return std::nullopt;
        }
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            ++m_position;
            whole = false;
            if (!atEnd() && (peek() == '+' || peek() == '-'))
                ++m_position;
            if (skipDigits() == 0)
                return std::nullopt;
        }
        // Up to 15 digits are below 2^53, so the integer itself is the correctly rounded double.
        if (whole && m_position - integerStart <= 15) {
            auto value = static_cast<double>(digits);
            return JSON::number(negative ? -value : value);
        }
        std::string_view text = m_bytes.substr(start, m_position - start);
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc::result_out_of_range) {
            // Too large for a double is not a number this system can hold; too small is zero.
            if (isBeyondLargestDouble(text))
                return std::nullopt;
            value = negative ? -0.0 : 0.0;
        } else if (error != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return JSON::number(value);
    }

    std::optional<JSON> Decoder::readScalar()
    {
        switch (peek()) {
        case 'n':
            return consumeLiteral("null") ? std::optional<JSON>(JSON()) : std::nullopt;
        case 't':
            return consumeLiteral("true") ? std::optional<JSON>(JSON(true)) : std::nullopt;
        case 'f':
            return consumeLiteral("false") ? std::optional<JSON>(JSON(false)) : std::nullopt;
        case '"': {
            std::string text;
            if (readString(text))
                return JSON(std::move(text));
            return std::nullopt;
        }
        default:
            return readNumber();
        }
    }

    bool Decoder::readMemberKey(Level& object)
    {
        skipWhitespace();
        if (!readString(object.members.emplace_back().first))
            return false;
        return consume(':');
    }

    // Past an opening bracket that is not closed at once.
    bool Decoder::open(bool isObject)
    {
        if (m_depth == m_levels.size())
            m_levels.emplace_back();
        Level& level = m_levels[m_depth++];
        level.isObject = isObject;
        return !isObject || readMemberKey(level);
    }

    JSON Decoder::closeInnermost()
    {
        Level& level = m_levels[--m_depth];
        JSON value;
        if (level.isObject) {
            // A repeated key keeps the later value, as the key/value literal does.
            value = JSON(JSON::Object({ std::make_move_iterator(level.members.begin()),
                                          std::make_move_iterator(level.members.end()) },
                JSON::Object::RepeatedKey::keepLast));
        } else {
            value = JSON(JSON::Array(std::make_move_iterator(level.elements.begin()),
                std::make_move_iterator(level.elements.end())));
        }
        level.members.clear();
        level.elements.clear();
        return value;
    }

    std::optional<JSON> Decoder::run()
    {
        JSON value;
        for (;;) {
            // Read one value, or open a container and go on with its first member.
            skipWhitespace();
            if (atEnd())
                return std::nullopt;
            char first = peek();
            if (first == '[' || first == '{') {
                if (m_depth >= static_cast<std::size_t>(JSON::kMaxDecodeDepth))
                    return std::nullopt;
                ++m_position;
                bool isObject = first == '{';
                if (consume(isObject ? '}' : ']')) {
                    value = isObject ? JSON(JSON::Object()) : JSON(JSON::Array());
                } else {
                    if (!open(isObject))
                        return std::nullopt;
                    continue;
                }
            } else if (auto scalar = readScalar()) {
                value = std::move(*scalar);
            } else {
                return std::nullopt;
            }

            // Hand the finished value to its container; close every container that ends here.
            for (;;) {
                if (m_depth == 0) {
                    skipWhitespace();
                    return atEnd() ? std::optional<JSON>(std::move(value)) : std::nullopt;
                }
                Level& innermost = m_levels[m_depth - 1];
                if (innermost.isObject)
                    innermost.members.back().second = std::move(value);
                else
                    innermost.elements.push_back(std::move(value));
                if (consume(',')) {
                    if (innermost.isObject && !readMemberKey(innermost))
                        return std::nullopt;
                    break;
                }
                if (!consume(innermost.isObject ? '}' : ']'))
                    return std::nullopt;
                value = closeInnermost();
            }
        }
    }

}

std::optional<JSON> JSON::decode(std::string_view bytes)
{
    try {
        return Decoder(bytes).run();
    } catch (...) {
        // Only allocation can fail here; a document too large to hold is not one we can read.
        return std::nullopt;
    }
}

}
