#include "tests/support/HeldFolder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

namespace vellumar::test {

HeldFolder::HeldFolder(const std::filesystem::path& folder)
    : m_listener(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY))
{
    if (m_listener >= 0
        && fanotify_mark(m_listener, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD, folder.c_str()) != 0)
        release();
}

HeldFolder::~HeldFolder() { release(); }

bool HeldFolder::allowWaitingOpening()
{
    pollfd ready { m_listener, POLLIN, 0 };
    if (poll(&ready, 1, 0) != 1)
        return false;
    fanotify_event_metadata event {};
    if (read(m_listener, &event, sizeof event) < static_cast<ssize_t>(sizeof event) || event.fd < 0)
        return false;
    fanotify_response response { event.fd, FAN_ALLOW };
    bool answered = write(m_listener, &response, sizeof response) == sizeof response;
    close(event.fd);
    return answered && (event.mask & FAN_OPEN_PERM);
}

void HeldFolder::release()
{
    if (m_listener >= 0)
        close(m_listener);
    m_listener = -1;
}

}
