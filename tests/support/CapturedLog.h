// Reads what a unit writes to the system log while the capture lives.
#pragma once

#include "Platform/Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace vellumar::test {

// Installs itself as the log's sink and puts the previous one back on destruction. Lines may come
// from any thread.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<std::string> lines() const;

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
    platform::LogSink m_previous;
};

}
