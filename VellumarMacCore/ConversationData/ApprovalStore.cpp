#include "VellumarMacCore/ConversationData/ApprovalStore.h"

#include "VellumarMacCore/Foundations/Redaction.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <utility>

namespace vellumar {

namespace {

    constexpr std::size_t kApprovalIDRandomBytes = 6;
    constexpr std::string_view kApprovalIDPrefix = "a-";
    constexpr std::size_t kToolDetailCharacters = 200;

    std::string newApprovalID()
    {
        return std::string(kApprovalIDPrefix) + hexString(Random::bytes(kApprovalIDRandomBytes));
    }

    // The input's member when it is a text; the empty text for any other shape.
    std::string_view textMember(const JSON* input, std::string_view key)
    {
        if (!input)
            return {};
        const JSON* member = input->subscript(key);
        if (!member)
            return {};
        const std::string* text = member->stringValue();
        return text ? std::string_view(*text) : std::string_view();
    }

    // The text before the first `separator`, except that a leading separator yields what follows it:
    // empty pieces are dropped before the first one is taken.
    std::string_view firstNonEmptyPiece(std::string_view text, char separator)
    {
        std::size_t cut = text.find(separator);
        if (cut == std::string_view::npos)
            return text;
        if (cut > 0)
            return text.substr(0, cut);
        return text.substr(cut + 1);
    }

    // An address without its query and fragment, which may carry tokens.
    std::string_view addressWithoutQuery(std::string_view url)
    {
        return firstNonEmptyPiece(firstNonEmptyPiece(url, '?'), '#');
    }

    std::string rawToolDetail(std::string_view toolName, const JSON* input)
    {
        if (toolName == "Bash")
            return std::string(textMember(input, "command"));
        if (toolName == "Read" || toolName == "Write" || toolName == "Edit" || toolName == "MultiEdit")
            return std::string(textMember(input, "file_path"));
        if (toolName == "Glob" || toolName == "Grep") {
            std::string detail(textMember(input, "pattern"));
            std::string_view path = textMember(input, "path");
            if (!path.empty())
                detail.append(" (").append(path).append(")");
            return detail;
        }
        if (toolName == "WebSearch")
            return std::string(textMember(input, "query"));
        if (toolName == "WebFetch")
            return std::string(addressWithoutQuery(textMember(input, "url")));
        return {};
    }

    bool isLowercaseHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}

ApprovalStore::ApprovalStore(std::map<std::string, std::string, std::less<>> labels, Clock clock)
    : m_clock(std::move(clock))
    , m_labels(std::move(labels))
{
}

void ApprovalStore::dropExpired()
{
    auto now = m_clock();
    std::erase_if(m_pending, [now](const auto& entry) { return entry.second.expires <= now; });
}

std::vector<JSON> ApprovalStore::add(std::string_view conversation, const std::vector<Request>& requests)
{
    std::lock_guard guard(m_lock);
    dropExpired();

    std::vector<JSON> cards;
    for (std::string_view kind : kinds) {
        JSON::Array details;
        std::vector<std::string> detailTexts;
        for (const Request& request : requests) {
            if (request.kind != kind)
                continue;
            detailTexts.push_back(request.detail);
            details.emplace_back(request.detail);
            if (detailTexts.size() == maxDetails)
                break;
        }
        if (detailTexts.empty())
            continue;

        std::string id = newApprovalID();
        ++m_counter;
        m_pending[id] = Pending {
            .conversation = std::string(conversation),
            .kind = std::string(kind),
            .details = std::move(detailTexts),
            .expires = m_clock() + lifetime,
            .order = m_counter,
        };
        auto label = m_labels.find(kind);
        cards.push_back(JSON::object({
            { "type", "approve_operation" },
            { "approvalId", id },
            { "kind", kind },
            { "label", label == m_labels.end() ? std::string(kind) : label->second },
            { "details", std::move(details) },
        }));
    }

    while (m_pending.size() > maxPending) {
        auto oldest = std::min_element(m_pending.begin(), m_pending.end(),
            [](const auto& lhs, const auto& rhs) { return lhs.second.order < rhs.second.order; });
        m_pending.erase(oldest);
    }
    return cards;
}

ApprovalStore::TakeResult ApprovalStore::take(
    std::string_view conversation, const std::vector<std::string>& ids)
{
    std::lock_guard guard(m_lock);
    dropExpired();

    TakeResult result;
    for (const std::string& id : ids) {
        auto found = m_pending.find(id);
        if (found == m_pending.end() || found->second.conversation != conversation) {
            ++result.expiredCount;
            continue;
        }
        result.approved.push_back({ std::move(found->second.kind), std::move(found->second.details) });
        m_pending.erase(found);
    }
    return result;
}

std::string ApprovalStore::toolKind(std::string_view toolName)
{
    static constexpr std::pair<std::string_view, std::string_view> kindsByTool[] = {
        { "Bash", "command" },
        { "Read", "read" },
        { "Glob", "search" },
        { "Grep", "search" },
        { "Write", "write" },
        { "Edit", "write" },
        { "MultiEdit", "write" },
        { "WebSearch", "web" },
        { "WebFetch", "web" },
    };
    for (auto [tool, kind] : kindsByTool) {
        if (tool == toolName)
            return std::string(kind);
    }
    return "other";
}

std::string ApprovalStore::toolDetail(std::string_view toolName, const JSON* input)
{
    return Redaction::oneLine(Redaction::redact(rawToolDetail(toolName, input)), kToolDetailCharacters);
}

bool isApprovalID(std::string_view text)
{
    // Byte checks suffice: any non-ASCII scalar fails the digit test, and the length in bytes
    // then equals the length in scalars.
    if (text.size() != kApprovalIDPrefix.size() + 2 * kApprovalIDRandomBytes
        || !text.starts_with(kApprovalIDPrefix))
        return false;
    return std::all_of(text.begin() + kApprovalIDPrefix.size(), text.end(), isLowercaseHexDigit);
}

}
