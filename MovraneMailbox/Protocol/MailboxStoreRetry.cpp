#include "MovraneMailbox/Protocol/MailboxStoreRetry.h"

#include <algorithm>
#include <cmath>

namespace movrane::MailboxStoreRetry {

MailboxError mapped(const std::exception_ptr& error) noexcept
{
    try {
        std::rethrow_exception(error);
    } catch (const MailboxError& mailbox) {
        return mailbox;
    } catch (const MailboxCancelledError&) {
        return MailboxError(MailboxError::Kind::cancelled);
    } catch (...) {
        return MailboxError::other(0);
    }
}

std::optional<double> retryAfter(const MailboxError& error) noexcept
{
    auto given = error.retryAfter();
    if (!given || !std::isfinite(*given))
        return std::nullopt;
    return given;
}

std::optional<double> delay(const MailboxError& error, int failuresBefore, int storeAttempts)
{
    if (!error.isTransient() || failuresBefore + 1 >= storeAttempts)
        return std::nullopt;
    if (auto wait = retryAfter(error))
        return std::min(maxDelaySeconds, *wait);
    return std::min(maxDelaySeconds, std::ldexp(1.0, std::min(failuresBefore, 30)));
}

}
