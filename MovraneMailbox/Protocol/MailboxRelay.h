// The HTTP-like traffic inside envelopes: a phone's API request and the Mac's answer, each kept within
// the protocol's limits (methods, path and query sizes, visible ASCII) and with only allow-listed
// headers, so nothing smuggles line breaks or credentials through the mailbox.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"

#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movrane {

using MailboxHeaderMap = std::map<std::string, std::string>;

namespace MailboxHeaders {
    inline const std::set<std::string, std::less<>> requestAllowList { "content-type", "accept",
        "x-file-name" };
    inline const std::set<std::string, std::less<>> responseAllowList { "content-type", "retry-after",
        "content-disposition", "x-content-type-options" };
    inline constexpr std::size_t maxValueBytes = 1024;

    // Lower-cased allowed names; values over 1,024 bytes or holding CR or LF are dropped. Nothing is
    // refused: unwanted headers disappear. Of two names that lower-case alike, the later one stays.
    MailboxHeaderMap filter(const std::vector<std::pair<std::string, std::string>>& headers,
        const std::set<std::string, std::less<>>& allowList);
    bool containsLineBreak(std::string_view value);
    // "content-type" → "Content-Type": each "-"-separated piece gets an upper-case first letter.
    std::string canonicalName(std::string_view lowerCaseName);
}

class MailboxRequestError : public std::exception {
public:
    const char* what() const noexcept override { return "invalidRequest"; }
};

// A URL request as the phone's URL loading hands it over.
struct MailboxURLRequest {
    // Absolute ("https://host/v1/jobs?x=1") or a bare target; empty for a request without a URL.
    std::string url;
    std::optional<std::string> method;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<MailboxBytes> body;
    // How long the caller waits for the answer, in seconds.
    double timeoutInterval = 60;
};

struct MailboxRelayRequest {
    static inline const std::set<std::string, std::less<>> allowedMethods { "GET", "POST", "PUT", "DELETE" };
    static constexpr std::size_t maxPathBytes = 2048;
    static constexpr std::size_t maxQueryBytes = 4096;

    // Never fails: upper-cases the method, makes an empty query absent and filters the headers.
    // It does not validate; see `isValid`.
    static MailboxRelayRequest make(std::string method, std::string path, std::optional<std::string> query,
        const std::vector<std::pair<std::string, std::string>>& headers, MailboxBytes body);
    // Throws MailboxRequestError for a request without a usable URL or one that is not valid.
    static MailboxRelayRequest fromURLRequest(const MailboxURLRequest& request);

    // `path`, or `path` "?" `query`.
    std::string target() const;
    // An allowed method, a path beginning with "/" of at most 2,048 bytes, a query of at most 4,096,
    // and a target of visible ASCII only.
    bool isValid() const;
    // (job id, since, wait clamped to 0 ... 25) when this is a GET long-poll of one job's status with a
    // decimal "since"; absent otherwise.
    struct JobWatch {
        std::string jobId;
        std::int64_t since;
        std::int64_t wait;
        friend bool operator==(const JobWatch&, const JobWatch&) = default;
    };
    std::optional<JobWatch> jobWatch() const;

    std::string method;
    std::string path;
    std::optional<std::string> query;
    MailboxHeaderMap headers;
    MailboxBytes body;

    friend bool operator==(const MailboxRelayRequest&, const MailboxRelayRequest&) = default;
};

struct MailboxHTTPURLResponse {
    std::string url;
    int status = 0;
    std::string httpVersion;
    MailboxHeaderMap headerFields;
};

struct MailboxRelayResponse {
    // Filters the headers with the response allow-list; no other check.
    static MailboxRelayResponse make(int status,
        const std::vector<std::pair<std::string, std::string>>& headers, MailboxBytes body,
        std::optional<std::filesystem::path> bodyFile = std::nullopt);
    // {"error": code, "message": message} as JSON, with its content type and, when given, Retry-After.
    static MailboxRelayResponse error(
        int status, std::string_view code, std::string_view message, std::optional<std::int64_t> retryAfter);

    // The phone's HTTP response: canonical header names and "Content-Length" set to `contentLength`.
    MailboxHTTPURLResponse httpURLResponse(std::string_view url, std::int64_t contentLength) const;

    int status = 0;
    MailboxHeaderMap headers;
    MailboxBytes body;
    // A body held in a file instead of memory; never carried in the metadata.
    std::optional<std::filesystem::path> bodyFile;

    friend bool operator==(const MailboxRelayResponse&, const MailboxRelayResponse&) = default;
};

}
