// The small records that travel with a job: how it enters its conversation's queue, the user's other
// bots, the compaction setting and what a finished reply run hands back.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

enum class JobMode {
    // Waits behind the jobs already queued in its conversation.
    queue,
    // Stops the conversation's running job and goes to the head of the queue.
    interrupt,
};

// "queue" or "interrupt".
std::string_view rawValue(JobMode mode);
// Exactly "queue" or "interrupt"; nullopt for any other text.
std::optional<JobMode> jobModeFromRawValue(std::string_view text);

// Another bot of the user, listed to the replying bot.
struct OtherBot {
    std::string id; // a bot id (RelayIDs::isValidID)
    std::string name; // 1 to 20 characters
    std::string role; // 0 to 12 characters

    // One element of a request's "otherBots": {"id", "name", "role"?}. Throws RelayHTTPError 400
    // "bad_request" naming the member at fault.
    static OtherBot parse(const JSON& element);

    friend bool operator==(const OtherBot&, const OtherBot&) = default;
};

// The bot's automatic compaction of long conversations.
struct AutoCompactSetting {
    struct TokenRange {
        std::int64_t lowest;
        std::int64_t highest;
    };
    static constexpr TokenRange kTokenRange { 20'000, 1'000'000 };
    static constexpr std::int64_t kDefaultTokens = 50'000;

    std::string mode; // "off", "auto" or "suggest"
    std::int64_t tokens { kDefaultTokens }; // within kTokenRange, inclusive

    // A request's "autoCompact" member, or nullptr when the key is absent; nullopt for absent or
    // null. Throws RelayHTTPError 400 "bad_request" on any other shape or a token count out of range.
    static std::optional<AutoCompactSetting> parse(const JSON* value);

    friend bool operator==(const AutoCompactSetting&, const AutoCompactSetting&) = default;
};

// What one finished reply run returns; the job manager copies it into the job's result.
struct ReplyOutput {
    std::string reply; // shown to the user, action blocks removed
    std::vector<JSON> actions; // proposed actions, forwarded to the phone
    std::optional<JSON> context; // the conversation's context size as the run reports it
    std::vector<JSON> files; // descriptions of the reply's attachments
    std::optional<JSON> compacted; // present when the run compacted the conversation
    std::optional<JSON> memory; // the reply's changes to the conversation's memory

    friend bool operator==(const ReplyOutput&, const ReplyOutput&) = default;
};

}
