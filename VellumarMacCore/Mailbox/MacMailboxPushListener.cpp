#include "VellumarMacCore/Mailbox/MacMailboxPushListener.h"

#include "VellumarMacCore/Mailbox/MacMailboxNotification.h"

namespace vellumar {

namespace {

    // How often the receiving thread looks whether it should end.
    constexpr std::chrono::milliseconds kStopCheck { 100 };

}

MacMailboxPushListener::MacMailboxPushListener(
    std::unique_ptr<platform::CloudPushListener> listener, std::weak_ptr<MacMailbox> mailbox)
    : m_listener(std::move(listener))
    , m_mailbox(std::move(mailbox))
    , m_thread([this](std::stop_token stop) { run(stop); })
{
}

MacMailboxPushListener::~MacMailboxPushListener()
{
    m_thread.request_stop();
    m_thread.join();
}

void MacMailboxPushListener::run(const std::stop_token& stop)
{
    while (!stop.stop_requested()) {
        if (auto push = m_listener->receive(kStopCheck))
            deliver(*push);
    }
}

void MacMailboxPushListener::deliver(const std::string& push)
{
    auto mailbox = m_mailbox.lock();
    if (!mailbox)
        return;
    if (push == platform::cloudAccountChangedNotice) {
        mailbox->accountChanged();
        return;
    }
    if (isMailboxNotification(push))
        mailbox->handlePush();
}

}
