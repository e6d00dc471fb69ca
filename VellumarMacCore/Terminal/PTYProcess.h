// A login shell running on a pseudo-terminal of its own, and how it ended.
#pragma once

#include "Platform/PseudoTerminal.h"
#include "VellumarMacCore/Foundations/TerminalSize.h"
#include "VellumarMacCore/Terminal/ShellLaunch.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace vellumar {

// Exactly one field is set in a value from PTYProcess::waitForExit.
struct ShellExit {
    std::optional<std::int32_t> status; // 0...255, when the shell exited
    std::optional<std::int32_t> signal; // when a signal ended it

    friend bool operator==(const ShellExit&, const ShellExit&) = default;
};

// Not thread-safe: built where the terminal starts, then used from one serial queue. It neither closes
// `master` nor reaps the child by itself: its owner does both.
class PTYProcess {
public:
    using Failure = platform::PseudoTerminalFailure;

    // Starts the launch's program on a new pseudo-terminal of the given size, in a session of its own.
    // Throws Failure; then no process exists and nothing stays open.
    static std::unique_ptr<PTYProcess> spawn(const ShellLaunch& launch, TerminalSize size);

    std::int32_t pid() const noexcept { return m_pid; }
    std::int32_t master() const noexcept { return m_master; } // non-blocking

    // How the process ended, reaping it; absent while it runs. Never blocks. After a value the pid
    // belongs to nobody and must not be signalled.
    std::optional<ShellExit> waitForExit();

private:
    PTYProcess(std::int32_t pid, std::int32_t master) noexcept
        : m_pid(pid)
        , m_master(master)
    {
    }

    std::int32_t m_pid;
    std::int32_t m_master;
};

}
