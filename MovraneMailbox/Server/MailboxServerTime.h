// Seconds and instants as the mailbox server reckons them: "never" is the distant past, and no
// duration from outside (a store's retry-after, a setting) can overflow the clock's count.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

namespace movrane::MailboxServerTime {

// Seconds from `earlier` to `now`; endless when `earlier` is none (never happened).
inline double secondsSince(MailboxTime now, std::optional<MailboxTime> earlier)
{
    if (!earlier)
        return std::numeric_limits<double>::infinity();
    return std::chrono::duration<double>(now - *earlier).count();
}

// `time` moved by `seconds`, which are held within ten years either way; a NaN moves nothing.
inline MailboxTime adding(MailboxTime time, double seconds)
{
    constexpr double kLimit = 10 * 365.0 * 86'400;
    if (seconds != seconds)
        return time;
    auto bounded = std::chrono::duration<double>(std::clamp(seconds, -kLimit, kLimit));
    return time + std::chrono::duration_cast<MailboxTime::duration>(bounded);
}

}
