#include "VellumarMacCore/Foundations/Redaction.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/SecretPattern.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

namespace vellumar::Redaction {

namespace {

    constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

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

}

std::string redact(std::string_view text)
{
    std::string result(text);
    for (auto pattern : detail::secretPatternsInOrder)
        result = detail::maskSecretPattern(pattern, result);
    return result;
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
