#include "tests/support/ApplicationProcess.h"

#include "tests/support/TestSupport.h"

#include <chrono>
#include <thread>

#include <csignal>

namespace vellumar::test {

namespace {

    std::vector<std::string> shellCommand(const std::filesystem::path& executable,
        const std::filesystem::path& home, const std::vector<std::string>& arguments)
    {
        // The shell tells the application's pid, then how it ended.
        std::vector<std::string> argv { "sh", "-c",
            R"(home="$1"; shift
               mkdir -p -m 700 "$home/run"
               env HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
                   XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen "$@" &
               echo $!; wait $!; echo $?)",
            "sh", home.string(), executable.string() };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }

}

ApplicationProcess::ApplicationProcess(const std::filesystem::path& executable,
    const std::filesystem::path& home, const std::vector<std::string>& arguments)
    : m_shell(shellCommand(executable, home, arguments))
    , m_pid(m_shell.readLine().value_or(""))
{
}

bool ApplicationProcess::waitUntilListening()
{
    auto listens = [this] {
        return !m_pid.empty()
            && runPeer({ "ss", "-Hltnp" }).output.find("pid=" + m_pid + ",") != std::string::npos;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!listens() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return listens();
}

int ApplicationProcess::endWith(const std::vector<int>& endingSignals)
{
    if (m_pid.empty())
        return -1;
    for (int signal : endingSignals)
        kill(std::stoi(m_pid), signal);
    auto status = m_shell.readLine();
    return status ? std::stoi(*status) : -1;
}

}
