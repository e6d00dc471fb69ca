// Serialises everything that touches one conversation's Claude Code session and work folder: runs,
// compactions and clearings of one conversation take turns in arrival order, while other
// conversations go on in parallel.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace vellumar {

// A mutex per conversation id with first-come, first-served hand-over. Any thread may call; the
// internal lock is held only for bookkeeping, never while a caller works under a conversation's lock.
class ConversationLocks final {
public:
    // Holds one id's lock from construction to destruction, so every path out of a scope releases.
    class Hold {
    public:
        Hold(ConversationLocks& locks, std::string conversationID);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        ConversationLocks& m_locks;
        const std::string m_conversationID;
    };

    ConversationLocks() = default;
    ConversationLocks(const ConversationLocks&) = delete;
    ConversationLocks& operator=(const ConversationLocks&) = delete;

    // The ids whose lock is taken.
    std::set<std::string> held() const;
    // For each id with waiters, how many wait behind its holder.
    std::map<std::string, std::size_t> waiting() const;

    // Blocks until the caller holds the id's lock. Waiting cannot be cancelled: a caller whose work
    // was stopped meanwhile still gets the lock in its turn and must release it like any holder.
    void acquire(std::string_view conversationID);
    // Hands the lock to the longest waiter, or frees the id when nobody waits. A release of a free
    // id does nothing; each acquire must be paired with exactly one release by its holder.
    void release(std::string_view conversationID);

private:
    struct Waiter {
        std::condition_variable wakeUp;
        bool granted { false };
    };

    mutable std::mutex m_lock;
    std::set<std::string, std::less<>> m_held;
    std::map<std::string, std::deque<std::shared_ptr<Waiter>>, std::less<>> m_waiting;
};

}
