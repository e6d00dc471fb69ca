#include "VellumarMacCore/Reply/ConversationLocks.h"

#include <utility>

namespace vellumar {

ConversationLocks::Hold::Hold(ConversationLocks& locks, std::string conversationID)
    : m_locks(locks)
    , m_conversationID(std::move(conversationID))
{
    m_locks.acquire(m_conversationID);
}

ConversationLocks::Hold::~Hold() { m_locks.release(m_conversationID); }

std::set<std::string> ConversationLocks::held() const
{
    std::lock_guard guard(m_lock);
    return { m_held.begin(), m_held.end() };
}

std::map<std::string, std::size_t> ConversationLocks::waiting() const
{
    std::lock_guard guard(m_lock);
    std::map<std::string, std::size_t> counts;
    for (const auto& [conversationID, waiters] : m_waiting)
        counts.emplace(conversationID, waiters.size());
    return counts;
}

void ConversationLocks::acquire(std::string_view conversationID)
{
    std::unique_lock guard(m_lock);
    if (m_held.insert(std::string(conversationID)).second)
        return;
    // The test above and this append happen under one lock, so no release can slip in between.
    auto waiter = std::make_shared<Waiter>();
    auto queue = m_waiting.find(conversationID);
    if (queue == m_waiting.end())
        queue = m_waiting.emplace(std::string(conversationID), std::deque<std::shared_ptr<Waiter>> {}).first;
    queue->second.push_back(waiter);
    waiter->wakeUp.wait(guard, [&] { return waiter->granted; });
}

void ConversationLocks::release(std::string_view conversationID)
{
    std::lock_guard guard(m_lock);
    auto queue = m_waiting.find(conversationID);
    if (queue == m_waiting.end()) {
        if (auto held = m_held.find(conversationID); held != m_held.end())
            m_held.erase(held);
        return;
    }
    // The id stays held through the hand-over, so a newcomer cannot overtake the next waiter.
    std::shared_ptr<Waiter> next = std::move(queue->second.front());
    queue->second.pop_front();
    if (queue->second.empty())
        m_waiting.erase(queue);
    next->granted = true;
    next->wakeUp.notify_one();
}

}
