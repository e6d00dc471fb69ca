// Remote notifications on Linux: the cloud database's push socket stands in for the push service.
// Registering makes a listener of the database's pushes; every push is passed on, except the account
// notice, which stands in for the iCloud account-change notification.
#pragma once

#include "Platform/CloudPush.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vellumar {

class RemoteNotifications {
public:
    // Makes the cloud database's push listener (`CloudDatabase::listenForPushes`); may throw.
    using ListenerMaker = std::function<std::unique_ptr<platform::CloudPushListener>()>;

    explicit RemoteNotifications(ListenerMaker makeListener);
    // Stops receiving and unbinds.
    ~RemoteNotifications();
    RemoteNotifications(const RemoteNotifications&) = delete;
    RemoteNotifications& operator=(const RemoteNotifications&) = delete;

    // Main thread. Binds the listener and starts receiving: each push's text goes to `push` on the main
    // thread (while a Qt application runs), in the order received. True when bound; false (and
    // nothing received) when the listener cannot be made. A second call answers as the first did.
    bool registerForPushes(std::function<void(std::string)> push);
    // Any thread. `changed` runs on the receiving thread after each account notice, for as long as
    // this object lives.
    void observeAccountChanges(std::function<void()> changed);

private:
    void receive(std::stop_token stop, std::function<void(std::string)> push);

    const ListenerMaker m_makeListener;
    std::unique_ptr<platform::CloudPushListener> m_listener;
    bool m_bindFailed = false;
    std::mutex m_lock;
    std::vector<std::function<void()>> m_accountObservers;
    // Last: stopped and joined before the listener it reads goes.
    std::jthread m_receiver;
};

}
