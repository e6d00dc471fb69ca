#include "MovraneMailbox/Protocol/MailboxError.h"

#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxRelay.h"

#include <charconv>

namespace movrane {

namespace {

    constexpr const char* kCaseNames[] = { "account", "busy", "network", "misconfigured", "other", "quotaExceeded",
        "zoneMissing", "encryptedDataReset", "changeTokenExpired", "notFound", "alreadyExists", "tooLarge",
        "cancelled" };

    // A double in its shortest form with at least one digit after the point: 3 → "3.0".
    std::string shortestDecimal(double value)
    {
        char buffer[64];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
        std::string text(buffer, error == std::errc() ? end : buffer);
        if (text.find_first_of(".eEn") == std::string::npos)
            text += ".0";
        return text;
    }

    std::string textOf(MailboxError::Kind kind, MailboxAccountState account, std::optional<double> retryAfter, long code)
    {
        std::string name = kCaseNames[static_cast<int>(kind)];
        switch (kind) {
        case MailboxError::Kind::account:
            return name + "(MovraneMailbox.MailboxAccountState." + std::string(rawValue(account)) + ")";
        case MailboxError::Kind::busy:
        case MailboxError::Kind::network:
            return name + "(retryAfter: " + (retryAfter ? "Optional(" + shortestDecimal(*retryAfter) + ")" : "nil") + ")";
        case MailboxError::Kind::misconfigured:
        case MailboxError::Kind::other:
            return name + "(code: " + std::to_string(code) + ")";
        default:
            return name;
        }
    }

}

MailboxError::MailboxError(Kind kind, MailboxAccountState account, std::optional<double> retryAfter, long code)
    : m_kind(kind)
    , m_account(account)
    , m_retryAfter(retryAfter)
    , m_code(code)
    , m_text(textOf(kind, account, retryAfter, code))
{
}

MailboxError::MailboxError(Kind kind)
    : MailboxError(kind, MailboxAccountState::available, std::nullopt, 0)
{
}

MailboxError MailboxError::account(MailboxAccountState state) { return { Kind::account, state, std::nullopt, 0 }; }
MailboxError MailboxError::busy(std::optional<double> retryAfter) { return { Kind::busy, {}, retryAfter, 0 }; }
MailboxError MailboxError::network(std::optional<double> retryAfter) { return { Kind::network, {}, retryAfter, 0 }; }
MailboxError MailboxError::misconfigured(long code) { return { Kind::misconfigured, {}, std::nullopt, code }; }
MailboxError MailboxError::other(long code) { return { Kind::other, {}, std::nullopt, code }; }

std::optional<double> MailboxError::retryAfter() const noexcept
{
    return m_kind == Kind::busy || m_kind == Kind::network ? m_retryAfter : std::nullopt;
}

bool MailboxError::isTransient() const noexcept
{
    return m_kind == Kind::busy || m_kind == Kind::network
        || (m_kind == Kind::account
            && (m_account == MailboxAccountState::temporarilyUnavailable
                || m_account == MailboxAccountState::couldNotDetermine));
}

const char* URLError::what() const noexcept
{
    switch (m_code) {
    case Code::timedOut:
        return "timedOut";
    case Code::badURL:
        return "badURL";
    case Code::notConnectedToInternet:
        return "notConnectedToInternet";
    case Code::cannotConnectToHost:
        return "cannotConnectToHost";
    case Code::badServerResponse:
        return "badServerResponse";
    }
    return "unknown";
}

std::string mailboxErrorLogText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MailboxError& known) {
        return known.what();
    } catch (const MailboxCryptoError& known) {
        return known.what();
    } catch (const MailboxClientError& known) {
        return known.what();
    } catch (const MailboxAttachmentError& known) {
        return known.what();
    } catch (const MailboxCancelledError&) {
        return "cancelled";
    } catch (...) {
        return "error";
    }
}

std::exception_ptr urlError(const std::exception_ptr& error)
{
    auto wrapped = [&](URLError::Code code) { return std::make_exception_ptr(URLError(code, error)); };
    try {
        std::rethrow_exception(error);
    } catch (const MailboxCancelledError&) {
        return error;
    } catch (const URLError&) {
        return error;
    } catch (const MailboxAttachmentError&) {
        return error;
    } catch (const MailboxClientError&) {
        return wrapped(URLError::Code::timedOut);
    } catch (const MailboxRequestError&) {
        return wrapped(URLError::Code::badURL);
    } catch (const MailboxError& mailbox) {
        if (mailbox.kind() == MailboxError::Kind::network)
            return wrapped(URLError::Code::notConnectedToInternet);
        if (mailbox.kind() == MailboxError::Kind::cancelled)
            return std::make_exception_ptr(MailboxCancelledError());
        return wrapped(URLError::Code::cannotConnectToHost);
    } catch (...) {
        return wrapped(URLError::Code::cannotConnectToHost);
    }
}

}
