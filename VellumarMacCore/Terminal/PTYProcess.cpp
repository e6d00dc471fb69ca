#include "VellumarMacCore/Terminal/PTYProcess.h"

#include <cerrno>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace vellumar {

std::unique_ptr<PTYProcess> PTYProcess::spawn(const ShellLaunch& launch, TerminalSize size)
{
    platform::PseudoTerminalProcess process { launch.executable, launch.arguments, {}, launch.directory,
        static_cast<std::uint16_t>(size.rows), static_cast<std::uint16_t>(size.columns) };
    // The map keeps names in ascending order, the order the environment vector is given in.
    for (const auto& [name, value] : launch.environment)
        process.environment.push_back(name + "=" + value);
    const auto spawned = platform::spawnOnPseudoTerminal(process);
    return std::unique_ptr<PTYProcess>(new PTYProcess(spawned.pid, spawned.master));
}

std::optional<ShellExit> PTYProcess::waitForExit()
{
    int status = 0;
    pid_t reaped;
    do
        reaped = waitpid(m_pid, &status, WNOHANG);
    while (reaped == -1 && errno == EINTR);
    if (reaped != m_pid)
        return std::nullopt;
    if ((status & 0x7F) == 0)
        return ShellExit { (status >> 8) & 0xFF, std::nullopt };
    return ShellExit { std::nullopt, status & 0x7F };
}

}
