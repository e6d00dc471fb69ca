#include "VellumarMacCore/Foundations/SecretPattern.h"

#include "VellumarMacCore/Foundations/SecretPatternAttempts.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumar::detail {

namespace {

    using ByteKinds = std::uint16_t;
    constexpr ByteKinds kAssignmentKeyByte = 1;
    constexpr ByteKinds kTokenByte = 2;
    constexpr ByteKinds kWordByte = 4;
    constexpr ByteKinds kNonASCIIByte = 8;
    constexpr ByteKinds kBlankByte = 16;
    constexpr ByteKinds kSeparatorByte = 32;
    constexpr ByteKinds kDotByte = 64;
    constexpr ByteKinds kColonByte = 128;
    constexpr ByteKinds kHexDigitByte = 256;
    constexpr ByteKinds kLetterByte = 512;
    constexpr ByteKinds kDigitByte = 1024;
    // The kinds whose runs a match may start.
    constexpr ByteKinds kRunKinds = kAssignmentKeyByte | kTokenByte | kWordByte;

    constexpr std::array<ByteKinds, 256> kByteKinds = [] {
        std::array<ByteKinds, 256> kinds {};
        for (std::size_t byte = 0; byte < kinds.size(); ++byte) {
            if (byte >= 0x80) {
                kinds[byte] = kNonASCIIByte;
                continue;
            }
            auto c = static_cast<char32_t>(byte);
            bool word = isASCIILetter(c) || isASCIIDigit(c) || c == '_';
            kinds[byte] = (word ? kWordByte : 0) | (word || c == '.' || c == '-' ? kAssignmentKeyByte : 0)
                | (word || c == '-' || c == '+' || c == '=' ? kTokenByte : 0)
                | (c == ' ' || (c >= '\t' && c <= '\r') ? kBlankByte : 0)
                | (c == ':' || c == '=' ? kSeparatorByte : 0) | (c == '.' ? kDotByte : 0)
                | (c == ':' ? kColonByte : 0) | (isASCIIHexDigit(c) ? kHexDigitByte : 0)
                | (isASCIILetter(c) ? kLetterByte : 0) | (isASCIIDigit(c) ? kDigitByte : 0);
        }
        return kinds;
    }();

    std::size_t pastBlanks(std::string_view text, std::size_t at)
    {
        while (at < text.size() && kByteKinds[static_cast<unsigned char>(text[at])] & kBlankByte)
            ++at;
        return at;
    }

    // What one run of non-blank bytes holds, as far as telling whether a match may start in it.
    struct Word {
        std::size_t begin = 0;
        std::size_t end = 0;
        ByteKinds someByte = 0; // the kinds of any of its bytes
        ByteKinds everyByte = 0; // the kinds all its bytes share
        std::size_t longestTokenRun = 0;
        // No URL's scheme starts from its last "://" on.
        std::size_t urlStartsBefore = 0;
    };

    Word wordAt(std::string_view text, std::size_t begin)
    {
        Word word { begin };
        ByteKinds everyByte = 0xFFFF;
        auto at = begin;
        for (; at < text.size(); ++at) {
            auto kinds = kByteKinds[static_cast<unsigned char>(text[at])];
            if (kinds & kBlankByte)
                break;
            word.someByte |= kinds;
            everyByte &= kinds;
        }
        word.end = at;
        word.everyByte = everyByte;
        // Only long words can hold a run long enough to matter.
        constexpr std::size_t kShortestRunThatMatters = 11;
        if (word.end - begin < kShortestRunThatMatters)
            return word;
        if (everyByte & kTokenByte) {
            word.longestTokenRun = word.end - begin;
            return word;
        }
        std::size_t tokenRun = 0;
        for (at = begin; at < word.end; ++at) {
            tokenRun = (kByteKinds[static_cast<unsigned char>(text[at])] & kTokenByte) ? tokenRun + 1 : 0;
            word.longestTokenRun = std::max(word.longestTokenRun, tokenRun);
        }
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

    // The patterns whose matches may start in a word of ASCII text. No match reads across a blank but at its
    // separator, value or credential, so the rest of a match lies inside the word: a run of at least 15 bytes
    // for the prefixed kinds, 32 for a long run, 11 and a "." for a web token's header, "://" for a URL; an
    // assignment needs a separator in the word or right after its blanks, a credential a word that ends in
    // "bearer" or "basic".
    std::uint16_t patternsThatMayStartIn(std::string_view text, std::size_t begin, Word& word)
    {
        constexpr std::size_t kShortestPrefixedMatch = 15;
        constexpr std::size_t kShortestWebTokenHeader = 11;
        std::uint16_t patterns = 0;
        if (word.longestTokenRun >= kShortestPrefixedMatch)
            patterns |= bit(SecretPattern::prefixedKey) | bit(SecretPattern::gitHubToken)
                | bit(SecretPattern::slackToken) | bit(SecretPattern::awsAccessKeyID)
                | bit(SecretPattern::googleAPIKey);
        if (word.longestTokenRun >= kShortestLongRun)
            patterns |= bit(SecretPattern::longToken);
        if (word.someByte & kDotByte && word.longestTokenRun >= kShortestWebTokenHeader)
            patterns |= bit(SecretPattern::jsonWebToken);
        if (word.someByte & kColonByte) {
            auto separator = text.substr(begin, word.end - begin).rfind("://");
            if (separator != std::string_view::npos) {
                patterns |= bit(SecretPattern::urlCredential);
                word.urlStartsBefore = begin + separator;
            }
        }
        auto next = pastBlanks(text, word.end);
        if (word.someByte & kSeparatorByte
            || (next < text.size() && kByteKinds[static_cast<unsigned char>(text[next])] & kSeparatorByte))
            patterns |= bit(SecretPattern::secretAssignment);
        auto letters = text.substr(begin, word.end - begin);
        if (endsWithCaseless(letters, "bearer") || endsWithCaseless(letters, "basic"))
            patterns |= bit(SecretPattern::httpCredential);
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

    // secretAssignmentFrom for a run of ASCII text. The value is read last: reading it for every run with a
    // separator after it would take each run of "a:a:a:..." to the end of the text.
    ScanAttempt attemptASCIISecretAssignment(const TextScanner& scanner, std::size_t at)
    {
        auto text = scanner.text();
        auto kindsAt = [&](std::size_t offset) {
            return offset < text.size() ? kByteKinds[static_cast<unsigned char>(text[offset])] : ByteKinds(0);
        };
        auto byteAt = [&](std::size_t offset) { return offset < text.size() ? text[offset] : '\0'; };
        auto runEnd = at;
        while (kindsAt(runEnd) & kAssignmentKeyByte)
            ++runEnd;
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
    // A word of token bytes only is one run, told from the kinds gathered on the walk, unread again.
    auto attemptLongRun = [&](const TextScanner&, std::size_t at) {
        if (!(word->everyByte & kTokenByte))
            return attemptLongToken(scanner, at);
        auto size = word->end - word->begin;
        if (size < kShortestLongRun
            || !longRunLooksLikeSecret(size, word->everyByte & kHexDigitByte,
                (word->someByte & kLetterByte) && (word->someByte & kDigitByte)))
            return ScanAttempt { std::nullopt, word->end };
        return ScanAttempt { ScanMatch { at, word->end }, word->end };
    };
    auto attemptAt = [&](std::size_t at, ByteKinds starts) {
        if (starts & kAssignmentKeyByte)
            attempt(SecretPattern::secretAssignment, at, attemptASCIISecretAssignment);
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
            attempt(SecretPattern::urlCredential, at, attemptURLCredential);
    };
    // A run a pattern needs can start only where a byte has a kind the byte before it lacks; a word follows
    // a blank, which has none of them.
    auto attemptRunStarts = [&](std::size_t begin, std::size_t end) {
        ByteKinds previousKinds = 0;
        for (auto at = begin; at < end;) {
            auto kinds = kByteKinds[static_cast<unsigned char>(text[at])] & kRunKinds;
            if (auto starts = kinds & ~previousKinds)
                attemptAt(at, starts);
            previousKinds = kinds;
            do
                ++at;
            while (at < end && (kByteKinds[static_cast<unsigned char>(text[at])] & kRunKinds) == kinds);
        }
    };
    for (std::size_t at = 0; at < text.size();) {
        if (kByteKinds[static_cast<unsigned char>(text[at])] & kBlankByte) {
            ++at;
            continue;
        }
        auto current = wordAt(text, at);
        word = &current;
        if (current.someByte & kNonASCIIByte || stopped)
            return false;
        candidates = patternsThatMayStartIn(text, at, current);
        if (candidates != 0)
            attemptRunStarts(at, current.end);
        at = current.end;
    }
    return !stopped;
}

}
