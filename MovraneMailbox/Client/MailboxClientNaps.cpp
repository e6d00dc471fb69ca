// How the client's waiting callers pause between polls and are woken early when news may have come,
// how its listeners get events, and how consumed envelopes leave the store without holding anyone up.
#include "MovraneMailbox/Client/MailboxClient.h"

namespace movrane {

void MailboxClient::nap(double seconds, std::stop_token stop)
{
    if (stop.stop_requested())
        return;
    std::uint64_t sleeper;
    {
        std::lock_guard lock(m_lock);
        sleeper = ++m_lastSleeper;
        m_sleepers.insert(sleeper);
    }
    // The timer sleeps out its time even when the nap ended early; it then finds nothing to end.
    bool timed = m_tasks.start([this, sleeper, seconds](std::stop_token timerStop) {
        try {
            m_clock->sleep(seconds, timerStop);
        } catch (...) {
            // A sleep cut short ends the nap all the same.
        }
        endNap(sleeper);
    });
    if (!timed)
        endNap(sleeper);
    // Registered outside the lock: it runs at once, here, when `stop` is requested meanwhile.
    std::stop_callback cancelled(stop, [this, sleeper] { endNap(sleeper); });
    std::unique_lock lock(m_lock);
    m_napEnded.wait(lock, [&] { return !m_sleepers.contains(sleeper); });
}

void MailboxClient::endNap(std::uint64_t sleeper)
{
    std::lock_guard lock(m_lock);
    if (m_sleepers.erase(sleeper) > 0)
        m_napEnded.notify_all();
}

void MailboxClient::wake()
{
    std::lock_guard lock(m_lock);
    if (m_sleepers.empty())
        return;
    m_sleepers.clear();
    m_napEnded.notify_all();
}

MailboxClientEventStream MailboxClient::events()
{
    auto queue = std::make_shared<MailboxClientEventQueue>();
    std::lock_guard lock(m_lock);
    std::erase_if(m_streams, [](const auto& stream) { return stream->isClosed(); });
    m_streams.push_back(queue);
    return MailboxClientEventStream(std::move(queue));
}

void MailboxClient::emit(const MailboxClientEvent& event)
{
    std::vector<std::shared_ptr<MailboxClientEventQueue>> open;
    {
        std::lock_guard lock(m_lock);
        std::erase_if(m_streams, [](const auto& stream) { return stream->isClosed(); });
        open = m_streams;
    }
    for (const auto& stream : open)
        stream->push(event);
}

void MailboxClient::deleteInBackground(const std::string& recordName)
{
    // Touches nothing of the client, only the store it shares.
    m_tasks.start([store = m_store, names = std::vector { recordName }, zone = pairing().zoneName](
                      std::stop_token) { store->deleteEnvelopes(names, zone); });
}

}
