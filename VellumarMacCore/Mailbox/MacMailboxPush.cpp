#include "VellumarMacCore/Mailbox/MacMailboxPush.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"

namespace vellumar {

bool isMailboxPush(const JSON& userInfo)
{
    if (!movrane::CloudKitMailboxMapping::subscriptionID(userInfo))
        return false;
    // A mailbox subscription id is a string by now; only its party tag is left to check.
    const std::string* identifier
        = userInfo.subscript("ck")->subscript("qry")->subscript("sid")->stringValue();
    return identifier->starts_with("vl.mac.");
}

}
