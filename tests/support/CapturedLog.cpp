#include "tests/support/CapturedLog.h"

namespace vellumar::test {

CapturedLog::CapturedLog()
    : m_previous(platform::replaceLogSink([this](std::string_view line) {
        std::lock_guard guard(m_lock);
        m_lines.emplace_back(line);
    }))
{
}

CapturedLog::~CapturedLog() { platform::replaceLogSink(std::move(m_previous)); }

std::vector<std::string> CapturedLog::lines() const
{
    std::lock_guard guard(m_lock);
    return m_lines;
}

}
