// Turns Claude Code's stream-JSON output, one line at a time, into progress events and the
// record of a run: session id, result, tool calls, denials, context size.
#pragma once

#include "VellumarMacCore/ClaudeCode/RunnerEvent.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// A plain value: copying it copies all of its state. It has no lock; its owner serialises access.
class ClaudeStreamParser {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The run's "result" event.
    struct Final {
        std::string text;
        bool isError { false };
        std::optional<std::string> subtype;

        // Texts compare by Unicode canonical equivalence.
        friend bool operator==(const Final&, const Final&);
    };

    // One tool call, from its announcement to its result.
    struct ToolUse {
        std::string id;
        std::int64_t at { 0 }; // milliseconds since 1970, from the parser's clock
        std::string tool; // cut to `maxToolNameCharacters` grapheme clusters
        std::string kind; // `ApprovalStore::toolKind` of the full name
        std::string target; // `ApprovalStore::toolDetail` of the full name and the input
        std::string status; // "stopped", then "ok" or "error"
        std::optional<std::int64_t> endedAt = std::nullopt; // when its result came, as `at`
        std::optional<JSON> input; // absent when the call had no "input" member

        friend bool operator==(const ToolUse&, const ToolUse&);
    };

    // One entry of the result's "permission_denials".
    struct Denial {
        std::string tool; // not cut
        std::optional<std::string> toolUseID;
        std::optional<JSON> input;

        friend bool operator==(const Denial&, const Denial&);
    };

    // A call announced and not yet answered; the supervisor's stall check reads `since`.
    struct PendingTool {
        std::string name;
        std::chrono::system_clock::time_point since;
    };

    static constexpr std::size_t maxTools = 500;
    static constexpr std::size_t maxDenials = 500;
    static constexpr std::size_t maxToolNameCharacters = 40;

    explicit ClaudeStreamParser(Clock clock);

    // Feeds one line of standard output (without its line break) and returns the progress events
    // it gives, possibly none. Never throws: a line it cannot use leaves the parser unchanged.
    std::vector<RunnerEvent> consume(std::string_view line);

    // {"tokens": N} plus "window" when known; absent while no context size has been seen.
    std::optional<JSON> contextJSON() const;

    // The context size a message's "usage" stands for: the positive sum of its token counts.
    // `usage` is nullptr when absent.
    static std::optional<std::int64_t> usageTokens(const JSON* usage);
    // The context window of the model that carried the most input-side tokens in a result's
    // "modelUsage". `from` is nullptr when absent.
    static std::optional<std::int64_t> contextWindow(const JSON* from);

    const std::optional<std::string>& sessionID() const { return m_sessionID; }
    const std::optional<Final>& final() const { return m_final; }
    std::optional<std::int64_t> contextTokens() const { return m_contextTokens; }
    std::optional<std::int64_t> contextWindow() const { return m_contextWindow; }
    const std::string& lastAssistantText() const { return m_lastAssistantText; }
    std::int64_t eventCount() const { return m_eventCount; }
    const std::vector<ToolUse>& tools() const { return m_tools; }
    // Keyed by tool-use id.
    const std::map<std::string, PendingTool, std::less<>>& pending() const { return m_pending; }
    const std::vector<Denial>& denials() const { return m_denials; }
    bool compacted() const { return m_compacted; }
    // How many tool results the run has reported so far, each answering one call.
    std::int64_t toolResultCount() const { return m_toolResultCount; }
    const std::vector<std::string>& pendingText() const { return m_pendingText; }

private:
    std::vector<RunnerEvent> consumeSystem(const JSON& event);
    std::vector<RunnerEvent> consumeAssistant(const JSON& event);
    std::vector<RunnerEvent> consumeUser(const JSON& event);
    void consumeResult(const JSON& event);
    void announceTool(const JSON& block, std::vector<RunnerEvent>& events);
    void flushInterimText(std::vector<RunnerEvent>& events);

    std::optional<std::string> m_sessionID;
    std::optional<Final> m_final;
    std::optional<std::int64_t> m_contextTokens;
    std::optional<std::int64_t> m_contextWindow;
    std::string m_lastAssistantText;
    std::int64_t m_eventCount { 0 };
    std::vector<ToolUse> m_tools;
    std::map<std::string, PendingTool, std::less<>> m_pending;
    std::vector<Denial> m_denials;
    bool m_compacted { false };
    std::int64_t m_toolResultCount { 0 };
    std::vector<std::string> m_pendingText;
    Clock m_clock;
};

}
