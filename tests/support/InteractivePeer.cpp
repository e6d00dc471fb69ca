#include "tests/support/InteractivePeer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vellumar::test {

InteractivePeer::InteractivePeer(const std::vector<std::string>& argv)
{
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        signal(SIGPIPE, SIG_DFL);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    m_input = toChild[1];
    m_output = fromChild[0];
}

InteractivePeer::~InteractivePeer()
{
    closeInput();
    if (m_pid > 0) {
        kill();
        wait();
    }
    close(m_output);
}

bool InteractivePeer::send(const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t count = write(m_input, text.data() + sent, text.size() - sent);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

void InteractivePeer::closeInput()
{
    if (m_input >= 0)
        close(m_input);
    m_input = -1;
}

void InteractivePeer::kill()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
}

std::optional<std::string> InteractivePeer::readLine(double deadlineSeconds)
{
    using namespace std::chrono;
    auto deadline = steady_clock::now() + duration<double>(deadlineSeconds);
    std::size_t end;
    while ((end = m_pending.find('\n')) == std::string::npos) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || !readMore(static_cast<int>(left)))
            return std::nullopt;
    }
    std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    return line;
}

std::string InteractivePeer::readAll()
{
    while (readMore(-1)) { }
    return std::exchange(m_pending, {});
}

bool InteractivePeer::readMore(int timeoutMillis)
{
    pollfd readable { m_output, POLLIN, 0 };
    int ready = 0;
    while ((ready = poll(&readable, 1, timeoutMillis)) < 0 && errno == EINTR) { }
    char buffer[65536];
    ssize_t count = 0;
    while (ready > 0 && (count = read(m_output, buffer, sizeof buffer)) < 0 && errno == EINTR) { }
    if (ready <= 0 || count <= 0)
        return false;
    m_pending.append(buffer, static_cast<std::size_t>(count));
    return true;
}

namespace {

    int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}

int InteractivePeer::stop(double graceSeconds)
{
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (reaped != m_pid) {
        ::kill(m_pid, SIGKILL);
        return wait();
    }
    m_pid = -1;
    return exitCode(status);
}

int InteractivePeer::wait()
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    m_pid = -1;
    return exitCode(status);
}

}
