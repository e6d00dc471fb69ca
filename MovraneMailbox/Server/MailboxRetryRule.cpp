#include "MovraneMailbox/Server/MailboxRetryRule.h"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace movrane::MailboxRetryRule {

MailboxError mailboxErrorOf(const std::exception_ptr& error) noexcept
{
    try {
        std::rethrow_exception(error);
    } catch (const MailboxError& mailbox) {
        return mailbox;
    } catch (const MailboxCancelledError&) {
        return MailboxError(MailboxError::Kind::cancelled);
    } catch (const std::system_error& system) {
        return MailboxError::other(system.code().value());
    } catch (...) {
        return MailboxError::other(0);
    }
}

std::optional<double> retryAfter(const MailboxError& error) noexcept
{
    // A wait that is not a number, or endless, says nothing usable.
    auto given = error.retryAfter();
    if (!given || !std::isfinite(*given))
        return std::nullopt;
    return given;
}

std::optional<double> delayBeforeRetry(const MailboxError& error, int attempt, int attempts) noexcept
{
    if (!error.isTransient() || attempts < 2 || attempt + 1 >= attempts)
        return std::nullopt;
    auto delay = retryAfter(error).value_or(std::ldexp(1.0, attempt));
    return std::min(delay, maxDelaySeconds);
}

}
