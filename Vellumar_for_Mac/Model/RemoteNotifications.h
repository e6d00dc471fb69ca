// Remote notifications on Linux: the cloud database's push socket stands in for the push service.
// Registering binds a listener in the database's push folder; every datagram is a push, except the
// account notice, which stands in for the iCloud account-change notification.
#pragma once

#include "Platform/CloudPush.h"
#include "VellumarMacCore/Mailbox/MacMailboxSetup.h"

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
    // `pushFolder`: the cloud database's "push" folder.
    explicit RemoteNotifications(std::filesystem::path pushFolder);
    // The notifications of the mailbox's cloud database, opened here so that its push folder exists;
    // none without a mailbox on the cloud database or when the database cannot be opened (logged).
    static std::unique_ptr<RemoteNotifications> forMailbox(const std::optional<MacMailboxSetup>& setup);
    // Stops receiving and unbinds.
    ~RemoteNotifications();
    RemoteNotifications(const RemoteNotifications&) = delete;
    RemoteNotifications& operator=(const RemoteNotifications&) = delete;

    // Main thread. Binds the listener and starts receiving: each push's text goes to `push` on the main
    // thread (while a Qt application runs), in the order received. True when bound; false (and
    // nothing received) when the socket cannot be bound. A second call answers as the first did.
    bool registerForPushes(std::function<void(std::string)> push);
    // Any thread. `changed` runs on the receiving thread after each account notice, for as long as
    // this object lives.
    void observeAccountChanges(std::function<void()> changed);

private:
    void receive(std::stop_token stop, std::function<void(std::string)> push);

    const std::filesystem::path m_pushFolder;
    std::unique_ptr<platform::CloudPushListener> m_listener;
    bool m_bindFailed = false;
    std::mutex m_lock;
    std::vector<std::function<void()>> m_accountObservers;
    // Last: stopped and joined before the listener it reads goes.
    std::jthread m_receiver;
};

}
