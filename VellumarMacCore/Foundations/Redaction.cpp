#include "VellumarMacCore/Foundations/Redaction.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/SecretPattern.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>

namespace vellumar::Redaction {

namespace {

    constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

    // Every secret word of an assignment holds one of the first six; the last two begin a credential.
    constexpr std::string_view kWordsThatReadOn[]
        = { "pass", "secret", "token", "api", "credential", "private", "bearer", "basic" };

    // Pieces between runs of White_Space, joined by single spaces.
    std::string foldedWhiteSpace(std::string_view text)
    {
        detail::TextScanner scanner(text);
        std::string folded;
        folded.reserve(text.size());
        for (std::size_t at = 0; at < text.size();) {
            at = scanner.skip(at, detail::isWhiteSpace).end;
            auto piece = scanner.skip(at, [](char32_t c) { return !detail::isWhiteSpace(c); });
            if (piece.count == 0)
                break;
            if (!folded.empty())
                folded += ' ';
            folded.append(text.substr(at, piece.end - at));
            at = piece.end;
        }
        return folded;
    }

    // The patterns from `first` on, each applied to the result of the one before.
    std::string maskedInOrder(
        std::string_view text, detail::SecretPattern first = detail::SecretPattern::privateKeyBlock)
    {
        std::string result(text);
        for (auto pattern : detail::secretPatternsInOrder) {
            if (pattern >= first)
                detail::maskSecretPattern(pattern, result);
        }
        return result;
    }

    bool isASCIIBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

    bool isBlankOrEdge(std::string_view text, std::size_t at)
    {
        return at >= text.size() || isASCIIBlank(text[at]);
    }

    // Between blanks a mask changes nothing that a later pattern reads, unless a match of it overlaps the
    // masked one or meets it without a blank between: the key run of an assignment, \b, a long run's ends and
    // the password of a URL all stop at a blank, and every match that reads across blanks starts with the
    // bytes that were masked, so it was found in the original text too.
    bool areJoined(std::string_view text, std::size_t end, std::size_t nextBegin)
    {
        return nextBegin <= end || std::none_of(text.begin() + end, text.begin() + nextBegin, isASCIIBlank);
    }

    // Where matches meet, a match masked first can uncover a start that a later pattern's match carries on
    // from, past the stretch's end: an assignment's separator and value, or a credential after "bearer",
    // across the blank. Masks only cut the stretch's runs and drop its quotes, so it is enough that the
    // original stretch holds no quote, does not end in a separator, and its last key run holds none of the
    // words those patterns start from.
    bool endsSealed(std::string_view stretch)
    {
        if (stretch.find_first_of("\"'") != std::string_view::npos || stretch.ends_with(':')
            || stretch.ends_with('='))
            return false;
        auto keyRunBegin
            = stretch.find_last_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-");
        std::string lastKeyRun(stretch.substr(keyRunBegin == std::string_view::npos ? 0 : keyRunBegin + 1));
        for (auto& byte : lastKeyRun)
            byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
        return std::none_of(std::begin(kWordsThatReadOn), std::end(kWordsThatReadOn),
            [&](std::string_view word) { return lastKeyRun.find(word) != std::string::npos; });
    }

    // The patterns' matches found in one pass over the original text and replaced where each stands alone;
    // where several meet, the text from the first to the last is masked pattern by pattern. Fails when the
    // text is not ASCII, or when a masked stretch is not set off by blanks: a later pattern may then read the
    // mask together with what borders it. Long runs that stay as they are are not among the matches: masks
    // of earlier patterns only cut such a run into shorter runs, which stay as well.
    class OnePassMasking final : public detail::SecretMatchSink {
    public:
        explicit OnePassMasking(std::string_view text)
            : m_text(text)
        {
            m_result.reserve(text.size());
        }

        std::optional<std::string> masked() &&
        {
            if (!detail::findSecretMatchesInASCII(m_text, *this) || !maskStretch())
                return std::nullopt;
            m_result.append(m_text.substr(m_copied));
            return std::move(m_result);
        }

        bool add(const detail::SecretMatch& match) override
        {
            if (m_count > 0 && areJoined(m_text, m_end, match.begin)) {
                m_end = std::max(m_end, match.end);
                m_earliestPattern = std::min(m_earliestPattern, match.pattern);
                m_readByLaterPatterns = true;
                ++m_count;
                return true;
            }
            if (!maskStretch())
                return false;
            m_first = match;
            m_end = match.end;
            m_earliestPattern = match.pattern;
            // A URL's mask keeps the "://" and "@" around it, which end any long run, the last pattern.
            m_readByLaterPatterns = match.pattern < detail::SecretPattern::urlCredential;
            m_count = 1;
            return true;
        }

    private:
        bool maskStretch()
        {
            if (m_count == 0)
                return true;
            auto begin = m_first.begin;
            if (m_readByLaterPatterns
                && !((begin == 0 || isASCIIBlank(m_text[begin - 1])) && isBlankOrEdge(m_text, m_end)))
                return false;
            auto stretch = m_text.substr(begin, m_end - begin);
            if (m_count > 1 && !endsSealed(stretch))
                return false;
            m_result.append(m_text.substr(m_copied, begin - m_copied));
            if (m_count == 1)
                m_first.appendReplacement(m_result, m_text);
            else
                m_result += maskedInOrder(stretch, m_earliestPattern);
            m_copied = m_end;
            m_count = 0;
            return true;
        }

        std::string_view m_text;
        std::string m_result;
        std::size_t m_copied = 0;
        // The stretch of matches that meet, from the first.
        detail::SecretMatch m_first { detail::SecretPattern::longToken };
        std::size_t m_end = 0;
        std::size_t m_count = 0;
        // Every match of an earlier pattern lies outside a stretch set off by blanks, and inside it such a
        // pattern matches only where it does in the whole text: so they find nothing in it.
        detail::SecretPattern m_earliestPattern = detail::SecretPattern::longToken;
        bool m_readByLaterPatterns = false;
    };

}

std::string redact(std::string_view text)
{
    if (auto masked = OnePassMasking(text).masked())
        return *std::move(masked);
    return maskedInOrder(text);
}

std::string oneLine(std::string_view text, std::size_t limit)
{
    if (limit == 0)
        return {};
    auto folded = foldedWhiteSpace(text);
    if (characterPrefixLength(folded, limit) == folded.size())
        return folded;
    folded.resize(characterPrefixLength(folded, limit - 1));
    folded += kEllipsis;
    return folded;
}

}
