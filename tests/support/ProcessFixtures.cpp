#include "tests/support/ProcessFixtures.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vellumar::test {

void writeExecutable(const std::filesystem::path& file, const std::string& contents)
{
    writeBytes(file, contents);
    std::filesystem::permissions(file, std::filesystem::perms(0755));
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
