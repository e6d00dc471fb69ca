// Runs one short outside program to completion under a time limit and captures its standard output.
// Used for probes (Claude Code's version and login, the login shell's PATH) and the openssl commands;
// Claude Code runs themselves have a supervisor of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vellumar {

// Variable name to value; a child's whole environment.
using CommandEnvironment = std::map<std::string, std::string>;

// This process's environment. The first of repeated names wins, as getenv sees it; entries without a
// name cannot be passed on and are left out.
CommandEnvironment currentEnvironment();

struct CommandResult {
    // The exit code, or the number of the signal that ended the program.
    std::int32_t status = 0;
    // Everything written to standard output; empty when the pipe stayed open past the reader grace
    // (a descendant holding it) or when the program wrote more than `kCommandOutputLimitBytes`.
    std::string output;
    // The program was still running when the time limit ran out, or had stalled
    // (`CommandOptions::stallLimitSeconds`).
    bool timedOut = false;

    friend bool operator==(const CommandResult&, const CommandResult&) = default;
};

struct CommandOptions {
    // The child's whole environment; absent inherits the caller's.
    std::optional<CommandEnvironment> environment {};
    // Absent inherits the caller's working folder.
    std::optional<std::filesystem::path> workingFolder {};
    // Negative or NaN counts as 0; the program is asked to end once this has passed.
    double timeLimitSeconds = 0;
    // Where positive, the program is also asked to end once it has gone this long without running: its
    // CPU time, with that of the children it waited for, did not rise and it was neither runnable nor
    // waiting on the disk (`/proc/<pid>/stat`). A program blocked on a FIFO or a lock is then stopped
    // soon, and one that is slow only because the machine is busy runs on to `timeLimitSeconds`.
    double stallLimitSeconds = 0;
    // Starts the program in a session of its own, with no controlling terminal to take: for a shell
    // started as an interactive one.
    bool ownSession = false;
};

// The program could not be started: missing or non-executable file, bad working folder, or an
// executable, argument or variable that cannot be passed to the system (an embedded NUL, a name
// that is empty or holds "="). No process is left behind.
class CommandLaunchError : public std::exception {
public:
    CommandLaunchError(std::filesystem::path executable, std::error_code error);

    const std::filesystem::path& executable() const noexcept { return m_executable; }
    std::error_code code() const noexcept { return m_error; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::filesystem::path m_executable;
    std::error_code m_error;
    std::string m_message;
};

// Standard output beyond this is not kept: a probe that prints more is broken or hostile.
inline constexpr std::size_t kCommandOutputLimitBytes = 16 * 1024 * 1024;
// After SIGTERM, the program has this long to end before SIGKILL.
inline constexpr double kCommandEscalationDelaySeconds = 2.0;
// After the program ended, its standard output has this long to reach end of file.
inline constexpr double kCommandReaderGraceSeconds = 3.0;

// Starts `executable` directly (no shell, no PATH search) with `arguments` after the program name,
// standard input and standard error on /dev/null and only descriptors 0-2 open. Blocks the calling
// thread for at most the time limit + the escalation delay + the time the kernel takes to end a
// killed child + the reader grace. A non-zero status is not an error. Throws CommandLaunchError when
// the program cannot be started. Safe to call from any number of threads at once.
CommandResult runCommand(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const CommandOptions& options);

// Stands in for `runCommand` where a caller lets tests watch or replace the runs.
using CommandRunnerFunction = std::function<CommandResult(
    const std::filesystem::path&, const std::vector<std::string>&, const CommandOptions&)>;

// Makes a write to a closed pipe fail with EPIPE instead of ending the process. Process-wide and
// idempotent; `runCommand` calls it, and anything else that writes to a child should too. Children
// started by `runCommand` get the default SIGPIPE action back.
void ignoreSIGPIPE();

}
