// Signals every process of a session, whatever process group job control has put it in.
#pragma once

#include <sys/types.h>

namespace vellumar::platform {

// Sends `signal` to the leader and to each process whose session id is `leader`, as the process
// table shows them at the call. The leader must not have been reaped yet, so that its id, and the
// session's, cannot belong to anyone else. Any thread.
void signalSession(pid_t leader, int signal);

}
