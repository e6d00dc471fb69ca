#include "MovraneMailbox/Protocol/ExactJSON.h"

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <charconv>
#include <cmath>

namespace movrane::ExactJSON {

namespace {

    bool isDigit(char c) { return c >= '0' && c <= '9'; }

    class Reader {
    public:
        Reader(std::string_view text, int maxDepth)
            : m_text(text)
            , m_depthLeft(maxDepth)
        {
        }

        std::optional<Value> document()
        {
            auto value = read();
            skipWhitespace();
            if (!value || m_position != m_text.size())
                return std::nullopt;
            return value;
        }

    private:
        bool atEnd() const { return m_position >= m_text.size(); }
        char peek() const { return m_text[m_position]; }
        void skipWhitespace()
        {
            while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
                ++m_position;
        }
        bool consume(char expected)
        {
            skipWhitespace();
            if (atEnd() || peek() != expected)
                return false;
            ++m_position;
            return true;
        }
        bool literal(std::string_view word)
        {
            if (m_text.substr(m_position, word.size()) != word)
                return false;
            m_position += word.size();
            return true;
        }

        std::optional<Value> read()
        {
            skipWhitespace();
            if (atEnd())
                return std::nullopt;
            Value value;
            switch (peek()) {
            case '{':
            case '[':
                return container();
            case '"':
                value.kind = Value::Kind::string;
                return string(value.text) ? std::optional(std::move(value)) : std::nullopt;
            case 'n':
                return literal("null") ? std::optional(value) : std::nullopt;
            case 't':
            case 'f':
                value.kind = Value::Kind::boolean;
                value.boolean = peek() == 't';
                return literal(value.boolean ? "true" : "false") ? std::optional(value) : std::nullopt;
            default:
                value.kind = Value::Kind::number;
                return number(value.text) ? std::optional(std::move(value)) : std::nullopt;
            }
        }

        std::optional<Value> container()
        {
            if (--m_depthLeft < 0)
                return std::nullopt;
            Value value;
            bool isObject = peek() == '{';
            value.kind = isObject ? Value::Kind::object : Value::Kind::array;
            ++m_position;
            if (!consume(isObject ? '}' : ']')) {
                do {
                    std::string name;
                    if (isObject && !key(name))
                        return std::nullopt;
                    auto element = read();
                    if (!element)
                        return std::nullopt;
                    if (isObject)
                        value.members.insert_or_assign(std::move(name), std::move(*element));
                    else
                        value.elements.push_back(std::move(*element));
                } while (consume(','));
                if (!consume(isObject ? '}' : ']'))
                    return std::nullopt;
            }
            ++m_depthLeft;
            return value;
        }

        // A member's name and its colon.
        bool key(std::string& name)
        {
            skipWhitespace();
            return !atEnd() && peek() == '"' && string(name) && consume(':');
        }

        std::optional<char32_t> hexQuad()
        {
            if (m_text.size() - m_position < 4)
                return std::nullopt;
            unsigned value = 0;
            auto [end, error] = std::from_chars(m_text.data() + m_position, m_text.data() + m_position + 4, value, 16);
            if (error != std::errc() || end != m_text.data() + m_position + 4)
                return std::nullopt;
            m_position += 4;
            return static_cast<char32_t>(value);
        }

        // RFC 8259 §7; the text must be UTF-8 and escapes must name scalars.
        bool string(std::string& out)
        {
            ++m_position; // the opening quote
            while (!atEnd()) {
                auto byte = static_cast<unsigned char>(peek());
                if (byte == '"') {
                    ++m_position;
                    return true;
                }
                if (byte < 0x20)
                    return false;
                if (byte != '\\') {
                    std::size_t length = vellumar::detail::validUTF8SequenceLength(m_text.substr(m_position));
                    if (length == 0)
                        return false;
                    out.append(m_text.substr(m_position, length));
                    m_position += length;
                    continue;
                }
                if (++m_position >= m_text.size())
                    return false;
                char escape = m_text[m_position++];
                static constexpr std::string_view kEscapes = "\"\\/bfnrt";
                static constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
                if (auto index = kEscapes.find(escape); index != std::string_view::npos) {
                    out += kMeanings[index];
                } else if (escape == 'u') {
                    auto unit = hexQuad();
                    if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF))
                        return false;
                    char32_t scalar = *unit;
                    if (scalar >= 0xD800 && scalar <= 0xDBFF) {
                        auto low = literal("\\u") ? hexQuad() : std::nullopt;
                        if (!low || *low < 0xDC00 || *low > 0xDFFF)
                            return false;
                        scalar = 0x10000 + ((scalar - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    vellumar::detail::appendUTF8(out, scalar);
                } else {
                    return false;
                }
            }
            return false;
        }

        // RFC 8259 §6 grammar; the literal is kept as written.
        bool number(std::string& out)
        {
            std::size_t start = m_position;
            auto digits = [&] {
                std::size_t first = m_position;
                while (!atEnd() && isDigit(peek()))
                    ++m_position;
                return m_position > first;
            };
            if (!atEnd() && peek() == '-')
                ++m_position;
            if (!atEnd() && peek() == '0')
                ++m_position;
            else if (!digits())
                return false;
            if (!atEnd() && peek() == '.' && (++m_position, !digits()))
                return false;
            if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
                ++m_position;
                if (!atEnd() && (peek() == '+' || peek() == '-'))
                    ++m_position;
                if (!digits())
                    return false;
            }
            out = std::string(m_text.substr(start, m_position - start));
            return true;
        }

        std::string_view m_text;
        std::size_t m_position = 0;
        int m_depthLeft;
    };

}

const Value* Value::member(std::string_view key) const
{
    auto found = members.find(key);
    return kind == Kind::object && found != members.end() ? &found->second : nullptr;
}

std::optional<std::uint64_t> Value::unsignedInteger() const
{
    std::uint64_t value = 0;
    if (kind != Kind::number || text.empty() || !isDigit(text.front()))
        return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> Value::signedInteger() const
{
    std::int64_t value = 0;
    if (kind != Kind::number)
        return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> Value::number() const
{
    double value = 0;
    if (kind != Kind::number)
        return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<Value> decode(std::string_view text, int maxDepth)
{
    try {
        return Reader(text, maxDepth).document();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}
