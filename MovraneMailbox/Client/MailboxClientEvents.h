// What a phone-side mailbox client hands its listeners: the events the Mac sends unasked and the Mac's
// presence with the time it was made, each listener reading its own bounded stream.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxMessage.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <variant>

namespace movrane {

struct MailboxSeenPresence {
    MailboxPresence presence;
    MailboxTime seenAt;
    friend bool operator==(const MailboxSeenPresence&, const MailboxSeenPresence&) = default;
};

using MailboxClientEvent = std::variant<MailboxEvent, MailboxSeenPresence>;

// The undelivered events of one listener: at most the newest `limit`, the oldest dropped when the
// listener falls behind. Safe from any thread; pushing never waits for the reader.
class MailboxClientEventQueue {
public:
    static constexpr std::size_t limit = 64;

    void push(const MailboxClientEvent& event);
    // The oldest undelivered event; waits for one until `stop` is requested or the stream ended (then
    // none, once the events left are read).
    std::optional<MailboxClientEvent> next(std::stop_token stop);
    // The listener is gone: what is waiting is dropped, so are later pushes, and the client forgets
    // the queue.
    void close();
    bool isClosed() const;
    // The client is gone: no event will follow those waiting.
    void finish();

private:
    mutable std::mutex m_lock;
    std::condition_variable_any m_arrived;
    std::deque<MailboxClientEvent> m_events;
    bool m_closed = false;
    bool m_finished = false;
};

// A listener's end of one event stream. The stream ends when this is destroyed; events emitted before
// it was opened are never replayed to it.
class MailboxClientEventStream {
public:
    explicit MailboxClientEventStream(std::shared_ptr<MailboxClientEventQueue> queue);
    ~MailboxClientEventStream();
    MailboxClientEventStream(MailboxClientEventStream&&) noexcept = default;
    // Ends the stream this one held before.
    MailboxClientEventStream& operator=(MailboxClientEventStream&& other) noexcept;

    // See MailboxClientEventQueue.
    std::optional<MailboxClientEvent> next(std::stop_token stop) { return m_queue->next(std::move(stop)); }

private:
    std::shared_ptr<MailboxClientEventQueue> m_queue;
};

}
