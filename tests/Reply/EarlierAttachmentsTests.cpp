#include "VellumarMacCore/Reply/EarlierAttachments.h"

#include "VellumarMacCore/Reply/Prompts.h"

#include <gtest/gtest.h>

#include <unicode/regex.h>

#include <random>
#include <vector>

using namespace vellumar;

namespace {

// ICU's own engine with the patterns as written: the reference the linear replacements must agree with.
std::string icuReplaceAll(const std::string& text, std::string_view pattern, std::string_view replacement)
{
    UErrorCode status = U_ZERO_ERROR;
    auto input = icu::UnicodeString::fromUTF8(text);
    icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(std::string(pattern)), input, 0, status);
    std::string result;
    matcher.replaceAll(icu::UnicodeString::fromUTF8(std::string(replacement)), status).toUTF8String(result);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return result;
}

const std::tuple<std::string (*)(std::string_view), std::string_view, std::string_view> kReplacements[] = {
    { detail::replaceVideoFramesLines, Prompts::videoFramesLinePattern, "$1(video frames left out)" },
    { detail::removeJPEGCopyLines, Prompts::jpegCopyLinePattern, "" },
    { detail::replaceFramePaths, Prompts::framePathPattern, "(video frame)" },
};

// Pieces that meet every branch: line terminators of all kinds, blanks that are not terminators, the
// patterns' literals and their near misses, digits of other scripts, word characters of every class ICU
// counts, and characters just outside them.
const char* const kPieces[] = { " ", "  ", "\t", "\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029",
    "\u00a0", "\u3000",
    "The video itself cannot be read; look at these frames with Read: ", "The video itself cannot be read",
    "JPEG copy: ", "JPEG copy:", "-frames/frame-", "frames/frame-", "-frames/frame", "1", "42", "\u0663",
    "\u00b2", ".jpg", ".JPG", ".jp", "a", "Z", "e\u0301", "_", "\u203f", "\u200d", "\u200b", "/", ".", "-",
    "\u2010", "!", ",", "x.jpg", "\U0001F642", "\u65e5", "uploads/clip" };

}

TEST(EarlierAttachments, AgreesWithICUOnRandomTexts)
{
    std::vector<std::string> texts;
    std::mt19937 random(20240531);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        for (auto count = length(random); count > 0; --count)
            text += kPieces[piece(random)];
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        for (const auto& [linear, pattern, replacement] : kReplacements) {
            SCOPED_TRACE(std::string(pattern) + ": " + text);
            ASSERT_EQ(linear(text), icuReplaceAll(text, pattern, replacement));
        }
    }
}
