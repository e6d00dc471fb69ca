#include "tests/support/ProcessFixtures.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar::test {

void writeExecutable(const std::filesystem::path& file, const std::string& contents)
{
    writeBytes(file, contents);
    std::filesystem::permissions(file, std::filesystem::perms(0755));
}

namespace {

    struct ProcessState {
        pid_t pid;
        char state;
        pid_t parent;
        pid_t group;
    };

    std::vector<ProcessState> processes()
    {
        std::vector<ProcessState> found;
        std::error_code error;
        for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            // The name in parentheses may hold spaces and parentheses of its own.
            std::string stat = readFile(it->path() / "stat");
            auto close = stat.rfind(") ");
            ProcessState process { std::stoi(name), 0, 0, 0 };
            if (close != std::string::npos
                && std::istringstream(stat.substr(close + 2)) >> process.state >> process.parent
                    >> process.group)
                found.push_back(process);
        }
        return found;
    }

}

std::optional<pid_t> groupLedByChildOf(pid_t parent)
{
    for (const auto& process : processes()) {
        if (process.parent == parent && process.group == process.pid)
            return process.group;
    }
    return std::nullopt;
}

bool groupEnds(pid_t group)
{
    auto running = [group] {
        auto all = processes();
        return std::any_of(all.begin(), all.end(),
            [group](const ProcessState& process) { return process.group == group && process.state != 'Z'; });
    };
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
         running() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !running();
}

void killWhileRepeating(const std::function<bool()>& step, std::mt19937& random)
{
    int steps[2];
    ASSERT_EQ(::pipe(steps), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char byte = 0;
        while (step() && ::write(steps[1], &byte, 1) == 1) { }
        ::_exit(1);
    }
    ::close(steps[1]);
    char byte;
    for (int count = std::uniform_int_distribution(1, 4)(random); count > 0; --count)
        EXPECT_EQ(::read(steps[0], &byte, 1), 1);
    // Jitter, so that the kill lands anywhere in the next step.
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution(0, 3000)(random)));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(steps[0]);
}

bool processEndsWithin(double boundSeconds, pid_t pid)
{
    return eventuallyWithin(boundSeconds, [pid] {
        std::string state = readFile("/proc/" + std::to_string(pid) + "/stat");
        return state.empty() || state.compare(state.rfind(") ") + 2, 1, "Z") == 0;
    });
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(
    std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name))
{
    if (const char* previous = std::getenv(m_name.c_str()))
        m_previous = previous;
    if ((value ? setenv(m_name.c_str(), value->c_str(), 1) : unsetenv(m_name.c_str())) != 0)
        throw std::runtime_error("cannot set environment variable " + m_name);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    // A name the constructor could set can be set back.
    m_previous ? setenv(m_name.c_str(), m_previous->c_str(), 1) : unsetenv(m_name.c_str());
}

}
