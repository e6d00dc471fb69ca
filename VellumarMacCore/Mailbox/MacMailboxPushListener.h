// Carries the cloud database's pushes to the Mac's mailbox: an account change makes it check the
// account again, a push from one of the Mac's own subscriptions makes it fetch.
//
// Threads: one thread receives and hands each push to the mailbox in turn; a fetch under way holds
// the next push back, which then joins or follows it.
#pragma once

#include "Platform/CloudPush.h"
#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include <memory>
#include <thread>

namespace vellumar {

class MacMailboxPushListener {
public:
    // Receives from `listener`, a listener of the cloud database's pushes (`CloudDatabase::listenForPushes`).
    MacMailboxPushListener(
        std::unique_ptr<platform::CloudPushListener> listener, std::weak_ptr<MacMailbox> mailbox);
    // Stops listening and waits for the push being handled.
    ~MacMailboxPushListener();
    MacMailboxPushListener(const MacMailboxPushListener&) = delete;
    MacMailboxPushListener& operator=(const MacMailboxPushListener&) = delete;

private:
    void run(const std::stop_token& stop);
    void deliver(const std::string& push);

    const std::unique_ptr<platform::CloudPushListener> m_listener;
    const std::weak_ptr<MacMailbox> m_mailbox;
    std::jthread m_thread;
};

}
