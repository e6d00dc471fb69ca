#include "VellumarMacCore/Foundations/Graphemes.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace vellumar {

namespace {

    constexpr std::size_t kLongestSegmentedText = std::numeric_limits<std::int32_t>::max();

    void stopWithoutBreakRules(UErrorCode status)
    {
        std::fprintf(stderr, "ICU character break rules are unavailable: %s\n", u_errorName(status));
        std::abort();
    }

    // Loaded once, behind the language's own guard, so that every thread sees the rules fully built.
    // ICU keeps its break rules inside the library: rules that cannot be loaded mean a broken
    // installation, as a pattern that fails to compile would.
    const icu::BreakIterator& characterBreakRules()
    {
        static const std::unique_ptr<icu::BreakIterator> rules = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::BreakIterator> made(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status) || !made)
                stopWithoutBreakRules(status);
            return made;
        }();
        return *rules;
    }

    // An iterator holds its position, so each thread keeps its own copy and the callers need no lock.
    icu::BreakIterator& characterBreaks()
    {
        thread_local std::unique_ptr<icu::BreakIterator> iterator(characterBreakRules().clone());
        if (!iterator)
            stopWithoutBreakRules(U_MEMORY_ALLOCATION_ERROR);
        return *iterator;
    }

    // Calls `visit(end)` with the byte offset at the end of each character of `text` (at most
    // kLongestSegmentedText bytes) until it returns false. False when ICU could not take the text.
    template <typename Visit> bool forEachCharacterEnd(std::string_view text, Visit visit)
    {
        UErrorCode status = U_ZERO_ERROR;
        UText utext = UTEXT_INITIALIZER;
        utext_openUTF8(&utext, text.data(), static_cast<std::int64_t>(text.size()), &status);
        auto& iterator = characterBreaks();
        iterator.setText(&utext, status);
        if (U_SUCCESS(status)) {
            iterator.first();
            for (auto end = iterator.next();
                 end != icu::BreakIterator::DONE && visit(static_cast<std::size_t>(end));
                 end = iterator.next()) { }
        }
        utext_close(&utext);
        return U_SUCCESS(status);
    }

}

std::size_t characterCount(std::string_view utf8)
{
    // A character takes at least one byte, so the shortest texts need no break rules.
    if (utf8.size() <= 1)
        return utf8.size();
    auto segmented = utf8.substr(0, kLongestSegmentedText);
    std::size_t count = 0;
    if (!forEachCharacterEnd(segmented, [&](std::size_t) {
            ++count;
            return true;
        }))
        return utf8.size();
    return count + (utf8.size() - segmented.size());
}

std::size_t characterPrefixLength(std::string_view utf8, std::size_t count)
{
    if (count >= utf8.size())
        return utf8.size();
    if (count == 0)
        return 0;
    auto segmented = utf8.substr(0, kLongestSegmentedText);
    std::size_t length = segmented.size();
    std::size_t seen = 0;
    forEachCharacterEnd(segmented, [&](std::size_t end) {
        if (++seen < count)
            return true;
        length = end;
        return false;
    });
    // Past the segmented part every byte is a character of its own.
    if (seen < count && segmented.size() < utf8.size())
        length = std::min(utf8.size(), segmented.size() + (count - seen));
    return length;
}

std::string prefixCharacters(std::string_view utf8, std::size_t count)
{
    return std::string(utf8.substr(0, characterPrefixLength(utf8, count)));
}

std::vector<std::string_view> characters(std::string_view utf8)
{
    std::vector<std::string_view> found;
    auto segmented = utf8.substr(0, kLongestSegmentedText);
    std::size_t start = 0;
    bool read = forEachCharacterEnd(segmented, [&](std::size_t end) {
        found.push_back(utf8.substr(start, end - start));
        start = end;
        return true;
    });
    // As characterCount counts them: a text ICU could not take, and every byte past the segmented
    // part, is one character a byte.
    if (!read) {
        found.clear();
        start = 0;
    }
    for (; start < utf8.size(); ++start)
        found.push_back(utf8.substr(start, 1));
    return found;
}

}
