// A folder whose openings are held with fanotify until the test lets them through, as a hung network
// volume or a pending privacy prompt would hold them. Needs CAP_SYS_ADMIN; check `isHolding`.
#pragma once

#include <fcntl.h>
#include <filesystem>
#include <sys/fanotify.h>
#include <unistd.h>

namespace vellumar::test {

class HeldFolder {
public:
    explicit HeldFolder(const std::filesystem::path& folder)
        : m_listener(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY))
    {
        if (m_listener >= 0
            && fanotify_mark(m_listener, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD, folder.c_str())
                != 0)
            release();
    }
    ~HeldFolder() { release(); }
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // False when fanotify is not available here; nothing is held then.
    bool isHolding() const { return m_listener >= 0; }

    // Lets every held and later opening through.
    void release()
    {
        if (m_listener >= 0)
            close(m_listener);
        m_listener = -1;
    }

private:
    int m_listener;
};

}
