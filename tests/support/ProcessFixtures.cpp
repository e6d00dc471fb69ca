#include "tests/support/ProcessFixtures.h"

#include "tests/support/FileFixtures.h"

#include <cstdlib>
#include <stdexcept>

namespace vellumar::test {

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
    if ((value ? setenv(m_name.c_str(), value->c_str(), 1) : unsetenv(m_name.c_str())) != 0)
        throw std::runtime_error("cannot set environment variable " + m_name);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    // A name the constructor could set can be set back.
    m_previous ? setenv(m_name.c_str(), m_previous->c_str(), 1) : unsetenv(m_name.c_str());
}

}
