// A failure meant to reach the phone: an HTTP status, a machine-readable code and a sentence.
// Handlers throw it; the router renders it with HTTPResponse(error).
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <exception>
#include <optional>
#include <string>

namespace vellumar {

class RelayHTTPError : public std::exception {
public:
    RelayHTTPError(
        int status, std::string code, std::string message, std::optional<int> retryAfter = std::nullopt);

    // 400 "bad_request" with the given sentence.
    static RelayHTTPError badRequest(std::string message);
    // 500 "internal" "Something went wrong on the Mac.", for a failure the phone can do nothing about.
    static RelayHTTPError internal();
    // Canned errors, defined below the class.
    static const RelayHTTPError unauthorized;
    static const RelayHTTPError lanOnly;
    static const RelayHTTPError notFound;
    static const RelayHTTPError methodNotAllowed;

    int status() const noexcept { return m_status; }
    const std::string& code() const noexcept { return m_code; }
    const std::string& message() const noexcept { return m_message; }
    // Seconds after which the phone may retry.
    std::optional<int> retryAfter() const noexcept { return m_retryAfter; }

    void setCode(std::string code) { m_code = std::move(code); }
    void setRetryAfter(std::optional<int> seconds) noexcept { m_retryAfter = seconds; }

    // {"code", "status", "message"}; the retry hint is deliberately left out, since this form is
    // stored in a failed job's record long after any retry would matter.
    JSON json() const;

    // The sentence for the user.
    const char* what() const noexcept override { return m_message.c_str(); }

    // All four fields; an absent retry hint equals only an absent one.
    friend bool operator==(const RelayHTTPError&, const RelayHTTPError&) noexcept;

private:
    int m_status;
    std::string m_code;
    std::string m_message;
    std::optional<int> m_retryAfter;
};

inline const RelayHTTPError RelayHTTPError::unauthorized { 401, "unauthorized", "The token is not valid." };
inline const RelayHTTPError RelayHTTPError::lanOnly { 403, "lan_only",
    "This works only on the same Wi-Fi as the Mac." };
inline const RelayHTTPError RelayHTTPError::notFound { 404, "not_found", "Not found." };
inline const RelayHTTPError RelayHTTPError::methodNotAllowed { 405, "method_not_allowed",
    "This method is not allowed here." };

}
