// Where launching ends and remote notifications enter: the application becomes a menu-bar accessory,
// registers for pushes when its entitlements allow both pushes and the iCloud mailbox, and passes the
// registration's answer and the Mac mailbox's pushes on through PushRelay.
#pragma once

#include "Platform/Entitlements.h"

#include <functional>
#include <string_view>

namespace vellumar {

// Main thread only; no state of its own.
class AppDelegate {
public:
    // Asks for pushes; true when they will be delivered.
    using PushRegistration = std::function<bool()>;

    // Keeps the application running with no window open (it has none but its menu), then registers
    // for pushes, and tells the answer, only when `entitlements` grant pushes and the mailbox.
    void applicationDidFinishLaunching(
        const platform::Entitlements& entitlements, const PushRegistration& registerForRemoteNotifications);

    // Records the answer, then hands it to PushRelay's registration handler when one is set.
    void didRegisterForRemoteNotifications();
    void didFailToRegisterForRemoteNotifications();
    // `userInfo`: the push's JSON. Only a push of the Mac's own mailbox subscription reaches PushRelay's
    // push handler, when one is set; every other is dropped.
    void didReceiveRemoteNotification(std::string_view userInfo);
};

}
