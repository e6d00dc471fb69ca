#include "MovraneMailbox/Client/MailboxClientEvents.h"

namespace movrane {

void MailboxClientEventQueue::push(const MailboxClientEvent& event)
{
    {
        std::lock_guard lock(m_lock);
        if (m_closed)
            return;
        if (m_events.size() == limit)
            m_events.pop_front();
        m_events.push_back(event);
    }
    m_arrived.notify_all();
}

std::optional<MailboxClientEvent> MailboxClientEventQueue::next(std::stop_token stop)
{
    std::unique_lock lock(m_lock);
    if (!m_arrived.wait(lock, stop, [&] { return !m_events.empty() || m_finished; }) || m_events.empty())
        return std::nullopt;
    auto event = std::move(m_events.front());
    m_events.pop_front();
    return event;
}

void MailboxClientEventQueue::close()
{
    std::lock_guard lock(m_lock);
    m_closed = true;
    m_events.clear();
}

void MailboxClientEventQueue::finish()
{
    {
        std::lock_guard lock(m_lock);
        m_finished = true;
    }
    m_arrived.notify_all();
}

bool MailboxClientEventQueue::isClosed() const
{
    std::lock_guard lock(m_lock);
    return m_closed;
}

MailboxClientEventStream::MailboxClientEventStream(std::shared_ptr<MailboxClientEventQueue> queue)
    : m_queue(std::move(queue))
{
}

MailboxClientEventStream& MailboxClientEventStream::operator=(MailboxClientEventStream&& other) noexcept
{
    if (this != &other) {
        if (m_queue)
            m_queue->close();
        m_queue = std::move(other.m_queue);
    }
    return *this;
}

MailboxClientEventStream::~MailboxClientEventStream()
{
    // A moved-from stream has no queue to end.
    if (m_queue)
        m_queue->close();
}

}
