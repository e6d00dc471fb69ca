// What the application drives of the Mac's mailbox: its status, pushes, the answer to the push
// registration and iCloud account changes.
#pragma once

#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include <functional>

namespace vellumar {

// Any thread may call; observers run on the mailbox's threads.
class MacMailboxControls {
public:
    using StatusObserver = std::function<void(const MacMailboxStatus&)>;

    virtual ~MacMailboxControls() = default;

    // Calls `observer` at once with the current status, then after every change. Never removed.
    virtual void observe(StatusObserver observer) = 0;
    // A push of the Mac's subscription: fetch now rather than at the next poll.
    virtual void handlePush() = 0;
    // Whether pushes will come; shown in the status.
    virtual void setPushRegistered(bool registered) = 0;
    // The iCloud account may have changed: check it again now.
    virtual void accountChanged() = 0;
};

}
