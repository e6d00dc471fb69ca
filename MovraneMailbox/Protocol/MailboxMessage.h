// One mailbox message and what it can say: a request, a response, a job watch, a job state, an event
// or the Mac's presence. The envelope carries the message's body; the metadata carries the rest.
#pragma once

#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxRelay.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace movrane {

// Instants are kept as milliseconds since 1970 UTC: the envelope and the metadata carry whole
// milliseconds, so a message compares equal to itself after sealing and opening.
using MailboxInstant = std::chrono::sys_time<std::chrono::milliseconds>;

struct MailboxWatch {
    std::string jobId;
    // The job version the phone last saw.
    std::optional<std::int64_t> since;
    // A background watch lives longer on the Mac.
    bool background = false;
    friend bool operator==(const MailboxWatch&, const MailboxWatch&) = default;
};

struct MailboxJobState {
    std::string jobId;
    std::int64_t version = 0;
    bool finished = false;
    friend bool operator==(const MailboxJobState&, const MailboxJobState&) = default;
};

struct MailboxEvent {
    static constexpr std::string_view routineResultName = "routineResult";
    std::string name;
    MailboxBytes body;
    friend bool operator==(const MailboxEvent&, const MailboxEvent&) = default;
};

struct MailboxPresence {
    std::int64_t mailboxVersion = 0;
    std::int64_t apiVersion = 0;
    std::optional<std::string> appVersion;
    std::optional<std::string> macName;
    friend bool operator==(const MailboxPresence&, const MailboxPresence&) = default;
};

struct MailboxResponseContent {
    // The id of the request message this answers.
    std::string replyTo;
    MailboxRelayResponse response;
    friend bool operator==(const MailboxResponseContent&, const MailboxResponseContent&) = default;
};

struct MailboxJobStateContent {
    MailboxJobState state;
    // The job's status object.
    MailboxBytes body;
    friend bool operator==(const MailboxJobStateContent&, const MailboxJobStateContent&) = default;
};

// The six cases in their fixed order.
using MailboxContent = std::variant<MailboxRelayRequest, MailboxResponseContent, MailboxWatch,
    MailboxJobStateContent, MailboxEvent, MailboxPresence>;

// The body a content carries: a request's, a response's, a job state's or an event's; none for a watch
// or a presence.
const MailboxBytes& bodyOf(const MailboxContent& content);
// The case's name as the metadata states it: "request", "response", "watch", "jobState", "event" or
// "presence".
std::string_view kindOf(const MailboxContent& content);
// The content with its body replaced; a watch or a presence, which carry none, come back unchanged.
// A response keeps its reply-to id, status, headers and body file.
MailboxContent replacingBody(const MailboxContent& content, MailboxBytes body);

struct MailboxMessage {
    // Memberwise; both instants are cut down to whole milliseconds.
    template <typename Duration>
    static MailboxMessage make(std::string id, std::string from, std::string to, std::uint64_t seq,
        std::chrono::sys_time<Duration> createdAt, std::chrono::sys_time<Duration> expiresAt,
        MailboxContent content, std::optional<MailboxAttachmentKey> attachment = std::nullopt)
    {
        using std::chrono::floor;
        using std::chrono::milliseconds;
        return { std::move(id), std::move(from), std::move(to), seq, floor<milliseconds>(createdAt),
            floor<milliseconds>(expiresAt), std::move(content), std::move(attachment) };
    }

    std::string id;
    std::string from;
    std::string to;
    std::uint64_t seq = 0;
    MailboxInstant createdAt;
    MailboxInstant expiresAt;
    MailboxContent content;
    std::optional<MailboxAttachmentKey> attachment;

    friend bool operator==(const MailboxMessage&, const MailboxMessage&) = default;
};

}
