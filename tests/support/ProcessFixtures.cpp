#include "tests/support/ProcessFixtures.h"

#include "tests/support/FileFixtures.h"

#include <cstdlib>
#include <stdexcept>

namespace vellumar::test {

namespace {

    void setVariable(const std::string& name, const std::optional<std::string>& value)
    {
        int result = value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        if (result != 0)
            throw std::runtime_error("cannot set environment variable " + name);
    }

}

void writeExecutable(const std::filesystem::path& file, const std::string& contents)
{
    writeBytes(file, contents);
    std::filesystem::permissions(file, std::filesystem::perms(0755));
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(
    std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name))
{
    if (const char* previous = std::getenv(m_name.c_str()))
        m_previous = previous;
    setVariable(m_name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    try {
        setVariable(m_name, m_previous);
    } catch (const std::runtime_error&) {
    }
}

}
