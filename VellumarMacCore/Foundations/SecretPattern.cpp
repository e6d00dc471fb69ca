#include "VellumarMacCore/Foundations/SecretPattern.h"

#include "VellumarMacCore/Foundations/Redaction.h"
#include "VellumarMacCore/Foundations/SecretPatternAttempts.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::detail {

namespace {

    using Match = ScanMatch;

    using Scanner = TextScanner;

    // [A-Za-z0-9_-]
    bool isKeyCharacter(char32_t c) { return isASCIIAlphanumeric(c) || c == '_' || c == '-'; }

    bool startsWithAny(
        const Scanner& scanner, std::size_t at, std::initializer_list<std::string_view> prefixes)
    {
        for (auto prefix : prefixes) {
            if (scanner.startsWith(at, prefix))
                return true;
        }
        return false;
    }

    // \b, a prefix the caller has seen at `at`, then at least `minimumCount` members of a class, all masked.
    // A greedy run followed by nothing needs no backtracking: the longest run is the match.
    template <typename Predicate>
    std::optional<Match> maskedRunAfterPrefix(const Scanner& scanner, std::size_t at, std::size_t prefixSize,
        Predicate isMember, std::size_t minimumCount)
    {
        if (!scanner.isWordBoundary(at))
            return std::nullopt;
        auto run = scanner.skip(at + prefixSize, isMember);
        if (run.count < minimumCount)
            return std::nullopt;
        return Match { at, run.end };
    }

    // The ASCII bytes that can begin a match of a pattern, and every byte from 0x80 on.
    class StartBytes {
    public:
        constexpr explicit StartBytes(std::string_view ascii)
        {
            for (std::size_t byte = 0x80; byte < m_isStart.size(); ++byte)
                m_isStart[byte] = true;
            for (char byte : ascii)
                m_isStart[static_cast<unsigned char>(byte)] = true;
        }
        constexpr bool contains(char byte) const { return m_isStart[static_cast<unsigned char>(byte)]; }

    private:
        std::array<bool, 256> m_isStart {};
    };

    // The leftmost match from `from` of a pattern judged one start at a time. Other ASCII bytes are passed
    // over without a look: no match can begin there.
    template <typename MatchAt>
    std::optional<Match> firstMatchFrom(
        const Scanner& scanner, std::size_t from, const StartBytes& starts, MatchAt matchAt)
    {
        auto text = scanner.text();
        for (auto at = from; at < text.size();) {
            if (!starts.contains(text[at])) {
                ++at;
                continue;
            }
            if (auto match = matchAt(scanner, at))
                return match;
            at += scanner.at(at).size;
        }
        return std::nullopt;
    }

    // Where "[A-Z0-9 ]*PRIVATE KEY-----" ends when it starts at `at`. The greedy run can only give back as
    // far as a "PRIVATE KEY" standing right before the dashes, since the dashes are what end the run.
    std::optional<std::size_t> privateKeyLabelEnd(const Scanner& scanner, std::size_t at)
    {
        constexpr std::string_view kLabel = "PRIVATE KEY";
        constexpr std::string_view kDashes = "-----";
        auto run
            = scanner.skip(at, [](char32_t c) { return isASCIIUpper(c) || isASCIIDigit(c) || c == ' '; });
        if (run.end - at < kLabel.size() || !scanner.startsWith(run.end - kLabel.size(), kLabel)
            || !scanner.startsWith(run.end, kDashes))
            return std::nullopt;
        return run.end + kDashes.size();
    }

    std::optional<Match> findPrivateKeyBlock(const Scanner& scanner, std::size_t from)
    {
        constexpr std::string_view kBegin = "-----BEGIN ";
        constexpr std::string_view kEnd = "-----END ";
        auto text = scanner.text();
        for (auto begin = text.find(kBegin, from); begin != std::string_view::npos;
             begin = text.find(kBegin, begin + 1)) {
            auto headerEnd = privateKeyLabelEnd(scanner, begin + kBegin.size());
            if (!headerEnd)
                continue;
            // The lazy body stops at the first complete END line; without one the block runs to the end.
            auto end = text.size();
            for (auto footer = text.find(kEnd, *headerEnd); footer != std::string_view::npos;
                 footer = text.find(kEnd, footer + 1)) {
                if (auto footerEnd = privateKeyLabelEnd(scanner, footer + kEnd.size())) {
                    end = *footerEnd;
                    break;
                }
            }
            return Match { begin, end };
        }
        return std::nullopt;
    }

    std::optional<Match> matchPrefixedKey(const Scanner& scanner, std::size_t at)
    {
        if (!startsWithAny(scanner, at, { "sk-", "pk-", "rk-" }))
            return std::nullopt;
        return maskedRunAfterPrefix(scanner, at, 3, isKeyCharacter, 16);
    }

    std::optional<Match> matchGitHubToken(const Scanner& scanner, std::size_t at)
    {
        if (startsWithAny(scanner, at, { "ghp_", "gho_", "ghu_", "ghs_", "ghr_" }))
            return maskedRunAfterPrefix(scanner, at, 4, isASCIIAlphanumeric, 20);
        if (scanner.startsWith(at, "github_pat_"))
            return maskedRunAfterPrefix(
                scanner, at, 11, [](char32_t c) { return isASCIIAlphanumeric(c) || c == '_'; }, 20);
        return std::nullopt;
    }

    std::optional<Match> matchSlackToken(const Scanner& scanner, std::size_t at)
    {
        if (!startsWithAny(scanner, at, { "xoxa-", "xoxb-", "xoxp-", "xoxr-", "xoxs-" }))
            return std::nullopt;
        return maskedRunAfterPrefix(
            scanner, at, 5, [](char32_t c) { return isASCIIAlphanumeric(c) || c == '-'; }, 10);
    }

    std::optional<Match> matchAWSAccessKeyID(const Scanner& scanner, std::size_t at)
    {
        constexpr std::size_t kPrefixSize = 4;
        constexpr std::size_t kBodySize = 16;
        if (!startsWithAny(scanner, at, { "AKIA", "ASIA" }) || !scanner.isWordBoundary(at))
            return std::nullopt;
        auto body
            = scanner.skip(at + kPrefixSize, [](char32_t c) { return isASCIIUpper(c) || isASCIIDigit(c); });
        auto end = at + kPrefixSize + kBodySize;
        if (body.count < kBodySize || !scanner.isWordBoundary(end))
            return std::nullopt;
        return Match { at, end };
    }

    std::optional<Match> matchGoogleAPIKey(const Scanner& scanner, std::size_t at)
    {
        if (!scanner.startsWith(at, "AIza"))
            return std::nullopt;
        return maskedRunAfterPrefix(scanner, at, 4, isKeyCharacter, 30);
    }

    // Each part is a greedy run that only a "." may follow, and "." is not in the run: so a part always takes
    // its whole run, and every start inside one run shares the same first run end. The first start of a run
    // has the longest first part; when it fails, so do the later ones.
    std::optional<Match> jsonWebTokenAfterHeader(
        const Scanner& scanner, std::size_t at, const Scanner::Run& header)
    {
        constexpr std::size_t kMinimumPartSize = 8;
        if (header.count >= kMinimumPartSize && scanner.at(header.end).value == '.') {
            auto payload = scanner.skip(header.end + 1, isKeyCharacter);
            if (payload.count >= kMinimumPartSize && scanner.at(payload.end).value == '.') {
                auto signature = scanner.skip(payload.end + 1, isKeyCharacter);
                if (signature.count >= kMinimumPartSize)
                    return Match { at, signature.end };
            }
        }
        return std::nullopt;
    }

    std::optional<Match> findJSONWebToken(const Scanner& scanner, std::size_t from)
    {
        auto text = scanner.text();
        for (auto at = text.find("eyJ", from); at != std::string_view::npos; at = text.find("eyJ", at + 1)) {
            if (!scanner.isWordBoundary(at))
                continue;
            auto header = scanner.skip(at + 3, isKeyCharacter);
            if (auto match = jsonWebTokenAfterHeader(scanner, at, header))
                return match;
            at = header.end;
        }
        return std::nullopt;
    }

    // [A-Za-z0-9_.-] of a case-insensitive pattern.
    bool isAssignmentKeyCharacter(char32_t c)
    {
        return isCaselessLetter(c) || isASCIIDigit(c) || c == '_' || c == '.' || c == '-';
    }

    bool isUnquotedValueCharacter(char32_t c)
    {
        switch (c) {
        case '"':
        case '\'':
        case '&':
        case ';':
        case '|':
            return false;
        default:
            return !isWhiteSpace(c);
        }
    }

    class KeywordEnds {
    public:
        void add(std::optional<std::size_t> end)
        {
            if (end)
                m_ends[m_count++] = *end;
        }
        const std::size_t* begin() const { return m_ends.data(); }
        const std::size_t* end() const { return m_ends.data() + m_count; }

    private:
        std::array<std::size_t, 11> m_ends {};
        std::size_t m_count = 0;
    };

    // stem[_-]?key, the separator tried first.
    void addKeyAfterStem(KeywordEnds& ends, const Scanner& scanner, std::size_t at, std::string_view stem)
    {
        auto stemEnd = scanner.matchCaseless(at, stem);
        if (!stemEnd)
            return;
        auto separator = scanner.at(*stemEnd).value;
        if (separator == '_' || separator == '-')
            ends.add(scanner.matchCaseless(*stemEnd + 1, "key"));
        ends.add(scanner.matchCaseless(*stemEnd, "key"));
    }

    // Most characters start no secret word; only non-ASCII ones need the case folding to tell.
    bool maySecretWordStartAt(const Scanner& scanner, std::size_t at)
    {
        static constexpr StartBytes kSecretWordStarts("pstacPSTAC");
        return at < scanner.size() && kSecretWordStarts.contains(scanner.text()[at]);
    }

    // Ends of the secret words that start at `at`, in the order in which the alternation tries them:
    // pass(?:word|wd)?|secret|token|api[_-]?key|apikey|credential|private[_-]?key. Asked only where
    // maySecretWordStartAt holds.
    KeywordEnds secretWordEndsAt(const Scanner& scanner, std::size_t at)
    {
        KeywordEnds ends;
        if (auto pass = scanner.matchCaseless(at, "pass")) {
            ends.add(scanner.matchCaseless(*pass, "word"));
            ends.add(scanner.matchCaseless(*pass, "wd"));
            ends.add(pass);
        }
        ends.add(scanner.matchCaseless(at, "secret"));
        ends.add(scanner.matchCaseless(at, "token"));
        addKeyAfterStem(ends, scanner, at, "api");
        ends.add(scanner.matchCaseless(at, "apikey"));
        ends.add(scanner.matchCaseless(at, "credential"));
        addKeyAfterStem(ends, scanner, at, "private");
        return ends;
    }

    struct AssignedValue {
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    // Where ["']?\s*[:=] ends when it starts at `at`.
    std::optional<std::size_t> separatorEnd(const Scanner& scanner, std::size_t at)
    {
        auto closingQuote = scanner.at(at).value;
        if (closingQuote == '"' || closingQuote == '\'')
            ++at;
        at = scanner.skip(at, isWhiteSpace).end;
        auto separator = scanner.at(at).value;
        if (separator != ':' && separator != '=')
            return std::nullopt;
        return at + 1;
    }

    // ["']?\s*[:=]\s*(?:"[^"]*"|'[^']*'|[^\s"'&;|]+) at `at`. None of its parts can give anything back that
    // the next part could use, so the first way through is the only one.
    std::optional<AssignedValue> assignedValueAt(const Scanner& scanner, std::size_t at)
    {
        auto separator = separatorEnd(scanner, at);
        if (!separator)
            return std::nullopt;
        auto valueBegin = scanner.skip(*separator, isWhiteSpace).end;
        auto openingQuote = scanner.at(valueBegin).value;
        if (openingQuote == '"' || openingQuote == '\'') {
            auto close = scanner.text().find(static_cast<char>(openingQuote), valueBegin + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            return AssignedValue { valueBegin, close + 1 };
        }
        auto value = scanner.skip(valueBegin, isUnquotedValueCharacter);
        if (value.count == 0)
            return std::nullopt;
        return AssignedValue { valueBegin, value.end };
    }

    // The expression backtracks through every split of a key run into prefix, word and suffix. Only where the
    // key run ends matters: the suffix run always reaches it (what follows the key is never a key character),
    // and from there the rest has one way through. So a start either matches with the value after its run, or
    // fails, and later starts in the same run fail as well. A word can leave the run only through a character
    // that is no key character but folds into the word ("paß" for "pass"); then its own run end counts.
    std::optional<Match> secretAssignmentFrom(const Scanner& scanner, std::size_t start, std::size_t runEnd)
    {
        // An ASCII character after the run is no letter, so no word reads on past the run: every word in
        // it needs a separator after the run. (Only the separator is looked for here: reading the value
        // too would take each run of "a:a:a:..." to the end of the text.)
        bool followedByASCII = scanner.at(runEnd).value < 0x80;
        if (runEnd > start && followedByASCII && !separatorEnd(scanner, runEnd))
            return std::nullopt;
        std::optional<std::optional<AssignedValue>> valueAfterRun;
        // Greedy: the prefix gives back one character at a time, so words are tried from the right.
        for (auto wordStart = runEnd;; wordStart -= scanner.before(wordStart).size) {
            if (maySecretWordStartAt(scanner, wordStart)) {
                for (auto wordEnd : secretWordEndsAt(scanner, wordStart)) {
                    std::optional<AssignedValue> value;
                    if (wordEnd <= runEnd) {
                        if (!valueAfterRun)
                            valueAfterRun = assignedValueAt(scanner, runEnd);
                        value = *valueAfterRun;
                    } else {
                        value = assignedValueAt(scanner, scanner.skip(wordEnd, isAssignmentKeyCharacter).end);
                    }
                    if (value)
                        return Match { start, value->end, value->begin - start };
                }
            }
            if (wordStart == start)
                return std::nullopt;
        }
    }

    std::optional<Match> findSecretAssignment(const Scanner& scanner, std::size_t from)
    {
        // Every match holds its separator, so the next search starts past this one: the look stays linear.
        if (scanner.text().find_first_of(":=", from) == std::string_view::npos)
            return std::nullopt;
        for (auto start = from; start < scanner.size();) {
            auto runEnd = scanner.skip(start, isAssignmentKeyCharacter).end;
            if (auto match = secretAssignmentFrom(scanner, start, runEnd))
                return match;
            start = runEnd > start ? runEnd : start + scanner.at(start).size;
        }
        return std::nullopt;
    }

    // [A-Za-z0-9._~+/=-] of a case-insensitive pattern.
    bool isCredentialCharacter(char32_t c)
    {
        switch (c) {
        case '.':
        case '_':
        case '~':
        case '+':
        case '/':
        case '=':
        case '-':
            return true;
        default:
            return isCaselessLetter(c) || isASCIIDigit(c);
        }
    }

    std::optional<Match> matchHTTPCredential(const Scanner& scanner, std::size_t at)
    {
        constexpr std::size_t kMinimumCredentialSize = 8;
        for (auto scheme : { std::string_view("bearer"), std::string_view("basic") }) {
            auto wordEnd = scanner.matchCaseless(at, scheme);
            if (!wordEnd || !scanner.isWordBoundary(at))
                continue;
            auto blanks = scanner.skip(*wordEnd, isWhiteSpace);
            if (blanks.count == 0)
                continue;
            auto credential = scanner.skip(blanks.end, isCredentialCharacter);
            if (credential.count < kMinimumCredentialSize)
                continue;
            return Match { at, credential.end, *wordEnd - at, true };
        }
        return std::nullopt;
    }

    // An ASCII member of \w.
    bool isASCIIWordCharacter(char32_t c) { return isASCIIAlphanumeric(c) || c == '_'; }

    // [a-z0-9+.-] of a case-insensitive pattern.
    bool isSchemeCharacter(char32_t c)
    {
        return isCaselessLetter(c) || isASCIIDigit(c) || c == '+' || c == '.' || c == '-';
    }

    // "://" then user:password@ after a scheme that ends at `schemeEnd`. Neither part may hold the character
    // that ends it, so each greedy run can only end right before that character.
    std::optional<Match> credentialsAfterScheme(
        const Scanner& scanner, std::size_t start, std::size_t schemeEnd)
    {
        constexpr std::string_view kSeparator = "://";
        if (!scanner.startsWith(schemeEnd, kSeparator))
            return std::nullopt;
        auto user = scanner.skip(schemeEnd + kSeparator.size(),
            [](char32_t c) { return c != '/' && c != ':' && c != '@' && !isWhiteSpace(c); });
        if (user.count == 0 || scanner.at(user.end).value != ':')
            return std::nullopt;
        auto password
            = scanner.skip(user.end + 1, [](char32_t c) { return c != '/' && c != '@' && !isWhiteSpace(c); });
        if (password.count == 0 || scanner.at(password.end).value != '@')
            return std::nullopt;
        return Match { start, password.end + 1, schemeEnd + kSeparator.size() - start, false, true };
    }

    // Every start inside one run of scheme characters reaches the same run end, where "://" must follow; so
    // the first start of a run decides for all of them.
    std::optional<Match> findURLCredential(const Scanner& scanner, std::size_t from)
    {
        // Every match holds its "://", so the next search starts past this one: the look stays linear.
        if (scanner.text().find("://", from) == std::string_view::npos)
            return std::nullopt;
        for (auto at = from; at < scanner.size();) {
            auto codePoint = scanner.at(at);
            if (!isCaselessLetter(codePoint.value) || !scanner.isWordBoundary(at)) {
                // Past an ASCII word character no \b falls until its run ends, so no scheme starts inside it.
                at = isASCIIWordCharacter(codePoint.value) ? scanner.skip(at, isASCIIWordCharacter).end
                                                           : at + codePoint.size;
                continue;
            }
            auto schemeEnd = scanner.skip(at, isSchemeCharacter).end;
            if (auto match = credentialsAfterScheme(scanner, at, schemeEnd))
                return match;
            at = schemeEnd;
        }
        return std::nullopt;
    }

    // [A-Za-z0-9_+=-], by table: long runs are walked byte by byte.
    constexpr std::array<bool, 0x80> kTokenCharacters = [] {
        std::array<bool, 0x80> members {};
        for (char32_t c = 0; c < members.size(); ++c)
            members[c] = isASCIIAlphanumeric(c) || c == '_' || c == '-' || c == '+' || c == '=';
        return members;
    }();

    // The run of token characters from `at`. They are all ASCII, so it is read byte by byte, without
    // decoding.
    Scanner::Run tokenRunAt(const Scanner& scanner, std::size_t at)
    {
        auto text = scanner.text();
        auto end = at;
        while (end < text.size() && static_cast<unsigned char>(text[end]) < kTokenCharacters.size()
            && kTokenCharacters[static_cast<unsigned char>(text[end])])
            ++end;
        return { end, end - at };
    }

    constexpr std::uint8_t kHexDigitByte = 1;
    constexpr std::uint8_t kLetterByte = 2;
    constexpr std::uint8_t kDigitByte = 4;

    constexpr std::array<std::uint8_t, 256> kRunByteKinds = [] {
        std::array<std::uint8_t, 256> kinds {};
        for (char32_t c = 0; c < kinds.size(); ++c)
            kinds[c] = (isASCIIHexDigit(c) ? kHexDigitByte : 0) | (isASCIILetter(c) ? kLetterByte : 0)
                | (isASCIIDigit(c) ? kDigitByte : 0);
        return kinds;
    }();

    bool looksLikeSecret(std::string_view run)
    {
        std::uint8_t everyByte = 0xFF;
        std::uint8_t someByte = 0;
        for (unsigned char byte : run) {
            everyByte &= kRunByteKinds[byte];
            someByte |= kRunByteKinds[byte];
        }
        return longRunLooksLikeSecret(
            run.size(), everyByte & kHexDigitByte, (someByte & kLetterByte) && (someByte & kDigitByte));
    }

    // A long run that stays as it is counts as no match: replacing it by itself changes nothing.
    std::optional<Match> longTokenOfRun(const Scanner& scanner, std::size_t at, const Scanner::Run& run)
    {
        if (run.count < kShortestLongRun || !looksLikeSecret(scanner.text().substr(at, run.end - at)))
            return std::nullopt;
        return Match { at, run.end };
    }

    std::optional<Match> findLongToken(const Scanner& scanner, std::size_t from)
    {
        for (auto at = from; at < scanner.size();) {
            auto run = tokenRunAt(scanner, at);
            if (auto match = longTokenOfRun(scanner, at, run))
                return match;
            at = run.count > 0 ? run.end : at + scanner.at(at).size;
        }
        return std::nullopt;
    }

    constexpr StartBytes kPrefixedKeyStarts("spr");
    constexpr StartBytes kGitHubTokenStarts("g");
    constexpr StartBytes kSlackTokenStarts("x");
    constexpr StartBytes kAWSAccessKeyIDStarts("A");
    constexpr StartBytes kGoogleAPIKeyStarts("A");
    // Of a caseless "bearer" or "basic".
    constexpr StartBytes kHTTPCredentialStarts("bB");

    template <typename MatchAt>
    ScanAttempt attemptEach(const Scanner& scanner, std::size_t at, MatchAt matchAt)
    {
        auto match = matchAt(scanner, at);
        auto next = match ? match->end : at + 1;
        return { std::move(match), next };
    }

    std::optional<Match> findNext(SecretPattern pattern, const Scanner& scanner, std::size_t from)
    {
        switch (pattern) {
        case SecretPattern::privateKeyBlock:
            return findPrivateKeyBlock(scanner, from);
        case SecretPattern::prefixedKey:
            return firstMatchFrom(scanner, from, kPrefixedKeyStarts, matchPrefixedKey);
        case SecretPattern::gitHubToken:
            return firstMatchFrom(scanner, from, kGitHubTokenStarts, matchGitHubToken);
        case SecretPattern::slackToken:
            return firstMatchFrom(scanner, from, kSlackTokenStarts, matchSlackToken);
        case SecretPattern::awsAccessKeyID:
            return firstMatchFrom(scanner, from, kAWSAccessKeyIDStarts, matchAWSAccessKeyID);
        case SecretPattern::googleAPIKey:
            return firstMatchFrom(scanner, from, kGoogleAPIKeyStarts, matchGoogleAPIKey);
        case SecretPattern::jsonWebToken:
            return findJSONWebToken(scanner, from);
        case SecretPattern::secretAssignment:
            return findSecretAssignment(scanner, from);
        case SecretPattern::httpCredential:
            return firstMatchFrom(scanner, from, kHTTPCredentialStarts, matchHTTPCredential);
        case SecretPattern::urlCredential:
            return findURLCredential(scanner, from);
        case SecretPattern::longToken:
            return findLongToken(scanner, from);
        }
        return std::nullopt;
    }

}

ScanAttempt attemptPrefixedKey(const TextScanner& scanner, std::size_t at)
{
    return attemptEach(scanner, at, matchPrefixedKey);
}

ScanAttempt attemptGitHubToken(const TextScanner& scanner, std::size_t at)
{
    return attemptEach(scanner, at, matchGitHubToken);
}

ScanAttempt attemptSlackToken(const TextScanner& scanner, std::size_t at)
{
    return attemptEach(scanner, at, matchSlackToken);
}

ScanAttempt attemptAWSAccessKeyID(const TextScanner& scanner, std::size_t at)
{
    return attemptEach(scanner, at, matchAWSAccessKeyID);
}

ScanAttempt attemptGoogleAPIKey(const TextScanner& scanner, std::size_t at)
{
    return attemptEach(scanner, at, matchGoogleAPIKey);
}

// No "eyJ" starts inside a failed header (see findJSONWebToken).
ScanAttempt attemptJSONWebToken(const Scanner& scanner, std::size_t at)
{
    if (!scanner.startsWith(at, "eyJ"))
        return { std::nullopt, at + 1 };
    auto header = scanner.skip(at + 3, isKeyCharacter);
    auto match = jsonWebTokenAfterHeader(scanner, at, header);
    auto next = match ? match->end : header.end;
    return { std::move(match), next };
}

ScanAttempt attemptLongToken(const Scanner& scanner, std::size_t at)
{
    auto run = tokenRunAt(scanner, at);
    return { longTokenOfRun(scanner, at, run), run.end };
}

bool longRunLooksLikeSecret(std::size_t size, bool allHexDigits, bool mixesLettersAndDigits)
{
    constexpr std::size_t kLongestKeptHexRun = 40;
    return allHexDigits ? size > kLongestKeptHexRun : mixesLettersAndDigits;
}

void SecretMatch::appendReplacement(std::string& result, std::string_view text) const
{
    result.append(text.substr(begin, kept));
    if (spaced)
        result += ' ';
    result += Redaction::mask;
    if (closedByAt)
        result += '@';
}

void maskSecretPattern(SecretPattern pattern, std::string& text)
{
    std::string_view original(text);
    TextScanner scanner(original);
    auto match = findNext(pattern, scanner, 0);
    if (!match)
        return;
    std::string result;
    result.reserve(original.size());
    std::size_t copied = 0;
    for (; match; match = findNext(pattern, scanner, copied)) {
        result.append(original.substr(copied, match->begin - copied));
        SecretMatch { pattern, match->begin, match->end, match->kept, match->spaced, match->closedByAt }
            .appendReplacement(result, original);
        copied = match->end;
    }
    result.append(original.substr(copied));
    text = std::move(result);
}

}
