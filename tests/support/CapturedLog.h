// Reads what a unit writes to the system log while the capture lives.
#pragma once

#include "Platform/Log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <iostream>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar::test {

// Installs itself as the log's sink and puts the previous one back on destruction. Lines may come
// from any thread. A test that fails, or leaves by an exception, prints what was captured: the line
// that says why is otherwise held here, where no one reads it.
class CapturedLog {
public:
    CapturedLog()
        : m_previous(platform::replaceLogSink([this](std::string_view line) {
            {
                std::lock_guard guard(m_lock);
                m_lines.emplace_back(line);
            }
            m_added.notify_all();
        }))
    {
    }
    ~CapturedLog()
    {
        platform::replaceLogSink(std::move(m_previous));
        if (std::uncaught_exceptions() > 0 || ::testing::Test::HasFailure()) {
            for (const auto& line : lines())
                std::cerr << "log: " << line << '\n';
        }
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard guard(m_lock);
        return m_lines;
    }

    // Waits until `count` lines came, at most `limit` (a guard against a hang), and returns them all.
    std::vector<std::string> waitForLines(
        std::size_t count, std::chrono::seconds limit = std::chrono::seconds(30))
    {
        std::unique_lock guard(m_lock);
        m_added.wait_for(guard, limit, [&] { return m_lines.size() >= count; });
        return m_lines;
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_added;
    std::vector<std::string> m_lines;
    platform::LogSink m_previous;
};

}
