#include "tests/support/TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    std::thread writer([fd = toChild[1], &input] {
        // A child that exits without reading its input must not end the test by SIGPIPE; blocked here,
        // the signal stays with this thread and goes when it ends, while write fails with EPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        std::size_t sent = 0;
        while (sent < input.size()) {
            ssize_t n = write(fd, input.data() + sent, input.size() - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    PeerResult result;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fromChild[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fromChild[0]);
    writer.join();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

}
