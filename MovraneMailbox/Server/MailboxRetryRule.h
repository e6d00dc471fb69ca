// The one rule every store call of the mailbox server follows: transient failures are tried again
// after a short wait, everything else fails at once as a MailboxError.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxError.h"

#include <exception>
#include <optional>
#include <stop_token>
#include <type_traits>

namespace movrane::MailboxRetryRule {

inline constexpr double maxDelaySeconds = 30;

// Any failure as a MailboxError: a MailboxError unchanged, a cancellation as `cancelled`, a system
// error as `other` with its code, anything else as `other` with code 0. Never throws.
MailboxError mailboxErrorOf(const std::exception_ptr& error) noexcept;

// The service's wait for `busy` and `network`, when it gave a finite one (a negative one as given).
std::optional<double> retryAfter(const MailboxError& error) noexcept;

// The wait before the next try after `error` failed try number `attempt` (from 0) of `attempts`, or
// none when the call must fail now: only `busy`, `network` and an account that is temporarily
// unavailable or undetermined are tried again. The wait is the service's retry-after, else
// 2^attempt, at most 30 s.
std::optional<double> delayBeforeRetry(const MailboxError& error, int attempt, int attempts) noexcept;

// Runs `call` until it succeeds or the rule gives up, sleeping on `clock` between tries. Throws the
// mapped MailboxError of the last failure, or MailboxCancelledError when `stop` cut a wait short.
template <typename Call>
std::invoke_result_t<Call&> perform(
    const MailboxClock& clock, int attempts, const std::stop_token& stop, Call&& call)
{
    for (int attempt = 0;; ++attempt) {
        std::exception_ptr failure;
        try {
            return call();
        } catch (...) {
            failure = std::current_exception();
        }
        auto error = mailboxErrorOf(failure);
        auto delay = delayBeforeRetry(error, attempt, attempts);
        if (!delay)
            throw error;
        clock.sleep(*delay, stop);
    }
}

}
