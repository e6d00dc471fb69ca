#include "MovraneMailbox/Protocol/MailboxMessage.h"

#include <array>

namespace movrane {

std::string_view kindOf(const MailboxContent& content)
{
    static constexpr std::array<std::string_view, std::variant_size_v<MailboxContent>> names { "request",
        "response", "watch", "jobState", "event", "presence" };
    return names[content.index()];
}

const MailboxBytes& bodyOf(const MailboxContent& content)
{
    static const MailboxBytes none;
    return std::visit(
        [](const auto& value) -> const MailboxBytes& {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, MailboxResponseContent>)
                return value.response.body;
            else if constexpr (std::is_same_v<Case, MailboxWatch> || std::is_same_v<Case, MailboxPresence>)
                return none;
            else
                return value.body;
        },
        content);
}

MailboxContent replacingBody(const MailboxContent& content, MailboxBytes body)
{
    MailboxContent replaced = content;
    std::visit(
        [&](auto& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, MailboxResponseContent>)
                value.response.body = std::move(body);
            else if constexpr (
                std::is_same_v<Case,
                    MailboxRelayRequest> || std::is_same_v<Case, MailboxEvent> || std::is_same_v<Case, MailboxJobStateContent>)
                value.body = std::move(body);
        },
        replaced);
    return replaced;
}

}
