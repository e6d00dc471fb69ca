// What both ends read of a job while a phone away from home follows it: the snapshot of the relay's job
// status object, the status request the Mac sends its own relay, and the recognition of a phone's
// long-poll for one job (MailboxRelayRequest::jobWatch).
#pragma once

#include "MovraneMailbox/Protocol/MailboxRelay.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace movrane {

struct MailboxJobSnapshot {
    static inline const std::set<std::string, std::less<>> terminalStatuses { "done", "failed", "canceled",
        "interrupted" };

    // From a job status response body: absent unless it is a JSON object with a string "jobId" and a
    // numeric "version". Never throws.
    static std::optional<MailboxJobSnapshot> fromJSON(std::string_view bytes);
    // GET /v1/jobs/<id>; with `since`, the query "wait=<wait or 0>&since=<since>".
    static MailboxRelayRequest requestPath(
        std::string_view jobId, std::optional<std::int64_t> since, std::optional<std::int64_t> wait);

    std::string jobId;
    std::int64_t version = 0;
    std::string status;
    bool finished = false;
    std::set<std::string> pendingApprovals;

    friend bool operator==(const MailboxJobSnapshot&, const MailboxJobSnapshot&) = default;
};

}
