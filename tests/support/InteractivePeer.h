// A peer program kept running while a test talks to it: standard input stays open until the test closes
// it, and standard output is read one line at a time with a deadline, or to its end.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vellumar::test {

class InteractivePeer {
public:
    // Starts `argv` (PATH searched, no shell); standard error is inherited.
    explicit InteractivePeer(const std::vector<std::string>& argv);
    // Kills the program if it still runs and reaps it.
    ~InteractivePeer();
    InteractivePeer(const InteractivePeer&) = delete;
    InteractivePeer& operator=(const InteractivePeer&) = delete;

    // Writes all of `text` to the program's standard input; false once the program stopped reading.
    bool send(const std::string& text);
    void closeInput();
    // Sends SIGKILL while the program runs; wait() still reaps it.
    void kill();
    // The next line of standard output without its line feed; nothing at end of output or when
    // `deadlineSeconds` pass first. The deadline is a guard against a hang, not a measurement.
    std::optional<std::string> readLine(double deadlineSeconds = 60);
    // The rest of standard output, once the program has closed it.
    std::string readAll();
    // Waits for the program to end; its exit status, or 128 + the signal that ended it.
    int wait();
    // Asks the program to end with SIGTERM, and kills it if it has not ended within `graceSeconds`;
    // its exit status as `wait` gives it.
    int stop(double graceSeconds);
    pid_t pid() const noexcept { return m_pid; }

private:
    // Appends the next piece of standard output; false at its end or when `timeoutMillis` (-1: none) pass.
    bool readMore(int timeoutMillis);

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_pending;
};

}
