// Which remote notifications are meant for the Mac's mailbox.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

namespace vellumar {

// True for a push fired by one of the Mac's own mailbox subscriptions ("vl.mac." and the zone); the
// phones' subscriptions in the same zone are not the Mac's.
bool isMailboxPush(const JSON& userInfo);

}
