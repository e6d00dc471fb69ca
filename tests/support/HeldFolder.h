// A folder whose openings are held with fanotify until the test lets them through, as a hung network
// volume or a pending privacy prompt would hold them. Needs CAP_SYS_ADMIN; check `isHolding`.
#pragma once

#include <filesystem>

namespace vellumar::test {

class HeldFolder {
public:
    explicit HeldFolder(const std::filesystem::path& folder);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // False when fanotify is not available here; nothing is held then.
    bool isHolding() const { return m_listener >= 0; }

    // Lets every held and later opening through.
    void release();

private:
    int m_listener;
};

}
