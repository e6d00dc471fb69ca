#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <algorithm>

namespace movrane::MailboxSubscriptions {

MailboxSubscriptionSpec::Delivery delivery(MailboxNotify notify)
{
    if (!alerts(notify))
        return {};
    std::string prefix = "movrane.mailbox.alert." + std::string(rawValue(notify));
    return { MailboxSubscriptionSpec::Delivery::Kind::alert, prefix + ".title", prefix + ".body" };
}

std::vector<MailboxSubscriptionSpec> mac(const MailboxPairing& pairing)
{
    return { { "vl.mac." + pairing.zoneName, std::string(MailboxPartyTag::mac), std::nullopt, {} } };
}

std::vector<MailboxSubscriptionSpec> device(const MailboxPairing& pairing, bool includeSilent)
{
    std::vector<MailboxSubscriptionSpec> specs;
    std::vector<MailboxNotify> kinds { MailboxNotify::reply, MailboxNotify::approval, MailboxNotify::routine };
    if (includeSilent)
        kinds.push_back(MailboxNotify::silent);
    for (auto kind : kinds)
        specs.push_back({ "vl.dev." + pairing.zoneName + "." + std::string(rawValue(kind)), pairing.deviceTag(), kind,
            delivery(kind) });
    return specs;
}

std::optional<std::string> parse(std::string_view identifier)
{
    std::vector<std::string_view> pieces;
    while (!identifier.empty()) {
        auto dot = std::min(identifier.find('.'), identifier.size());
        if (dot > 0)
            pieces.push_back(identifier.substr(0, dot));
        identifier.remove_prefix(std::min(dot + 1, identifier.size()));
    }
    if (pieces.size() < 3 || pieces[0] != "vl" || (pieces[1] != "mac" && pieces[1] != "dev")
        || !MailboxZoneName::isValid(pieces[2]))
        return std::nullopt;
    return std::string(pieces[2]);
}

}
