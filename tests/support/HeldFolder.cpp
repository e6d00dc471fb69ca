#include "tests/support/HeldFolder.h"

#include <fcntl.h>
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

void HeldFolder::release()
{
    if (m_listener >= 0)
        close(m_listener);
    m_listener = -1;
}

}
