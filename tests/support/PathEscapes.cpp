#include "tests/support/PathEscapes.h"

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace vellumar::test {

namespace fs = std::filesystem;

PathEscapes::PathEscapes(const fs::path& home, const fs::path& work, const fs::path& grant)
    : heldFile(work / "held.txt")
{
    using enum PathEscape::Decision;
    const auto sshFolder = home / ".ssh"; // holds nothing but an empty "sub" folder
    for (const auto& folder :
        { sshFolder / "sub", home / "other/sub", grant / "sub/deeper", work / "sub/deeper" })
        fs::create_directories(folder);
    fs::create_symlink(sshFolder / "sub", work / "k");
    fs::create_symlink(home / "other/sub", work / "away");
    fs::create_symlink("away/../escaped.txt", work / "t");
    fs::create_symlink("sub/deeper", work / "s");
    fs::create_symlink(home / "other", grant / "o");
    fs::create_symlink("sub/deeper", grant / "d");
    std::ofstream(home / ".bashrc") << "bashrc";
    fs::create_hard_link(home / ".bashrc", work / "shared.txt");
    // chain-0 reaches chain-end.txt through 41 links, one more than the kernel follows.
    constexpr int kLinks = 41;
    for (int index = 0; index < kLinks; ++index) {
        fs::path next = index + 1 < kLinks ? "chain-" + std::to_string(index + 1) : "chain-end.txt";
        fs::create_symlink(next, work / ("chain-" + std::to_string(index)));
    }
    std::ofstream(heldFile) << "held";
    m_descriptor = open(heldFile.c_str(), O_RDONLY | O_CLOEXEC);
    std::string descriptor = std::to_string(m_descriptor);
    fs::create_symlink("/proc/self/fd/" + descriptor, work / "fd");

    cases = {
        { "dot-dot after a link out of the work folder", work / "k/../authorized_keys", deny,
            sshFolder / "authorized_keys" },
        { "dot-dot after a link out of the granted folder", grant / "o/../.gitconfig", deny,
            home / ".gitconfig" },
        { "dot-dot after a link within the granted folder", grant / "d/../.env", ask, grant / "sub/.env" },
        { "link to a folder within the granted folder", grant / "d/.gitconfig", ask,
            grant / "sub/deeper/.gitconfig" },
        { "link whose target holds dot-dot", work / "t", deny, home / "other/escaped.txt" },
        { "dot-dot after a link within the work folder", work / "s/../notes.txt", allowWorkspace,
            work / "sub/notes.txt" },
        { "dot-dot after a folder that does not exist", work / "new/../notes.txt", deny, {} },
        { "descriptor through /dev/fd", "/dev/fd/" + descriptor, deny, {} },
        { "descriptor through /proc/self", "/proc/self/fd/" + descriptor, deny, {} },
        { "descriptor through /proc/<pid>", "/proc/" + std::to_string(getpid()) + "/fd/" + descriptor, deny,
            {} },
        { "descriptor through /proc/thread-self", "/proc/thread-self/fd/" + descriptor, deny, {} },
        { "link to a descriptor", work / "fd", deny, {} },
        { "file with a second hard link outside", work / "shared.txt", deny, home / ".bashrc" },
        { "40 links", work / "chain-1", allowWorkspace, work / "chain-end.txt" },
        { "41 links", work / "chain-0", deny, {} },
    };
}

PathEscapes::~PathEscapes()
{
    if (m_descriptor >= 0)
        close(m_descriptor);
}

}
