// The processes of a session, whatever process group job control has put each in, and signalling
// them all.
#pragma once

#include <sys/types.h>

#include <vector>

namespace vellumar::platform {

// The processes whose session id is `leader` and that have not ended, as the process table shows them
// at the call; the leader among them while it runs. Any thread; never throws for a process that ends
// while it is read.
std::vector<pid_t> sessionMembers(pid_t leader);

// Sends `signal` to the leader and to every member of its session. The leader must not have been
// reaped yet, so that its id, and the session's, cannot belong to anyone else. Any thread.
void signalSession(pid_t leader, int signal);

}
