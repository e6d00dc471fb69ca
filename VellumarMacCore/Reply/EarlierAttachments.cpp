#include "VellumarMacCore/Reply/EarlierAttachments.h"

#include "VellumarMacCore/Foundations/TextScanner.h"

#include <unicode/uchar.h>
#include <unicode/uniset.h>

#include <cstdlib>
#include <optional>

namespace vellumar::detail {

namespace {

    constexpr std::string_view kVideoFramesLead
        = "The video itself cannot be read; look at these frames with Read: ";
    constexpr std::string_view kVideoFramesMarker = "(video frames left out)";
    constexpr std::string_view kJPEGCopyLead = "JPEG copy: ";
    constexpr std::string_view kFramePathMiddle = "-frames/frame-";
    constexpr std::string_view kFramePathEnd = ".jpg";
    constexpr std::string_view kFrameMarker = "(video frame)";

    // ICU's line terminators, which end `.` and make `^` true after them in multi-line mode.
    bool isLineTerminator(char32_t c)
    {
        return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
    }

    // ICU never starts a line between the two characters of "\r\n".
    bool isLineStart(const TextScanner& scanner, std::size_t offset)
    {
        if (offset == 0)
            return true;
        auto previous = scanner.before(offset).value;
        return isLineTerminator(previous) && !(previous == '\r' && scanner.at(offset).value == '\n');
    }

    std::size_t lineEnd(const TextScanner& scanner, std::size_t offset)
    {
        return scanner.skip(offset, [](char32_t c) { return !isLineTerminator(c); }).end;
    }

    bool isDecimalDigit(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; }

    // `[\w./-]` with ICU's \w.
    bool isFramePathCharacter(char32_t c)
    {
        static const icu::UnicodeSet* characters = [] {
            UErrorCode status = U_ZERO_ERROR;
            auto* set = new icu::UnicodeSet(
                icu::UnicodeString(R"([\p{Alphabetic}\p{Mark}\p{Nd}\p{Pc}\u200C\u200D./\-])"), status);
            if (U_FAILURE(status))
                std::abort();
            set->freeze();
            return set;
        }();
        return characters->contains(static_cast<UChar32>(c));
    }

    struct LineMatch {
        std::size_t start;
        std::size_t indentEnd;
        std::size_t end;
    };

    // The next match at or after `from` of `(?m)^(\s*)` + lead + `.*`. `\s*` can only stop where the lead
    // begins, so every line start in one run of blanks competes for the same lead and the first one wins.
    std::optional<LineMatch> findIndentedLine(
        const TextScanner& scanner, std::size_t from, std::string_view lead)
    {
        for (auto offset = from; offset < scanner.size();) {
            auto indentEnd = scanner.skip(offset, isWhiteSpace).end;
            if (scanner.startsWith(indentEnd, lead)) {
                for (auto start = offset; start <= indentEnd; start += scanner.at(start).size) {
                    if (isLineStart(scanner, start))
                        return LineMatch { start, indentEnd, lineEnd(scanner, indentEnd + lead.size()) };
                    if (start == indentEnd)
                        break;
                }
            }
            if (indentEnd >= scanner.size())
                break;
            offset = indentEnd + scanner.at(indentEnd).size;
        }
        return std::nullopt;
    }

    enum class Indent { dropped, kept };
    enum class LineFeed { left, taken };

    std::string replaceIndentedLines(std::string_view text, std::string_view lead, Indent indent,
        std::string_view marker, LineFeed lineFeed)
    {
        TextScanner scanner(text);
        std::string result;
        std::size_t copied = 0;
        for (auto match = findIndentedLine(scanner, 0, lead); match;
             match = findIndentedLine(scanner, copied, lead)) {
            result.append(text.substr(copied, match->start - copied));
            if (indent == Indent::kept)
                result.append(text.substr(match->start, match->indentEnd - match->start));
            result.append(marker);
            copied = match->end;
            if (lineFeed == LineFeed::taken && copied < text.size() && text[copied] == '\n')
                ++copied;
        }
        return result.append(text.substr(copied));
    }

    // The length of "-frames/frame-", decimal digits and ".jpg" at `offset`; 0 when they are not there.
    std::size_t frameTailLength(const TextScanner& scanner, std::size_t offset)
    {
        if (!scanner.startsWith(offset, kFramePathMiddle))
            return 0;
        auto digits = scanner.skip(offset + kFramePathMiddle.size(), isDecimalDigit);
        if (digits.count == 0 || !scanner.startsWith(digits.end, kFramePathEnd))
            return 0;
        return digits.end + kFramePathEnd.size() - offset;
    }

}

std::string replaceVideoFramesLines(std::string_view text)
{
    return replaceIndentedLines(text, kVideoFramesLead, Indent::kept, kVideoFramesMarker, LineFeed::left);
}

std::string removeJPEGCopyLines(std::string_view text)
{
    return replaceIndentedLines(text, kJPEGCopyLead, Indent::dropped, "", LineFeed::taken);
}

// A frame path is made only of path characters, so a match lies inside one run of them. The starred class
// takes the run from where the search stands up to the end of its last frame path.
std::string replaceFramePaths(std::string_view text)
{
    TextScanner scanner(text);
    std::string result;
    std::size_t copied = 0;
    for (std::size_t offset = 0; offset < text.size();) {
        auto run = scanner.skip(offset, isFramePathCharacter);
        if (run.count == 0) {
            offset += scanner.at(offset).size;
            continue;
        }
        auto inRun = text.substr(0, run.end);
        std::optional<std::size_t> matchEnd;
        for (auto tail = inRun.find(kFramePathMiddle, offset); tail != std::string_view::npos;
             tail = inRun.find(kFramePathMiddle, tail + 1)) {
            if (auto length = frameTailLength(scanner, tail))
                matchEnd = tail + length;
        }
        if (matchEnd) {
            result.append(text.substr(copied, offset - copied)).append(kFrameMarker);
            copied = *matchEnd;
        }
        offset = run.end;
    }
    return result.append(text.substr(copied));
}

}
