#include "MovraneMailbox/Protocol/MailboxProtocol.h"

#include "MovraneMailbox/Protocol/MailboxDecodingError.h"

#include <algorithm>

namespace movrane {

namespace {

    constexpr std::array<std::string_view, 5> kNotifyRawValues { "none", "silent", "reply", "approval", "routine" };
    constexpr std::array<std::string_view, 2> kRoleRawValues { "mac", "device" };

    template <typename Enum, std::size_t Count>
    std::optional<Enum> caseOf(const std::array<std::string_view, Count>& rawValues, std::string_view raw)
    {
        auto found = std::find(rawValues.begin(), rawValues.end(), raw);
        if (found == rawValues.end())
            return std::nullopt;
        return static_cast<Enum>(found - rawValues.begin());
    }

    template <typename Enum>
    Enum fromJSON(const vellumar::JSON& json, std::optional<Enum> (*parse)(std::string_view), const char* what)
    {
        const std::string* text = json.stringValue();
        std::optional<Enum> value = text ? parse(*text) : std::nullopt;
        if (!value)
            throw MailboxDecodingError(what);
        return *value;
    }

}

bool MailboxProtocol::isLANOnly(std::string_view path)
{
    path = path.substr(0, path.find('?'));
    if (path.size() >= 2 && path.back() == '/')
        path.remove_suffix(1);
    return std::find(lanOnlyPaths.begin(), lanOnlyPaths.end(), path) != lanOnlyPaths.end();
}

double MailboxProtocol::clampedLifetime(double requestedSeconds)
{
    return std::min(maxLifetime, std::max(1.0, requestedSeconds));
}

std::string_view rawValue(MailboxNotify notify) { return kNotifyRawValues[static_cast<std::size_t>(notify)]; }
std::string_view rawValue(MailboxRole role) { return kRoleRawValues[static_cast<std::size_t>(role)]; }

std::optional<MailboxNotify> mailboxNotify(std::string_view raw) { return caseOf<MailboxNotify>(kNotifyRawValues, raw); }
std::optional<MailboxRole> mailboxRole(std::string_view raw) { return caseOf<MailboxRole>(kRoleRawValues, raw); }

bool alerts(MailboxNotify notify)
{
    return notify == MailboxNotify::reply || notify == MailboxNotify::approval || notify == MailboxNotify::routine;
}

vellumar::JSON toJSON(MailboxNotify notify) { return vellumar::JSON(rawValue(notify)); }
vellumar::JSON toJSON(MailboxRole role) { return vellumar::JSON(rawValue(role)); }

MailboxNotify mailboxNotifyFromJSON(const vellumar::JSON& json)
{
    return fromJSON(json, &mailboxNotify, "not a mailbox notify kind");
}

MailboxRole mailboxRoleFromJSON(const vellumar::JSON& json)
{
    return fromJSON(json, &mailboxRole, "not a mailbox role");
}

}
