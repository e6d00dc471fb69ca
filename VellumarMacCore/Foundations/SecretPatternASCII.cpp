#include "VellumarMacCore/Foundations/SecretPattern.h"

#include "VellumarMacCore/Foundations/SecretPatternAttempts.h"
#include "VellumarMacCore/Foundations/TextScanner.h"
#include "VellumarMacCore/Foundations/WordMasks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumar::detail {

namespace {

    using ByteKinds = std::uint8_t;
    constexpr ByteKinds kAssignmentKeyByte = 1;
    constexpr ByteKinds kTokenByte = 2;
    constexpr ByteKinds kWordByte = 4;
    constexpr ByteKinds kBlankByte = 8;
    constexpr ByteKinds kSeparatorByte = 16;

    constexpr std::array<ByteKinds, 256> kByteKinds = [] {
        std::array<ByteKinds, 256> kinds {};
        // Bytes from 0x80 on have no kind: the scan turns such texts away before it reads a word.
        for (std::size_t byte = 0; byte < 0x80; ++byte) {
            auto c = static_cast<char32_t>(byte);
            bool word = isASCIILetter(c) || isASCIIDigit(c) || c == '_';
            kinds[byte] = (word ? kWordByte : 0) | (word || c == '.' || c == '-' ? kAssignmentKeyByte : 0)
                | (word || c == '-' || c == '+' || c == '=' ? kTokenByte : 0)
                | (c == ' ' || (c >= '\t' && c <= '\r') ? kBlankByte : 0)
                | (c == ':' || c == '=' ? kSeparatorByte : 0);
        }
        return kinds;
    }();

    std::size_t pastBlanks(std::string_view text, std::size_t at)
    {
        while (at < text.size() && kByteKinds[static_cast<unsigned char>(text[at])] & kBlankByte)
            ++at;
        return at;
    }

    constexpr std::size_t kShortestWebTokenHeader = 11;
    constexpr std::size_t kShortestPrefixedMatch = 15;

    // What one run of non-blank bytes holds, as far as telling whether a match may start in it.
    struct Word {
        std::size_t begin = 0;
        std::size_t end = 0;
        bool holdsSeparator = false;
        // Only a word that may hold a web token's dots; the others' header would run to their end.
        bool mayHoldDot = true;
        // Of the runs of token bytes that patterns need, the longest that one of its runs reaches; 0 if none.
        std::size_t tokenRunReached = 0;
        // No URL's scheme starts from its last "://" on.
        std::size_t urlStartsBefore = 0;
        // What its bytes are, when it is short enough for one mask.
        std::optional<WordMasks::StretchBits> bits;
    };

    // Whether `bits` holds `length` set bits in a row. Each step doubles the row that a set bit stands for.
    template <std::size_t length> bool holdsRunOf(std::uint64_t bits)
    {
        std::size_t row = 1;
        for (; row * 2 <= length; row *= 2)
            bits &= bits >> row;
        return (bits & (bits >> (length - row))) != 0;
    }

    std::size_t tokenRunReachedIn(std::uint64_t tokenBytes)
    {
        if (!holdsRunOf<kShortestWebTokenHeader>(tokenBytes))
            return 0;
        if (!holdsRunOf<kShortestPrefixedMatch>(tokenBytes))
            return kShortestWebTokenHeader;
        return holdsRunOf<kShortestLongRun>(tokenBytes) ? kShortestLongRun : kShortestPrefixedMatch;
    }

    std::size_t tokenRunReachedBy(std::size_t longestTokenRun)
    {
        for (auto length : { kShortestLongRun, kShortestPrefixedMatch, kShortestWebTokenHeader }) {
            if (longestTokenRun >= length)
                return length;
        }
        return 0;
    }

    // Nearly every word fits in one mask, read as such. Longer ones are read a mask at a time: a run of token
    // bytes is measured exactly where it crosses from one mask into the next, and inside a mask only as far
    // as the runs patterns need.
    Word describedWord(std::string_view text, const WordMasks& masks, std::size_t begin, std::size_t end)
    {
        if (end - begin <= WordMasks::kBlockBytes) {
            auto bits = masks.bitsOf(begin, end);
            return { begin, end, bits.separators != 0, true,
                end - begin < kShortestWebTokenHeader ? 0 : tokenRunReachedIn(bits.tokenBytes), 0, bits };
        }
        Word word { begin, end };
        std::size_t longestTokenRun = 0;
        std::size_t tokenRunBefore = 0;
        for (auto from = begin; from < end; from += WordMasks::kBlockBytes) {
            auto size = std::min(end - from, WordMasks::kBlockBytes);
            auto bits = masks.bitsOf(from, from + size);
            word.holdsSeparator |= bits.separators != 0;
            auto leadingRun = static_cast<std::size_t>(std::countr_one(bits.tokenBytes));
            longestTokenRun = std::max(
                { longestTokenRun, tokenRunBefore + leadingRun, tokenRunReachedIn(bits.tokenBytes) });
            tokenRunBefore = leadingRun == size ? tokenRunBefore + size
                                                : static_cast<std::size_t>(std::countl_one(
                                                    bits.tokenBytes << (WordMasks::kBlockBytes - size)));
        }
        word.tokenRunReached = tokenRunReachedBy(longestTokenRun);
        word.mayHoldDot = text.substr(begin, end - begin).find('.') != std::string_view::npos;
        return word;
    }

    bool endsWithCaseless(std::string_view text, std::string_view lowercaseSuffix)
    {
        if (text.size() < lowercaseSuffix.size())
            return false;
        auto tail = text.substr(text.size() - lowercaseSuffix.size());
        return std::equal(tail.begin(), tail.end(), lowercaseSuffix.begin(),
            [](char byte, char lower) { return (byte | 0x20) == lower; });
    }

    constexpr std::uint16_t bit(SecretPattern pattern) { return 1U << static_cast<unsigned>(pattern); }

    // The patterns whose matches may start in a word of ASCII text for what follows it: an assignment whose
    // separator comes right after the word's blanks, at `next`, or a credential after a word that ends in
    // "bearer" or "basic". No other match reads across a blank.
    std::uint16_t patternsReadingOnFrom(
        std::string_view text, std::size_t begin, std::size_t end, std::size_t next)
    {
        std::uint16_t patterns = 0;
        if (next < text.size() && kByteKinds[static_cast<unsigned char>(text[next])] & kSeparatorByte)
            patterns |= bit(SecretPattern::secretAssignment);
        auto letters = text.substr(begin, end - begin);
        if (endsWithCaseless(letters, "bearer") || endsWithCaseless(letters, "basic"))
            patterns |= bit(SecretPattern::httpCredential);
        return patterns;
    }

    // The patterns whose matches may start in a word of ASCII text for what the word itself holds: a run of
    // at least 15 bytes for the prefixed kinds, 32 for a long run, 11 and a "." for a web token's header,
    // "://" for a URL, a separator for an assignment.
    std::uint16_t patternsWithin(std::string_view text, std::size_t begin, Word& word)
    {
        std::uint16_t patterns = 0;
        if (word.tokenRunReached >= kShortestPrefixedMatch)
            patterns |= bit(SecretPattern::prefixedKey) | bit(SecretPattern::gitHubToken)
                | bit(SecretPattern::slackToken) | bit(SecretPattern::awsAccessKeyID)
                | bit(SecretPattern::googleAPIKey);
        if (word.tokenRunReached >= kShortestLongRun)
            patterns |= bit(SecretPattern::longToken);
        if (word.mayHoldDot && word.tokenRunReached >= kShortestWebTokenHeader)
            patterns |= bit(SecretPattern::jsonWebToken);
        if (word.holdsSeparator) {
            auto separator = text.substr(begin, word.end - begin).rfind("://");
            if (separator != std::string_view::npos) {
                patterns |= bit(SecretPattern::urlCredential);
                word.urlStartsBefore = begin + separator;
            }
        }
        if (word.holdsSeparator)
            patterns |= bit(SecretPattern::secretAssignment);
        return patterns;
    }

    bool startsWithCaseless(std::string_view text, std::size_t at, std::string_view lowercaseLiteral)
    {
        if (text.size() - at < lowercaseLiteral.size())
            return false;
        for (std::size_t offset = 0; offset < lowercaseLiteral.size(); ++offset) {
            auto byte = text[at + offset];
            auto literal = lowercaseLiteral[offset];
            // Setting 0x20 lowers an ASCII letter and turns no other byte into one.
            if (byte != literal
                && !(isASCIILetter(static_cast<unsigned char>(literal)) && (byte | 0x20) == literal))
                return false;
        }
        return true;
    }

    bool startsWithKeyAfterStem(std::string_view run, std::size_t at, std::string_view stem)
    {
        if (!startsWithCaseless(run, at, stem))
            return false;
        auto stemEnd = at + stem.size();
        if (stemEnd < run.size() && (run[stemEnd] == '_' || run[stemEnd] == '-')
            && startsWithCaseless(run, stemEnd + 1, "key"))
            return true;
        return startsWithCaseless(run, stemEnd, "key");
    }

    // In ASCII every secret word ends inside the key run that holds it, so the run matches when it holds any
    // of them, wherever and whichever.
    bool holdsSecretWord(std::string_view run)
    {
        for (std::size_t at = 0; at < run.size(); ++at) {
            bool found = false;
            switch (run[at] | 0x20) {
            case 'p':
                found = startsWithCaseless(run, at, "pass") || startsWithKeyAfterStem(run, at, "private");
                break;
            case 's':
                found = startsWithCaseless(run, at, "secret");
                break;
            case 't':
                found = startsWithCaseless(run, at, "token");
                break;
            case 'a':
                found = startsWithKeyAfterStem(run, at, "api");
                break;
            case 'c':
                found = startsWithCaseless(run, at, "credential");
                break;
            default:
                break;
            }
            if (found)
                return true;
        }
        return false;
    }

    // secretAssignmentFrom for the key run [at, runEnd) of ASCII text. The value is read last: reading it for
    // every run with a separator after it would take each run of "a:a:a:..." to the end of the text.
    ScanAttempt attemptASCIISecretAssignment(std::string_view text, std::size_t at, std::size_t runEnd)
    {
        auto kindsAt = [&](std::size_t offset) {
            return offset < text.size() ? kByteKinds[static_cast<unsigned char>(text[offset])] : ByteKinds(0);
        };
        auto byteAt = [&](std::size_t offset) { return offset < text.size() ? text[offset] : '\0'; };
        // ["']?\s*[:=]\s*, then the value.
        auto separator = runEnd + (byteAt(runEnd) == '"' || byteAt(runEnd) == '\'' ? 1 : 0);
        separator = pastBlanks(text, separator);
        if (!(kindsAt(separator) & kSeparatorByte) || !holdsSecretWord(text.substr(at, runEnd - at)))
            return { std::nullopt, runEnd };
        auto valueBegin = pastBlanks(text, separator + 1);
        auto quote = byteAt(valueBegin);
        std::size_t valueEnd = valueBegin;
        if (quote == '"' || quote == '\'') {
            auto close = text.find(quote, valueBegin + 1);
            if (close == std::string_view::npos)
                return { std::nullopt, runEnd };
            valueEnd = close + 1;
        } else {
            auto endsValue = [](char byte) {
                return byte == '"' || byte == '\'' || byte == '&' || byte == ';' || byte == '|';
            };
            while (valueEnd < text.size() && !(kindsAt(valueEnd) & kBlankByte) && !endsValue(text[valueEnd]))
                ++valueEnd;
            if (valueEnd == valueBegin)
                return { std::nullopt, runEnd };
        }
        return { ScanMatch { at, valueEnd, valueBegin - at }, valueEnd };
    }

    // findURLCredential's try at the first letter of an ASCII word, where \b holds, without decoding: the
    // scheme, "://", then user:password@, where neither part holds the byte that ends it. Later starts in the
    // same scheme run fail as well.
    ScanAttempt attemptASCIIURLCredential(const TextScanner& scanner, std::size_t at)
    {
        constexpr std::string_view kSeparator = "://";
        auto text = scanner.text();
        auto runEnd = [&](std::size_t from, auto isMember) {
            while (from < text.size() && isMember(text[from]))
                ++from;
            return from;
        };
        auto isBlank
            = [](char byte) { return (kByteKinds[static_cast<unsigned char>(byte)] & kBlankByte) != 0; };
        auto schemeEnd = runEnd(at, [](char byte) {
            auto c = static_cast<unsigned char>(byte);
            return isASCIIAlphanumeric(c) || c == '+' || c == '.' || c == '-';
        });
        ScanAttempt failed { std::nullopt, schemeEnd };
        auto userBegin = schemeEnd + kSeparator.size();
        if (text.substr(schemeEnd, kSeparator.size()) != kSeparator)
            return failed;
        auto userEnd = runEnd(userBegin,
            [&](char byte) { return byte != '/' && byte != ':' && byte != '@' && !isBlank(byte); });
        if (userEnd == userBegin || userEnd == text.size() || text[userEnd] != ':')
            return failed;
        auto passwordEnd
            = runEnd(userEnd + 1, [&](char byte) { return byte != '/' && byte != '@' && !isBlank(byte); });
        if (passwordEnd == userEnd + 1 || passwordEnd == text.size() || text[passwordEnd] != '@')
            return failed;
        return { ScanMatch { at, passwordEnd + 1, userBegin - at, false, true }, passwordEnd + 1 };
    }

    // matchHTTPCredential at the first byte of an ASCII word, where \b holds.
    ScanAttempt attemptASCIIHTTPCredential(const TextScanner& scanner, std::size_t at)
    {
        constexpr std::size_t kMinimumCredentialSize = 8;
        auto text = scanner.text();
        auto isCredentialByte = [](char byte) {
            auto c = static_cast<unsigned char>(byte);
            return isASCIIAlphanumeric(c) || c == '.' || c == '_' || c == '~' || c == '+' || c == '/'
                || c == '=' || c == '-';
        };
        for (auto scheme : { std::string_view("bearer"), std::string_view("basic") }) {
            if (!startsWithCaseless(text, at, scheme))
                continue;
            auto blanksEnd = pastBlanks(text, at + scheme.size());
            if (blanksEnd == at + scheme.size())
                continue;
            auto credentialEnd = blanksEnd;
            while (credentialEnd < text.size() && isCredentialByte(text[credentialEnd]))
                ++credentialEnd;
            if (credentialEnd - blanksEnd >= kMinimumCredentialSize)
                return { ScanMatch { at, credentialEnd, scheme.size(), true }, credentialEnd };
        }
        return { std::nullopt, at + 1 };
    }

}

bool findSecretMatchesInASCII(std::string_view text, SecretMatchSink& sink)
{
    if (text.find("-----BEGIN ") != std::string_view::npos)
        return false;
    TextScanner scanner(text);
    WordMasks masks(text);
    if (masks.holdsNonASCII())
        return false;
    bool stopped = false;
    std::array<std::size_t, secretPatternsInOrder.size()> nextTry {};
    std::uint16_t candidates = 0;
    // The word being tried; pointed at rather than copied, which would read back the fields just written.
    const Word* word = nullptr;
    auto attempt = [&](SecretPattern pattern, std::size_t at, auto attemptAt) {
        auto& next = nextTry[static_cast<std::size_t>(pattern)];
        if (!(candidates & bit(pattern)) || at < next || stopped)
            return;
        auto outcome = attemptAt(scanner, at);
        next = outcome.next;
        if (outcome.match)
            stopped = !sink.add({ pattern, outcome.match->begin, outcome.match->end, outcome.match->kept,
                outcome.match->spaced, outcome.match->closedByAt });
    };
    // In a word short enough for one mask, its key run ends where the mask's run of key bytes does.
    auto attemptAssignment = [&](const TextScanner&, std::size_t at) {
        auto runEnd = at;
        if (word->bits)
            runEnd += static_cast<std::size_t>(std::countr_one(word->bits->keyBytes >> (at - word->begin)));
        else
            while (runEnd < text.size()
                && kByteKinds[static_cast<unsigned char>(text[runEnd])] & kAssignmentKeyByte)
                ++runEnd;
        return attemptASCIISecretAssignment(text, at, runEnd);
    };
    // In a word short enough for one mask, the run and what it holds are read from the masks.
    auto attemptLongRun = [&](const TextScanner&, std::size_t at) {
        if (!word->bits)
            return attemptLongToken(scanner, at);
        auto offset = at - word->begin;
        auto size = static_cast<std::size_t>(std::countr_one(word->bits->tokenBytes >> offset));
        auto end = at + size;
        auto run = (size == WordMasks::kBlockBytes ? ~std::uint64_t(0) : ~(~std::uint64_t(0) << size))
            << offset;
        if (size < kShortestLongRun)
            return ScanAttempt { std::nullopt, end };
        auto bits = masks.runBitsOf(word->begin, word->end);
        if (!longRunLooksLikeSecret(
                size, (bits.hexDigits & run) == run, (bits.letters & run) != 0 && (bits.digits & run) != 0))
            return ScanAttempt { std::nullopt, end };
        return ScanAttempt { ScanMatch { at, end }, end };
    };
    auto attemptAt = [&](std::size_t at, ByteKinds starts) {
        if (starts & kAssignmentKeyByte)
            attempt(SecretPattern::secretAssignment, at, attemptAssignment);
        if (starts & kTokenByte)
            attempt(SecretPattern::longToken, at, attemptLongRun);
        // Every other pattern starts with a word character at \b, which in ASCII is a word's first byte.
        if (!(starts & kWordByte))
            return;
        auto byte = static_cast<unsigned char>(text[at]);
        switch (byte) {
        case 's':
        case 'p':
        case 'r':
            attempt(SecretPattern::prefixedKey, at, attemptPrefixedKey);
            break;
        case 'g':
            attempt(SecretPattern::gitHubToken, at, attemptGitHubToken);
            break;
        case 'x':
            attempt(SecretPattern::slackToken, at, attemptSlackToken);
            break;
        case 'A':
            attempt(SecretPattern::awsAccessKeyID, at, attemptAWSAccessKeyID);
            attempt(SecretPattern::googleAPIKey, at, attemptGoogleAPIKey);
            break;
        case 'e':
            attempt(SecretPattern::jsonWebToken, at, attemptJSONWebToken);
            break;
        case 'b':
        case 'B':
            attempt(SecretPattern::httpCredential, at, attemptASCIIHTTPCredential);
            break;
        default:
            break;
        }
        if (isASCIILetter(byte) && at < word->urlStartsBefore)
            attempt(SecretPattern::urlCredential, at, attemptASCIIURLCredential);
    };
    // A run a pattern needs can start only where a byte has a kind the byte before it lacks: bit i of
    // `...Starts` is set when byte i does. Before a word lies a blank, which has none of the kinds. Words
    // are read a mask at a time.
    auto attemptRunStarts = [&](std::size_t begin, std::size_t end) {
        WordMasks::StretchBits before;
        for (auto from = begin; from < end && !stopped; from += WordMasks::kBlockBytes) {
            auto bits
                = word->bits ? *word->bits : masks.bitsOf(from, std::min(end, from + WordMasks::kBlockBytes));
            auto startsOf = [](std::uint64_t kind, std::uint64_t kindBefore) {
                return kind & ~((kind << 1) | (kindBefore >> (WordMasks::kBlockBytes - 1)));
            };
            auto keyStarts = startsOf(bits.keyBytes, before.keyBytes);
            auto tokenStarts = startsOf(bits.tokenBytes, before.tokenBytes);
            auto wordStarts = startsOf(bits.wordBytes, before.wordBytes);
            for (auto anyStarts = keyStarts | tokenStarts | wordStarts; anyStarts != 0;
                 anyStarts &= anyStarts - 1) {
                auto offset = std::countr_zero(anyStarts);
                auto kindAt = [&](std::uint64_t starts, ByteKinds kind) {
                    return static_cast<ByteKinds>((starts >> offset) & 1 ? kind : 0);
                };
                attemptAt(from + static_cast<std::size_t>(offset),
                    kindAt(keyStarts, kAssignmentKeyByte) | kindAt(tokenStarts, kTokenByte)
                        | kindAt(wordStarts, kWordByte));
            }
            before = bits;
        }
    };
    auto lookAt = [&](std::size_t begin, std::size_t end) {
        auto current = describedWord(text, masks, begin, end);
        candidates = patternsWithin(text, begin, current)
            | patternsReadingOnFrom(text, begin, end, masks.nextNonBlank(end));
        word = &current;
        if (candidates != 0)
            attemptRunStarts(begin, end);
    };
    // Every word before here was looked at, or needs no look.
    std::size_t lookedUpTo = 0;
    for (std::size_t block = 0; block < masks.blockCount() && !stopped; ++block) {
        auto blockBegin = block * WordMasks::kBlockBytes;
        // The bits of the block from lookedUpTo on.
        auto notLookedAt = [&] {
            if (lookedUpTo <= blockBegin)
                return ~std::uint64_t(0);
            auto looked = lookedUpTo - blockBegin;
            return looked >= WordMasks::kBlockBytes ? 0 : ~std::uint64_t(0) << looked;
        };
        for (auto worthALook = masks.wordsWorthALook(block) & notLookedAt(); worthALook != 0 && !stopped;
             worthALook &= notLookedAt()) {
            auto at = blockBegin + static_cast<std::size_t>(std::countr_zero(worthALook));
            auto begin = masks.wordBegin(at);
            // A separator that opens a word may close the key of an assignment in the word before it.
            if (kByteKinds[static_cast<unsigned char>(text[begin])] & kSeparatorByte) {
                auto previous = masks.previousWordBegin(begin);
                if (previous && *previous >= lookedUpTo)
                    lookAt(*previous, masks.nextBlank(*previous));
            }
            lookedUpTo = masks.nextBlank(begin);
            lookAt(begin, lookedUpTo);
        }
    }
    return !stopped;
}
}
