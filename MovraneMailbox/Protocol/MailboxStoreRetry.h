// The one rule by which both ends of the mailbox repeat a failed store call: only a busy service, a lost
// network or an account that is briefly unavailable is tried again, at most `storeAttempts` calls in
// all, after the service's retry-after or an exponential pause, never longer than 30 seconds.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxError.h"

#include <exception>
#include <optional>
#include <stop_token>

namespace movrane::MailboxStoreRetry {

inline constexpr double maxDelaySeconds = 30;

// Any failure of a store call as a MailboxError: a MailboxError unchanged, a cancellation `cancelled`,
// anything else `other` with code 0.
MailboxError mapped(const std::exception_ptr& error) noexcept;

// The wait the service named with `busy` or `network`, when it is a finite number of seconds (a
// negative one as given); a NaN or endless wait says nothing usable and counts as none.
std::optional<double> retryAfter(const MailboxError& error) noexcept;

// The pause before the next call after `error`, when `failuresBefore` calls had already failed and
// at most `storeAttempts` calls may be made; none when the error must be thrown instead.
std::optional<double> delay(const MailboxError& error, int failuresBefore, int storeAttempts);

// Calls `call` until it succeeds or the rule gives up, sleeping on `clock` in between. Throws the
// last failure as a MailboxError, or what the sleep throws (MailboxCancelledError once `stop` is
// requested).
template <typename Call>
auto run(const MailboxClock& clock, int storeAttempts, std::stop_token stop, Call&& call) -> decltype(call())
{
    for (int failures = 0;; ++failures) {
        std::optional<double> pause;
        try {
            return call();
        } catch (...) {
            auto error = mapped(std::current_exception());
            pause = delay(error, failures, storeAttempts);
            if (!pause)
                throw error;
        }
        clock.sleep(*pause, stop);
    }
}

}
