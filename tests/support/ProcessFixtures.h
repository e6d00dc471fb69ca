// Fixtures for tests of code that starts outside programs: stand-in executables and environment
// variables set for one test.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <sys/types.h>

namespace vellumar::test {

// Writes `contents` to `file` with mode 0755, creating missing parent folders. Fails the test when it
// cannot write, and throws when the file is not there.
void writeExecutable(const std::filesystem::path& file, const std::string& contents);

// Forks a child that calls `step` over and over and kills it with SIGKILL after one to four whole steps
// and up to 3 ms more, so that the kill lands anywhere in a later step; returns once the child is
// reaped. A step that returns false ends the child early. Call only where no other thread of the test
// holds a lock the child's steps need.
void killWhileRepeating(const std::function<bool()>& step, std::mt19937& random);

// The process group that a child of `parent` leads (as Claude Code's watchdog leads Claude Code's);
// absent when none does.
std::optional<pid_t> groupLedByChildOf(pid_t parent);

// Whether every process of `group` has ended (a zombie that nobody reaps here counts as ended) within
// two minutes, a patience that only guards against a hang.
bool groupEnds(pid_t group);

// Whether process `pid` ends (is gone, or a zombie: it runs no code either way) before `boundSeconds`
// pass; the bound guards against a hang and measures nothing. A killed process closes its descriptors
// before it turns into a zombie, so its state is polled.
bool processEndsWithin(double boundSeconds, pid_t pid);

// Sets (or, given absent, removes) one variable of this process's environment and restores the
// previous state on destruction. Not for tests that start threads reading the environment meanwhile.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

}
