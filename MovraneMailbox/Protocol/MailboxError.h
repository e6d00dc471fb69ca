// The mailbox's failures as the ends see them: the store's one error type, the client's time-out, the
// cancellation that ends a wait, and the URL errors the phone-side calls hand on; with the one short
// text a log line gives any of them.
#pragma once

#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include <exception>
#include <optional>
#include <string>

namespace movrane {

class MailboxError : public std::exception {
public:
    enum class Kind {
        account,
        busy,
        network,
        misconfigured,
        other,
        quotaExceeded,
        zoneMissing,
        encryptedDataReset,
        changeTokenExpired,
        notFound,
        alreadyExists,
        tooLarge,
        cancelled,
    };

    static MailboxError account(MailboxAccountState state);
    static MailboxError busy(std::optional<double> retryAfter);
    static MailboxError network(std::optional<double> retryAfter);
    static MailboxError misconfigured(long code);
    static MailboxError other(long code);
    // The cases without a payload.
    explicit MailboxError(Kind kind);

    Kind kind() const noexcept { return m_kind; }
    // The wait of `busy` and `network` when the service gave one; none for every other case.
    std::optional<double> retryAfter() const noexcept;
    // `busy`, `network`, and an account that is temporarily unavailable or could not be determined.
    bool isTransient() const noexcept;
    MailboxAccountState accountState() const noexcept { return m_account; }
    long code() const noexcept { return m_code; }
    // The log text: "busy(retryAfter: Optional(3.0))", "account(MovraneMailbox.MailboxAccountState.noAccount)".
    const char* what() const noexcept override { return m_text.c_str(); }

    friend bool operator==(const MailboxError& lhs, const MailboxError& rhs) noexcept
    {
        return lhs.m_kind == rhs.m_kind && lhs.m_account == rhs.m_account && lhs.m_retryAfter == rhs.m_retryAfter
            && lhs.m_code == rhs.m_code;
    }

private:
    MailboxError(Kind kind, MailboxAccountState account, std::optional<double> retryAfter, long code);

    Kind m_kind;
    MailboxAccountState m_account = MailboxAccountState::available;
    std::optional<double> m_retryAfter;
    long m_code = 0;
    std::string m_text;
};

// An answer that did not come in time.
class MailboxClientError : public std::exception {
public:
    const char* what() const noexcept override { return "timedOut"; }
};

// The error a cancelled wait or operation ends with.
class MailboxCancelledError : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// The URL-loading error the phone-side calls throw: a code and the error it stands for.
class URLError : public std::exception {
public:
    enum class Code { timedOut, badURL, notConnectedToInternet, cannotConnectToHost, badServerResponse };

    URLError(Code code, std::exception_ptr underlying)
        : m_code(code)
        , m_underlying(std::move(underlying))
    {
    }
    Code code() const noexcept { return m_code; }
    const std::exception_ptr& underlying() const noexcept { return m_underlying; }
    const char* what() const noexcept override;

private:
    Code m_code;
    std::exception_ptr m_underlying;
};

// The text after a mailbox log line's prefix: the case of a mailbox, crypto, client or attachment
// error with its payload, "cancelled" for a cancellation, "error" for anything else. Nothing of a
// platform message or an envelope's contents.
std::string mailboxErrorLogText(const std::exception_ptr& error);

// The error a URL-style call throws for `error`: cancellations (and the store's `cancelled`, made a fresh
// cancellation), URL and attachment errors pass unchanged; a time-out, an invalid request and a network
// failure become their URL codes; anything else is cannotConnectToHost. Each URLError made carries
// `error` as its underlying error.
std::exception_ptr urlError(const std::exception_ptr& error);

}
