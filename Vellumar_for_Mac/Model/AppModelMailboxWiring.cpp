// The iCloud mailbox's outside signals: its status mirrored onto the model, pushes, the push
// registration's answer and account changes.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Vellumar_for_Mac/Model/PushRelay.h"

#include "MovraneMailbox/Protocol/MailboxBackgroundTasks.h"

namespace vellumar {

void AppModel::startMailboxWiring()
{
    if (!m_mailbox)
        return;
    std::shared_ptr<MacMailboxControls> mailbox = m_mailbox;
    mailbox->observe([model = QPointer<AppModel>(this)](const MacMailboxStatus& status) {
        onMainThread(model, [status](AppModel& self) { self.setMailboxStatus(status); });
    });
    // The closures below hold the mailbox and never the model: they outlive it in the relay.
    if (m_observeAccountChanges)
        m_observeAccountChanges([mailbox] { mailbox->accountChanged(); });
    PushRelay& relay = PushRelay::shared();
    // The fetch a push wakes may wait for the cloud database for seconds: never on the main thread.
    auto fetches = std::make_shared<movrane::MailboxBackgroundTasks>();
    relay.onPush
        = [mailbox, fetches] { fetches->start([mailbox](std::stop_token) { mailbox->handlePush(); }); };
    relay.onRegistration = [mailbox](bool registered) { mailbox->setPushRegistered(registered); };
    // The system may have answered before the model existed.
    if (relay.registered)
        mailbox->setPushRegistered(*relay.registered);
}

}
