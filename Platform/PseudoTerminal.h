// A process started on a new pseudo-terminal: the terminal becomes its controlling terminal and its
// standard input, output and error, and the caller keeps the master side.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vellumar::platform {

class PseudoTerminalFailure : public std::exception {
public:
    enum class Kind {
        terminal, // opening or preparing the pseudo-terminal
        spawn, // starting the process
    };

    PseudoTerminalFailure(Kind kind, int error) noexcept
        : m_kind(kind)
        , m_error(error)
    {
    }

    Kind kind() const noexcept { return m_kind; }
    int error() const noexcept { return m_error; } // errno, or the spawn call's error number
    const char* what() const noexcept override;

    friend bool operator==(const PseudoTerminalFailure& a, const PseudoTerminalFailure& b) noexcept
    {
        return a.m_kind == b.m_kind && a.m_error == b.m_error;
    }

private:
    Kind m_kind;
    int m_error;
};

struct PseudoTerminalProcess {
    std::string executable; // absolute; no search of PATH
    std::vector<std::string> arguments; // element 0 included
    std::vector<std::string> environment; // "NAME=value", in the order given
    std::string directory;
    std::uint16_t rows = 24;
    std::uint16_t columns = 80;
};

struct SpawnedPseudoTerminal {
    pid_t pid;
    int master; // non-blocking and close-on-exec; the caller closes it and reaps `pid`
};

// Starts the process as the leader of a new session and process group, with every signal at its
// default action and an empty signal mask. It inherits descriptors 0 to 2 (the terminal) and nothing
// else. Throws PseudoTerminalFailure; on failure no process exists and no descriptor stays open.
SpawnedPseudoTerminal spawnOnPseudoTerminal(const PseudoTerminalProcess& process);

}
