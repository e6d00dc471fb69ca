#include "tests/support/TestSupport.h"

#include "tests/support/InteractivePeer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vellumar::test {

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vellumar-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

PeerResult runPeer(const std::vector<std::string>& argv, const std::string& input)
{
    InteractivePeer peer(argv);
    std::thread writer([&] {
        // A child that exits without reading its input must not end the test by SIGPIPE; blocked here,
        // the signal stays with this thread and goes when it ends, while the write fails with EPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        peer.send(input);
        peer.closeInput();
    });
    PeerResult result;
    result.output = peer.readAll();
    writer.join();
    result.exitStatus = peer.wait();
    return result;
}

std::filesystem::path sourceDir()
{
    if (const char* fromEnvironment = std::getenv("VELLUMAR_SOURCE_DIR"))
        return fromEnvironment;
    return VELLUMAR_SOURCE_DIR;
}

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

bool eventuallyWithin(double boundSeconds, const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(boundSeconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}
