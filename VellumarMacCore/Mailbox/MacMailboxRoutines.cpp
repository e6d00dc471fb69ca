// Routine results reach the phones that are away from the Mac's network as mailbox events.
#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/Protocol/MailboxMessage.h"
#include "VellumarMacCore/Routines/RoutineManager.h"

namespace vellumar {

void MacMailbox::connectRoutines(RoutineManager& routines)
{
    {
        Lock lock(m_lock);
        if (m_routinesConnected)
            return;
        m_routinesConnected = true;
    }
    // Weakly: the routine manager keeps its observers for as long as it lives.
    routines.addResultObserver([weak = weak_from_this()](const JSON& result) {
        if (auto mailbox = weak.lock())
            mailbox->broadcastRoutineResult(result);
    });
}

void MacMailbox::broadcastRoutineResult(const JSON& result)
{
    // Decided now, on the routine manager's thread: a result that finds no server running is dropped,
    // never kept for a later start.
    auto server = runningServer();
    if (!server)
        return;
    auto encoded = result.encoded();
    movrane::MailboxEvent event { std::string(movrane::MailboxEvent::routineResultName),
        movrane::MailboxBytes(encoded.begin(), encoded.end()) };
    // The routine manager must not wait for iCloud; the server logs each phone it could not reach.
    m_routineBroadcasts.start([server = std::move(server), event = std::move(event)](std::stop_token) {
        server->broadcast(event, movrane::MailboxNotify::routine);
    });
}

}
