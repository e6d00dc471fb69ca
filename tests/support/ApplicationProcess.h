// The application run as its own process in a home folder of the test's, offscreen, until the test
// ends it with a signal.
#pragma once

#include "tests/support/InteractivePeer.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::test {

class ApplicationProcess {
public:
    // Starts `executable` with `arguments`, its home, data, settings and runtime folders inside `home`.
    ApplicationProcess(const std::filesystem::path& executable, const std::filesystem::path& home,
        const std::vector<std::string>& arguments = {});

    // Whether its relay listens within 60 seconds, a guard against a hang.
    bool waitUntilListening();
    // Sends each signal in turn and answers how the process ended: its exit status, or 128 + the
    // signal that ended it.
    int endWith(const std::vector<int>& endingSignals);

private:
    InteractivePeer m_shell;
    std::string m_pid;
};

}
