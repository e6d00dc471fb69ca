// Each conversation's Claude Code session and the history that lets a new session take over from
// an old one, kept in "sessions.json" in the data folder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// One lock guards the data and the file; every operation holds it from its first read to the end
// of its write, so the file always holds a state that an operation left. Any thread may call.
// Reading operations that take a bot id treat another bot's entry as no entry.
class SessionStore final {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using Entry = JSON::Object;
    using State = std::map<std::string, std::string, std::less<>>;

    struct SummaryAndRecent {
        std::optional<std::string> summary;
        std::vector<JSON> recent; // oldest first, as stored

        friend bool operator==(const SummaryAndRecent&, const SummaryAndRecent&) = default;
    };

    struct PostedResult {
        std::string routine;
        std::string reply;

        friend bool operator==(const PostedResult&, const PostedResult&) = default;
    };

    struct Turn {
        std::chrono::system_clock::time_point at;
        std::string user;
        std::string reply;

        friend bool operator==(const Turn&, const Turn&) = default;
    };

    // What `recordReply` stores besides the session id; each absent value is dropped from the entry.
    struct ReplyDetails {
        std::optional<State> state {};
        std::optional<bool> actions {};
        std::optional<std::int64_t> contextTokens {};
        // The summary a new session was started from; it replaces the recent turns.
        std::optional<std::string> summary {};
    };

    static constexpr std::size_t maxRecent = 4;
    static constexpr std::int64_t maxTurnCharacters = 1500;
    static constexpr std::size_t maxPosted = 3;
    static constexpr std::int64_t maxPostedCharacters = 2000;
    static constexpr std::chrono::seconds todayWindow { 86400 };
    static constexpr std::size_t maxToday = 60;
    // What survives the end of a session: what a new session needs to take over.
    static constexpr std::array<std::string_view, 5> handoverKeys { "botId", "summary", "recent", "posted",
        "today" };

    // The operations with the store's lock already held; handed out only by `withLock`, so calling
    // one of the store's own operations from inside would deadlock. Changes reach the file together,
    // in one write, when the `withLock` call that handed it out ends (also when it ends by an
    // exception), so a turn that records several things costs one durable write.
    class Locked {
    public:
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        ~Locked();

        std::optional<std::string> sessionID(std::string_view conversationID, std::string_view botID) const;
        std::optional<Entry> entry(std::string_view conversationID, std::string_view botID) const;
        std::optional<double> lastSession(std::string_view conversationID, std::string_view botID) const;
        std::optional<State> state(std::string_view conversationID, std::string_view botID) const;
        std::optional<std::int64_t> contextTokens(
            std::string_view conversationID, std::string_view botID) const;
        bool actions(std::string_view conversationID, std::string_view botID) const;
        SummaryAndRecent summaryAndRecent(std::string_view conversationID, std::string_view botID) const;
        std::vector<PostedResult> postedResults(
            std::string_view conversationID, std::string_view botID) const;
        std::vector<Turn> todayTurns(std::string_view conversationID, std::string_view botID) const;

        void recordReply(std::string_view conversationID, std::string_view botID, std::string_view sessionID,
            const ReplyDetails& details);
        void recordTurn(std::string_view conversationID, std::string_view botID, std::string_view user,
            std::string_view reply);
        void recordRoutineResult(std::string_view conversationID, std::string_view botID,
            std::string_view routine, std::string_view reply);
        void dropPosted(std::string_view conversationID, std::string_view botID, std::int64_t count);
        void endSession(std::string_view conversationID);
        bool forgetSession(std::string_view conversationID);

    private:
        friend class SessionStore;
        explicit Locked(SessionStore& store)
            : m_store(store)
        {
        }

        const Entry* entryForBot(std::string_view conversationID, std::string_view botID) const;
        Entry& entryForWriting(std::string_view conversationID, std::string_view botID);
        std::int64_t nowSeconds() const;
        // Notes that the conversation changed and the file must be written before the lock is released.
        void changed(std::string_view conversationID) noexcept;
        // Never throws: a failed write keeps the change in memory for the next one.
        void saveIfChanged() const noexcept;
        // True, after one log line, while the file could not be read: a change then would replace
        // every entry the store could not see.
        bool refusedWhileUnread() const;

        SessionStore& m_store;
        bool m_changed = false;
    };

    // Without a file the store keeps everything in memory. A missing or malformed file loads as an
    // empty store, a damaged one kept aside first (`detail::readStoreJSON`); members whose key is not
    // a conversation id or whose value is not an object are dropped. A file that cannot be read just
    // now is left as it is: until a later access reads it, the store reads as empty and refuses every
    // change (each refusal logs one line; nothing is kept to be merged later). Temporary files that a
    // killed write left beside the file are removed. Never fails.
    SessionStore(std::optional<std::filesystem::path> file, Clock clock);

    // Runs `function` with the lock held, for a caller that needs several operations to see and
    // leave one consistent state; what they changed is written once, before the lock is released.
    // Exceptions from `function` pass through after that write and the release.
    template <typename Function> decltype(auto) withLock(Function&& function)
    {
        std::lock_guard guard(m_lock);
        loadUnlessLoaded();
        Locked locked(*this);
        return std::forward<Function>(function)(locked);
    }

    // The stored session id when it is a valid Claude Code session id.
    std::optional<std::string> sessionID(std::string_view conversationID, std::string_view botID);
    // The whole entry as stored.
    std::optional<Entry> entry(std::string_view conversationID, std::string_view botID);
    // Seconds since the last recorded run of a stored session; negative when the clock went back.
    std::optional<double> lastSession(std::string_view conversationID, std::string_view botID);
    // The string members of the stored state.
    std::optional<State> state(std::string_view conversationID, std::string_view botID);
    std::optional<std::int64_t> contextTokens(std::string_view conversationID, std::string_view botID);
    bool actions(std::string_view conversationID, std::string_view botID);
    SummaryAndRecent summaryAndRecent(std::string_view conversationID, std::string_view botID);
    // One pair per stored result, oldest first; members that are not texts read as empty texts.
    std::vector<PostedResult> postedResults(std::string_view conversationID, std::string_view botID);
    // The chat turns of the last 24 hours, oldest first.
    std::vector<Turn> todayTurns(std::string_view conversationID, std::string_view botID);

    // Replaces the entry by the new session, carrying over the handover material of the same bot.
    void recordReply(std::string_view conversationID, std::string_view botID, std::string_view sessionID,
        const ReplyDetails& details);
    // Adds a chat turn to the recent and the day turns; another bot's entry is replaced.
    void recordTurn(std::string_view conversationID, std::string_view botID, std::string_view user,
        std::string_view reply);
    // Adds a routine's result to the posted results and the recent turns; another bot's entry is replaced.
    void recordRoutineResult(std::string_view conversationID, std::string_view botID,
        std::string_view routine, std::string_view reply);
    // Removes the `count` oldest posted results; a count of 0 or less takes no lock and writes nothing.
    void dropPosted(std::string_view conversationID, std::string_view botID, std::int64_t count);
    // Drops the session and keeps the handover material, whatever the bot; an entry left with at
    // most one member goes altogether.
    void endSession(std::string_view conversationID);
    // Removes the conversation's entry, whatever the bot; true when it held a session id.
    bool forgetSession(std::string_view conversationID);

private:
    // Callers hold the lock. Reads the file when no read of it has succeeded yet.
    void loadUnlessLoaded();
    // Callers hold the lock. Brings `m_encodedMembers` up to date with `m_data`; false, leaving what
    // is left to a later call, when memory ran out.
    bool encodeChangedMembers() noexcept;

    std::optional<std::filesystem::path> m_file;
    std::mutex m_lock;
    Clock m_clock;
    std::map<std::string, Entry, std::less<>> m_data;
    // True once `m_data` holds what the file held; always without a file.
    bool m_loaded = false;
    // With a file, each conversation's member of it as the encoding of the whole store writes it
    // after another member (`,"<id>":<entry>`), so that a save encodes only what changed and writes
    // the rest as it is.
    std::map<std::string, std::string, std::less<>> m_encodedMembers;
    // Conversations changed since their member was encoded.
    std::set<std::string, std::less<>> m_unencoded;
    // Every member is to be encoded again: after a load, or when a change could not be noted.
    bool m_allUnencoded = false;
};

}
