#include "VellumarMacCore/Foundations/Redaction.h"

#include "VellumarMacCore/Foundations/SecretPattern.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

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

    // ICU keeps its break rules inside the library: a character break iterator that cannot be made means a
    // broken installation, as a pattern that fails to compile would.
    const icu::BreakIterator& characterBreakPrototype()
    {
        static const std::unique_ptr<icu::BreakIterator> prototype = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::BreakIterator> iterator(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status) || !iterator) {
                std::fprintf(stderr, "ICU character break iterator unavailable: %s\n", u_errorName(status));
                std::abort();
            }
            return iterator;
        }();
        return *prototype;
    }

    // When `text` has more than `limit` grapheme clusters, the byte offset after its first `limit` - 1;
    // nothing when it fits (or, short of memory, when ICU cannot count).
    std::optional<std::size_t> cutBeforeLimit(std::string_view text, std::size_t limit)
    {
        UErrorCode status = U_ZERO_ERROR;
        UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
        std::unique_ptr<UText, decltype(&utext_close)> closer(utext, &utext_close);
        std::unique_ptr<icu::BreakIterator> iterator(characterBreakPrototype().clone());
        if (U_FAILURE(status) || !iterator)
            return std::nullopt;
        iterator->setText(utext, status);
        if (U_FAILURE(status))
            return std::nullopt;
        std::size_t cut = 0;
        std::size_t clusters = 0;
        for (auto boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
             boundary = iterator->next()) {
            ++clusters;
            if (clusters == limit - 1)
                cut = static_cast<std::size_t>(boundary);
            if (clusters > limit)
                return cut;
        }
        return std::nullopt;
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
    // A cluster takes at least one byte, so a short text needs no counting.
    if (folded.size() <= limit)
        return folded;
    auto cut = cutBeforeLimit(folded, limit);
    if (!cut)
        return folded;
    folded.resize(*cut);
    folded += kEllipsis;
    return folded;
}

}
