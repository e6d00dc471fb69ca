#include "VellumarMacCore/ConversationData/PathText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>

#include <memory>

namespace vellumar::detail {

namespace {

    // Break rules are costly to load; each thread keeps its own iterator, which is not thread-safe.
    // The iterator refers to `text` until the next call on the same thread.
    icu::BreakIterator* characterBreaks(const icu::UnicodeString& text)
    {
        thread_local const std::unique_ptr<icu::BreakIterator> breaks = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::BreakIterator> created(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            return U_SUCCESS(status) ? std::move(created) : nullptr;
        }();
        if (breaks)
            breaks->setText(text);
        return breaks.get();
    }

}

std::int64_t characterCount(const icu::UnicodeString& text)
{
    // A cluster holds at least one UTF-16 unit, so short texts need no break rules.
    if (text.length() <= 1)
        return text.length();
    auto* breaks = characterBreaks(text);
    // Without break rules, scalars are the closest count that never under-counts a cluster.
    if (!breaks)
        return text.countChar32();
    std::int64_t count = 0;
    for (breaks->first(); breaks->next() != icu::BreakIterator::DONE;)
        ++count;
    return count;
}

std::int64_t characterCount(std::string_view utf8) { return characterCount(unicodeString(utf8)); }

icu::UnicodeString prefixCharacters(const icu::UnicodeString& text, std::int64_t count)
{
    if (count <= 0)
        return {};
    auto* breaks = characterBreaks(text);
    if (!breaks)
        return icu::UnicodeString(text, 0, text.moveIndex32(0, static_cast<std::int32_t>(count)));
    breaks->first();
    std::int32_t end = breaks->next(static_cast<std::int32_t>(count));
    return end == icu::BreakIterator::DONE ? text : icu::UnicodeString(text, 0, end);
}

icu::UnicodeString unicodeString(std::string_view utf8)
{
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string_view lastPathPiece(std::string_view path)
{
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    return path.substr(path.rfind('/') + 1);
}

}
