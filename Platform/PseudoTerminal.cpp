#include "Platform/PseudoTerminal.h"

#include "Platform/FileDescriptor.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace vellumar::platform {

namespace {

    // Owns a descriptor until it is released.

    [[noreturn]] void failTerminal()
    {
        throw PseudoTerminalFailure(PseudoTerminalFailure::Kind::terminal, errno);
    }

    std::vector<char*> nullTerminated(const std::vector<std::string>& strings)
    {
        std::vector<char*> pointers;
        pointers.reserve(strings.size() + 1);
        for (const std::string& string : strings)
            pointers.push_back(const_cast<char*>(string.c_str()));
        pointers.push_back(nullptr);
        return pointers;
    }

    class SpawnSetup {
    public:
        SpawnSetup(const std::string& slavePath, const std::string& directory)
        {
            posix_spawn_file_actions_init(&actions);
            posix_spawnattr_init(&attributes);
            // Opened after setsid, without O_NOCTTY, the slave becomes the controlling terminal.
            posix_spawn_file_actions_addopen(&actions, 0, slavePath.c_str(), O_RDWR, 0);
            posix_spawn_file_actions_adddup2(&actions, 0, 1);
            posix_spawn_file_actions_adddup2(&actions, 0, 2);
            posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
            // Linux has no flag that closes every other descriptor at exec; this does the same.
            posix_spawn_file_actions_addclosefrom_np(&actions, 3);
            sigset_t all;
            sigfillset(&all);
            posix_spawnattr_setsigdefault(&attributes, &all);
            sigset_t none;
            sigemptyset(&none);
            posix_spawnattr_setsigmask(&attributes, &none);
            posix_spawnattr_setflags(&attributes,
                static_cast<short>(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
        }
        ~SpawnSetup()
        {
            posix_spawnattr_destroy(&attributes);
            posix_spawn_file_actions_destroy(&actions);
        }
        SpawnSetup(const SpawnSetup&) = delete;
        SpawnSetup& operator=(const SpawnSetup&) = delete;

        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
    };

}

const char* PseudoTerminalFailure::what() const noexcept
{
    return m_kind == Kind::terminal ? "the pseudo-terminal could not be opened"
                                    : "the process could not start";
}

SpawnedPseudoTerminal spawnOnPseudoTerminal(const PseudoTerminalProcess& process)
{
    FileDescriptor master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0)
        failTerminal();
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        failTerminal();
    char slaveName[128];
    if (ptsname_r(master.get(), slaveName, sizeof slaveName) != 0)
        failTerminal();
    const std::string slavePath = slaveName;
    // Held until the spawn is over, so the terminal never loses its last slave in between.
    FileDescriptor slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.get() < 0)
        failTerminal();

    winsize size {};
    size.ws_row = process.rows;
    size.ws_col = process.columns;
    ioctl(master.get(), TIOCSWINSZ, &size);

    SpawnSetup setup(slavePath, process.directory);
    const std::vector<char*> argv = nullTerminated(process.arguments);
    const std::vector<char*> envp = nullTerminated(process.environment);
    pid_t pid = 0;
    if (const int error = posix_spawn(
            &pid, process.executable.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
        error != 0)
        throw PseudoTerminalFailure(PseudoTerminalFailure::Kind::spawn, error);

    fcntl(master.get(), F_SETFL, fcntl(master.get(), F_GETFL) | O_NONBLOCK);
    return { pid, master.release() };
}

}
