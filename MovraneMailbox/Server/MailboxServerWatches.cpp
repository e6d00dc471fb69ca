// Job watches: a phone away from home asks the Mac to follow a job for it.
#include "MovraneMailbox/Server/MailboxServer.h"

namespace movrane {

void MailboxServer::startWatch(
    const MailboxWatch&, const MailboxMessage&, const MailboxChannel&, const std::stop_token&)
{
    // FIXME: watches (registration, the long poll of the job and the job-state writes) are still to be
    // built; until then a watch envelope is deleted and left unanswered.
}

}
