// A UTF-8 text read code point by code point, with the notions of ICU regular expressions that the
// secret scans of Redaction rely on: \b, \s, case-insensitive classes and case-insensitive literals.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vellumar::detail {

constexpr bool isASCIIDigit(char32_t c) { return c >= '0' && c <= '9'; }
constexpr bool isASCIIUpper(char32_t c) { return c >= 'A' && c <= 'Z'; }
constexpr bool isASCIILetter(char32_t c) { return isASCIIUpper(c) || (c >= 'a' && c <= 'z'); }

class TextScanner {
public:
    struct CodePoint {
        char32_t value = 0;
        std::size_t size = 0; // in bytes; 0 at the end of the text
    };

    struct Run {
        std::size_t end = 0;
        std::size_t count = 0; // code points
    };

    explicit TextScanner(std::string_view text)
        : m_text(text)
    {
    }

    std::string_view text() const { return m_text; }
    std::size_t size() const { return m_text.size(); }

    // Bytes that are not well-formed UTF-8 read as U+FFFD, one ill-formed piece at a time: they belong to
    // no class that a scan looks for, so they are copied through unchanged.
    CodePoint at(std::size_t offset) const
    {
        if (offset < m_text.size() && static_cast<unsigned char>(m_text[offset]) < 0x80)
            return { static_cast<unsigned char>(m_text[offset]), 1 };
        return decodedAt(offset);
    }
    CodePoint before(std::size_t offset) const;

    bool startsWith(std::size_t offset, std::string_view literal) const
    {
        // Comparing the first byte before the rest keeps scans that try every offset cheap.
        return literal.empty()
            || (offset < m_text.size() && m_text[offset] == literal.front()
                && m_text.substr(offset).starts_with(literal));
    }

    // ICU's \b: word characters on one side only. Combining marks and format characters count as part of
    // the character before them, so no boundary falls just before one.
    bool isWordBoundary(std::size_t offset) const;

    // The longest run of code points from `offset` that satisfy `isMember`.
    template <typename Predicate> Run skip(std::size_t offset, Predicate isMember) const
    {
        Run run { offset, 0 };
        while (run.end < m_text.size()) {
            auto codePoint = at(run.end);
            if (!isMember(codePoint.value))
                break;
            run.end += codePoint.size;
            ++run.count;
        }
        return run;
    }

    // Where `lowercaseLiteral` (ASCII) ends when matched at `offset` as ICU matches a literal of a
    // case-insensitive pattern: by full case folding, so "pass" also matches "PAß", but a character whose
    // folding is only partly used ("ß" for the last "s") does not match.
    std::optional<std::size_t> matchCaseless(std::size_t offset, std::string_view lowercaseLiteral) const
    {
        // Scans try literals at nearly every offset, and nearly all fail on a first ASCII character.
        if (!lowercaseLiteral.empty() && offset < m_text.size()) {
            auto first = static_cast<unsigned char>(m_text[offset]);
            if (first < 0x80
                && (isASCIIUpper(first) ? first + ('a' - 'A') : first) != lowercaseLiteral.front())
                return std::nullopt;
        }
        return matchCaselessFrom(offset, lowercaseLiteral);
    }

private:
    std::optional<std::size_t> matchCaselessFrom(std::size_t offset, std::string_view lowercaseLiteral) const;
    CodePoint decodedAt(std::size_t offset) const;

    std::string_view m_text;
};

bool isNonASCIIWhiteSpace(char32_t);

// ICU's \s: the White_Space property. Scans ask it of nearly every character, so ASCII is told apart
// here, without a call into ICU.
inline bool isWhiteSpace(char32_t c)
{
    if (c < 0x80)
        return c == ' ' || (c >= '\t' && c <= '\r');
    return isNonASCIIWhiteSpace(c);
}

bool isNonASCIICaselessLetter(char32_t);

// A member of [A-Za-z] in a case-insensitive ICU pattern, which also admits U+017F and U+212A, the two
// characters whose simple case folding is an ASCII letter.
inline bool isCaselessLetter(char32_t c) { return c < 0x80 ? isASCIILetter(c) : isNonASCIICaselessLetter(c); }

constexpr bool isASCIIAlphanumeric(char32_t c) { return isASCIILetter(c) || isASCIIDigit(c); }
constexpr bool isASCIIHexDigit(char32_t c)
{
    return isASCIIDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}
