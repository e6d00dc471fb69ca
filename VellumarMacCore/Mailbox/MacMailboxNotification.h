// Telling the pushes of the Mac's own mailbox subscription from every other notification.
#pragma once

#include <string_view>

namespace vellumar {

// True only for a cloud notification (the JSON object a push carries) whose "ck"."qry"."sid" is a
// mailbox subscription identifier of the Mac ("vl.mac." and a zone); false for anything else,
// malformed or oversized text included. Any thread, no effect.
bool isMailboxNotification(std::string_view userInfo);

}
