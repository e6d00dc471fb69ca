// One try of a secret pattern at one place of a text: shared by the scans that mask pattern by pattern and
// the one pass over ASCII text that finds every pattern's matches at once.
#pragma once

#include "VellumarMacCore/Foundations/TextScanner.h"

#include <cstddef>
#include <optional>

namespace vellumar::detail {

// A match without its pattern, replaced as SecretMatch describes.
struct ScanMatch {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t kept = 0;
    bool spaced = false;
    bool closedByAt = false;
};

// The match that starts at a place, if any, and the first place worth the next try of the same pattern.
struct ScanAttempt {
    std::optional<ScanMatch> match;
    std::size_t next = 0;
};

ScanAttempt attemptPrefixedKey(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptGitHubToken(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptSlackToken(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptAWSAccessKeyID(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptGoogleAPIKey(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptJSONWebToken(const TextScanner& scanner, std::size_t at);
ScanAttempt attemptLongToken(const TextScanner& scanner, std::size_t at);

// The fewest token characters of a long run.
inline constexpr std::size_t kShortestLongRun = 32;

// Whether a long run of `size` token characters is masked: a run of hexadecimal digits only beyond 40 of
// them (a 40-digit commit id stays); any other run when it mixes letters and digits (a long name of letters,
// "_" and "-" stays).
bool longRunLooksLikeSecret(std::size_t size, bool allHexDigits, bool mixesLettersAndDigits);

}
