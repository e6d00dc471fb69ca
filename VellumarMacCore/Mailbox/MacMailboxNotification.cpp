#include "VellumarMacCore/Mailbox/MacMailboxNotification.h"

#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"
#include "VellumarMacCore/Foundations/JSON.h"

namespace vellumar {

namespace {

    // A push carries a few hundred bytes; anything far larger is not one.
    constexpr std::size_t kNotificationLimitBytes = 16 * 1024;
    constexpr std::string_view kMacSubscriptionPrefix = "vl.mac.";

}

bool isMailboxNotification(std::string_view userInfo)
{
    if (userInfo.size() > kNotificationLimitBytes)
        return false;
    auto json = JSON::decode(userInfo);
    const JSON* ck = json ? json->subscript("ck") : nullptr;
    const JSON* query = ck ? ck->subscript("qry") : nullptr;
    const JSON* identifier = query ? query->subscript("sid") : nullptr;
    const std::string* text = identifier ? identifier->stringValue() : nullptr;
    if (!text)
        return false;
    return text->starts_with(kMacSubscriptionPrefix)
        && movrane::MailboxSubscriptions::parse(*text).has_value();
}

}
