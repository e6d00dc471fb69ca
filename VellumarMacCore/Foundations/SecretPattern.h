// The kinds of secret that Redaction::redact masks, one scan each. Every scan finds exactly the matches
// of the ICU expression quoted beside its case, but in time linear in the text: ICU's backtracking takes
// quadratic or cubic time on some of these expressions, and the texts come from outside unbounded.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::detail {

enum class SecretPattern {
    // -----BEGIN [A-Z0-9 ]*PRIVATE KEY-----.*?(?:-----END [A-Z0-9 ]*PRIVATE KEY-----|\z)   (dot matches all)
    privateKeyBlock,
    // \b(?:sk|pk|rk)-[A-Za-z0-9_-]{16,}
    prefixedKey,
    // \b(?:ghp|gho|ghu|ghs|ghr)_[A-Za-z0-9]{20,}|\bgithub_pat_[A-Za-z0-9_]{20,}
    gitHubToken,
    // \bxox[abprs]-[A-Za-z0-9-]{10,}
    slackToken,
    // \b(?:AKIA|ASIA)[0-9A-Z]{16}\b
    awsAccessKeyID,
    // \bAIza[0-9A-Za-z_-]{30,}
    googleAPIKey,
    // \beyJ[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}
    jsonWebToken,
    // ((?:[A-Za-z0-9_.-]*(?:pass(?:word|wd)?|secret|token|api[_-]?key|apikey|credential|private[_-]?key)
    //   [A-Za-z0-9_.-]*)["']?\s*[:=]\s*)(?:"[^"]*"|'[^']*'|[^\s"'&;|]+)   (case-insensitive)
    secretAssignment,
    // \b(bearer|basic)\s+[A-Za-z0-9._~+/=-]{8,}   (case-insensitive)
    httpCredential,
    // \b([a-z][a-z0-9+.-]*://)[^/\s:@]+:[^/\s@]+@   (case-insensitive)
    urlCredential,
    // (?<![A-Za-z0-9_+=-])[A-Za-z0-9_+=-]{32,}(?![A-Za-z0-9_+=-])
    longToken,
};

// In the order in which redact applies them, each to the result of the one before.
inline constexpr std::array secretPatternsInOrder {
    SecretPattern::privateKeyBlock,
    SecretPattern::prefixedKey,
    SecretPattern::gitHubToken,
    SecretPattern::slackToken,
    SecretPattern::awsAccessKeyID,
    SecretPattern::googleAPIKey,
    SecretPattern::jsonWebToken,
    SecretPattern::secretAssignment,
    SecretPattern::httpCredential,
    SecretPattern::urlCredential,
    SecretPattern::longToken,
};

// Every match of `pattern` in `text`, leftmost first and not overlapping, replaced: by the mask; for
// secretAssignment by the key and separator, then the mask; for httpCredential by the word, one space and
// the mask; for urlCredential by the scheme with "://", the mask and "@"; for longToken by the mask when the
// run looks like a secret (more than 40 hexadecimal digits, or letters mixed with digits) and by itself
// otherwise. Where there is no match, as in most passes, `text` is left untouched rather than copied.
// Never fails; safe from any thread.
void maskSecretPattern(SecretPattern pattern, std::string& text);

// What maskSecretPattern replaces, and with what: the first `kept` bytes of the match, one space when
// `spaced`, the mask, then "@" when `closedByAt`.
struct SecretMatch {
    SecretPattern pattern;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t kept = 0;
    bool spaced = false;
    bool closedByAt = false;

    void appendReplacement(std::string& result, std::string_view text) const;
};

// Takes the matches that findSecretMatchesInASCII finds, in the order of their starts; false stops the scan.
class SecretMatchSink {
public:
    virtual bool add(const SecretMatch& match) = 0;

protected:
    ~SecretMatchSink() = default;
};

// The matches in `text` of every pattern but privateKeyBlock, each pattern's as maskSecretPattern finds them
// in `text` itself; long runs that stay as they are are none. Found in one pass that tries in each word only
// the patterns whose matches could start there. False, after any number of matches, when `text` holds a
// byte from 0x80 on or a private key header, or when the sink stops the scan. In linear time; safe from any
// thread.
bool findSecretMatchesInASCII(std::string_view text, SecretMatchSink& sink);

}
