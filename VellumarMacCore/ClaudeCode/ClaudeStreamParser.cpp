#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include "VellumarMacCore/ConversationData/ApprovalStore.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

#include <utility>

namespace vellumar {

namespace {

    constexpr std::string_view kInterimSeparator = "\n\n";
    constexpr std::string_view kAssistantTextSeparator = "\n";

    std::string joined(const std::vector<std::string>& pieces, std::string_view separator)
    {
        std::string result;
        for (std::size_t index = 0; index < pieces.size(); ++index) {
            if (index > 0)
                result.append(separator);
            result.append(pieces[index]);
        }
        return result;
    }

    // Milliseconds since 1970, halves rounded away from zero.
    std::int64_t millisecondsSince1970(std::chrono::system_clock::time_point time)
    {
        constexpr std::int64_t nanosecondsPerMillisecond = 1'000'000;
        auto nanoseconds
            = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
        std::int64_t milliseconds = nanoseconds / nanosecondsPerMillisecond;
        std::int64_t remainder = nanoseconds % nanosecondsPerMillisecond;
        if (remainder >= nanosecondsPerMillisecond / 2)
            ++milliseconds;
        else if (remainder <= -nanosecondsPerMillisecond / 2)
            --milliseconds;
        return milliseconds;
    }

    const std::string* textMember(const JSON& value, std::string_view key)
    {
        const JSON* member = value.subscript(key);
        return member ? member->stringValue() : nullptr;
    }

    std::optional<JSON> optionalMember(const JSON& value, std::string_view key)
    {
        const JSON* member = value.subscript(key);
        return member ? std::optional<JSON>(*member) : std::nullopt;
    }

    std::optional<std::string> optionalTextMember(const JSON& value, std::string_view key)
    {
        const std::string* text = textMember(value, key);
        return text ? std::optional<std::string>(*text) : std::nullopt;
    }

    // An object with at least one member; the event's blocks and denials must be one to count.
    bool isNonEmptyObject(const JSON& value)
    {
        const JSON::Object* object = value.objectValue();
        return object && !object->empty();
    }

    // The "content" array of an event's "message"; nullptr when either is missing or of another kind.
    const JSON::Array* messageContent(const JSON& event)
    {
        const JSON* message = event.subscript("message");
        const JSON* content = message ? message->subscript("content") : nullptr;
        return content ? content->arrayValue() : nullptr;
    }

    std::optional<std::int64_t> intMember(const JSON& value, std::string_view key)
    {
        const JSON* member = value.subscript(key);
        return member ? member->intValue() : std::nullopt;
    }

    bool sameText(std::string_view lhs, std::string_view rhs)
    {
        // JSON strings already compare by canonical equivalence.
        return lhs == rhs || JSON(lhs) == JSON(rhs);
    }

    bool sameOptionalText(const std::optional<std::string>& lhs, const std::optional<std::string>& rhs)
    {
        if (!lhs || !rhs)
            return !lhs && !rhs;
        return sameText(*lhs, *rhs);
    }

}

bool operator==(const ClaudeStreamParser::Final& lhs, const ClaudeStreamParser::Final& rhs)
{
    return sameText(lhs.text, rhs.text) && lhs.isError == rhs.isError
        && sameOptionalText(lhs.subtype, rhs.subtype);
}

bool operator==(const ClaudeStreamParser::ToolUse& lhs, const ClaudeStreamParser::ToolUse& rhs)
{
    return sameText(lhs.id, rhs.id) && lhs.at == rhs.at && sameText(lhs.tool, rhs.tool)
        && sameText(lhs.kind, rhs.kind) && sameText(lhs.target, rhs.target)
        && sameText(lhs.status, rhs.status) && lhs.endedAt == rhs.endedAt && lhs.input == rhs.input;
}

bool operator==(const ClaudeStreamParser::Denial& lhs, const ClaudeStreamParser::Denial& rhs)
{
    return sameText(lhs.tool, rhs.tool) && sameOptionalText(lhs.toolUseID, rhs.toolUseID)
        && lhs.input == rhs.input;
}

ClaudeStreamParser::ClaudeStreamParser(Clock clock)
    : m_clock(std::move(clock))
{
}

std::vector<RunnerEvent> ClaudeStreamParser::consume(std::string_view line)
{
    std::string_view content = trimmingBlanks(line);
    if (content.empty())
        return {};
    std::optional<JSON> event = JSON::decode(content);
    if (!event)
        return {};
    const std::string* type = textMember(*event, "type");
    if (!type)
        return {};

    ++m_eventCount;
    // Every kind of event may carry the session id, and a resumed run can change it midway.
    const std::string* sessionID = textMember(*event, "session_id");
    if (sessionID && isValidSessionID(*sessionID))
        m_sessionID = *sessionID;

    if (*type == "system")
        return consumeSystem(*event);
    if (*type == "assistant")
        return consumeAssistant(*event);
    if (*type == "user")
        return consumeUser(*event);
    if (*type == "result")
        consumeResult(*event);
    return {};
}

std::vector<RunnerEvent> ClaudeStreamParser::consumeSystem(const JSON& event)
{
    const std::string* subtype = textMember(event, "subtype");
    if (!subtype)
        return {};
    if (*subtype == "init")
        return { RunnerEvent::preparing() };
    if (*subtype == "compact_boundary") {
        m_compacted = true;
        return { RunnerEvent::compacting() };
    }
    return {};
}

void ClaudeStreamParser::flushInterimText(std::vector<RunnerEvent>& events)
{
    std::string text(trimmingWhitespaceAndNewlines(joined(m_pendingText, kInterimSeparator)));
    m_pendingText.clear();
    if (!text.empty())
        events.push_back(RunnerEvent::interim(std::move(text)));
}

void ClaudeStreamParser::announceTool(const JSON& block, std::vector<RunnerEvent>& events)
{
    // Text written before a tool call is the assistant thinking aloud: show it before the call.
    flushInterimText(events);

    const std::string* nameMember = textMember(block, "name");
    std::string name = nameMember ? *nameMember : std::string();
    if (const std::string* id = textMember(block, "id")) {
        auto now = m_clock();
        m_pending.insert_or_assign(*id, PendingTool { name, now });
        if (m_tools.size() < maxTools) {
            std::optional<JSON> input = optionalMember(block, "input");
            m_tools.push_back(ToolUse {
                .id = *id,
                .at = millisecondsSince1970(now),
                .tool = prefixCharacters(name, maxToolNameCharacters),
                .kind = ApprovalStore::toolKind(name),
                .target = ApprovalStore::toolDetail(name, input ? &*input : nullptr),
                .status = "stopped",
                .input = input,
            });
        }
    }
    events.push_back(RunnerEvent::tool(std::move(name)));
}

std::vector<RunnerEvent> ClaudeStreamParser::consumeAssistant(const JSON& event)
{
    std::vector<RunnerEvent> events;
    std::vector<std::string> texts;
    if (const JSON::Array* blocks = messageContent(event)) {
        for (const JSON& block : *blocks) {
            if (!isNonEmptyObject(block))
                continue;
            const std::string* type = textMember(block, "type");
            if (!type)
                continue;
            if (*type == "tool_use") {
                announceTool(block, events);
            } else if (*type == "text") {
                if (const std::string* text = textMember(block, "text")) {
                    texts.push_back(*text);
                    if (!trimmingWhitespaceAndNewlines(*text).empty())
                        m_pendingText.push_back(*text);
                }
            } else if (*type == "thinking") {
                events.push_back(RunnerEvent::thinking());
            }
        }
    }

    if (!texts.empty()) {
        m_lastAssistantText = joined(texts, kAssistantTextSeparator);
        if (events.empty())
            events.push_back(RunnerEvent::writing());
    }

    const JSON* message = event.subscript("message");
    if (auto tokens = usageTokens(message ? message->subscript("usage") : nullptr))
        m_contextTokens = tokens;
    return events;
}

std::vector<RunnerEvent> ClaudeStreamParser::consumeUser(const JSON& event)
{
    std::vector<RunnerEvent> events;
    const JSON::Array* blocks = messageContent(event);
    if (!blocks)
        return events;
    for (const JSON& block : *blocks) {
        if (!isNonEmptyObject(block))
            continue;
        const std::string* type = textMember(block, "type");
        const std::string* toolUseID = textMember(block, "tool_use_id");
        if (!type || *type != "tool_result" || !toolUseID)
            continue;

        ++m_toolResultCount;
        m_pending.erase(*toolUseID);
        auto record = std::find_if(
            m_tools.begin(), m_tools.end(), [&](const ToolUse& tool) { return tool.id == *toolUseID; });
        if (record != m_tools.end()) {
            const JSON* isError = block.subscript("is_error");
            bool failed = isError && isError->boolValue() == true;
            record->status = failed ? "error" : "ok";
            record->endedAt = millisecondsSince1970(m_clock());
        }
        // Nothing left running: Claude Code is back to working out its next step.
        if (m_pending.empty())
            events.push_back(RunnerEvent::thinking());
    }
    return events;
}

void ClaudeStreamParser::consumeResult(const JSON& event)
{
    const std::string* result = textMember(event, "result");
    std::optional<std::string> subtype = optionalTextMember(event, "subtype");
    // Without an explicit flag, anything but a plain success is a failure.
    bool isError = subtype != "success";
    if (const JSON* isErrorMember = event.subscript("is_error")) {
        if (auto flag = isErrorMember->boolValue())
            isError = *flag;
    }
    m_final = Final { .text = result ? *result : std::string(), .isError = isError, .subtype = subtype };

    m_contextWindow = contextWindow(event.subscript("modelUsage"));

    m_denials.clear();
    const JSON* denialsMember = event.subscript("permission_denials");
    const JSON::Array* denials = denialsMember ? denialsMember->arrayValue() : nullptr;
    if (!denials)
        return;
    std::size_t readCount = std::min(denials->size(), maxDenials);
    for (std::size_t index = 0; index < readCount; ++index) {
        const JSON& entry = (*denials)[index];
        if (!isNonEmptyObject(entry))
            continue;
        const std::string* tool = textMember(entry, "tool_name");
        if (!tool)
            continue;
        m_denials.push_back(Denial {
            .tool = *tool,
            .toolUseID = optionalTextMember(entry, "tool_use_id"),
            .input = optionalMember(entry, "tool_input"),
        });
    }
}

std::optional<JSON> ClaudeStreamParser::contextJSON() const
{
    if (!m_contextTokens)
        return std::nullopt;
    JSON::Object members { { "tokens", JSON(static_cast<long long>(*m_contextTokens)) } };
    if (m_contextWindow)
        members.emplace("window", JSON(static_cast<long long>(*m_contextWindow)));
    return JSON(std::move(members));
}

std::optional<std::int64_t> ClaudeStreamParser::usageTokens(const JSON* usage)
{
    if (!usage)
        return std::nullopt;
    std::int64_t sum = 0;
    for (std::string_view key :
        { "input_tokens", "cache_creation_input_tokens", "cache_read_input_tokens", "output_tokens" }) {
        std::optional<std::int64_t> tokens = intMember(*usage, key);
        if (tokens && *tokens > 0)
            sum += *tokens;
    }
    return sum > 0 ? std::optional(sum) : std::nullopt;
}

std::optional<std::int64_t> ClaudeStreamParser::contextWindow(const JSON* from)
{
    const JSON::Object* models = from ? from->objectValue() : nullptr;
    if (!models)
        return std::nullopt;
    std::optional<std::int64_t> window;
    std::int64_t heaviest = 0;
    for (const auto& [name, model] : *models) {
        if (!isNonEmptyObject(model))
            continue;
        std::optional<std::int64_t> modelWindow = intMember(model, "contextWindow");
        if (!modelWindow || *modelWindow <= 0)
            continue;
        // The window that matters is the one the conversation's input filled; output does not count.
        std::int64_t weight = 0;
        for (std::string_view key : { "inputTokens", "cacheReadInputTokens", "cacheCreationInputTokens" })
            weight += intMember(model, key).value_or(0);
        if (!window || weight > heaviest) {
            window = modelWindow;
            heaviest = weight;
        }
    }
    return window;
}

}
