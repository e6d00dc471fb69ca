// Operations that wait for the user's consent before a later run may do them, and the one-word
// and one-line descriptions of Claude Code tool calls.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// Pending approvals live in memory only. `add` and `take` may be called from any thread; the
// static functions touch no state.
class ApprovalStore final {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    struct Request {
        std::string kind; // "bash" or "write"; other kinds are ignored
        std::string detail; // one line: a command, a file path

        friend bool operator==(const Request&, const Request&) = default;
    };

    struct Pending {
        std::string conversation;
        std::string kind;
        std::vector<std::string> details; // 1 to `maxDetails`
        std::chrono::system_clock::time_point expires;
        std::int64_t order { 0 };
    };

    struct Approved {
        std::string kind;
        std::vector<std::string> details;

        friend bool operator==(const Approved&, const Approved&) = default;
    };

    struct TakeResult {
        std::vector<Approved> approved;
        // Ids that could not be used: never issued, expired, already taken, or another conversation's.
        std::int64_t expiredCount { 0 };
    };

    // Also the approval kinds a bot's permission settings accept; cards come in this order.
    static constexpr std::array<std::string_view, 2> kinds { "bash", "write" };
    static constexpr std::chrono::seconds lifetime { 3600 };
    static constexpr std::size_t maxDetails = 5;
    static constexpr std::size_t maxPending = 50;

    // `labels` maps a kind to its display label; a kind without one is shown as itself.
    ApprovalStore(std::map<std::string, std::string, std::less<>> labels, Clock clock);

    // One new approval per kind asked for, returned as approval cards, "bash" before "write".
    // Drops expired approvals and keeps at most `maxPending`, evicting the oldest whatever its
    // conversation.
    std::vector<JSON> add(std::string_view conversation, const std::vector<Request>& requests);

    // Consumes the listed approvals of this conversation; each is usable once.
    TakeResult take(std::string_view conversation, const std::vector<std::string>& ids);

    // "command", "read", "search", "write", "web" or "other"; names compare case-sensitively.
    static std::string toolKind(std::string_view toolName);
    // What a tool call acts on, redacted and folded to one line of at most 200 characters.
    // `input` is nullptr when the call had none; a wrong shape gives the empty text.
    static std::string toolDetail(std::string_view toolName, const JSON* input);

private:
    void dropExpired();

    std::mutex m_lock;
    std::map<std::string, Pending, std::less<>> m_pending;
    std::int64_t m_counter { 0 };
    Clock m_clock;
    std::map<std::string, std::string, std::less<>> m_labels;
};

// "a-" followed by 12 lowercase hexadecimal digits.
bool isApprovalID(std::string_view text);

}
