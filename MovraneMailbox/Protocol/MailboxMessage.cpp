#include "MovraneMailbox/Protocol/MailboxMessage.h"

namespace movrane {

MailboxContent replacingBody(const MailboxContent& content, MailboxBytes body)
{
    MailboxContent replaced = content;
    std::visit(
        [&](auto& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, MailboxResponseContent>)
                value.response.body = std::move(body);
            else if constexpr (std::is_same_v<Case, MailboxRelayRequest> || std::is_same_v<Case, MailboxEvent>
                || std::is_same_v<Case, MailboxJobStateContent>)
                value.body = std::move(body);
        },
        replaced);
    return replaced;
}

}
