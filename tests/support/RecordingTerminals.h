// A stand-in for the remote terminals, for tests of the relay that sits below them: it records each
// call as a line of text and reserves sessions until told the table is full.
#pragma once

#include "VellumarMacCore/Relay/TerminalRegistry.h"

#include <mutex>
#include <string>
#include <vector>

namespace vellumar::test {

class RecordingTerminals final : public TerminalRegistry {
public:
    std::optional<std::string> open(const std::string& deviceID, const std::string& deviceName) override
    {
        std::lock_guard lock(m_lock);
        m_calls.push_back("open " + deviceID + " " + deviceName);
        if (m_full)
            return std::nullopt;
        return "t-" + std::to_string(++m_opened);
    }
    void start(const std::string& sessionID, std::shared_ptr<WebSocketConnection>, TerminalSize size) override
    {
        record("start " + sessionID + " " + std::to_string(size.columns) + "x" + std::to_string(size.rows));
    }
    void close(const std::string& sessionID) override { record("close " + sessionID); }
    void closeSessions(const std::string& deviceID, std::uint16_t code, const std::string& reason) override
    {
        record("closeSessions " + deviceID + " " + std::to_string(code) + " '" + reason + "'");
    }

    void setFull(bool full)
    {
        std::lock_guard lock(m_lock);
        m_full = full;
    }
    // Every call so far, and forgets them.
    std::vector<std::string> takeCalls()
    {
        std::lock_guard lock(m_lock);
        return std::exchange(m_calls, {});
    }

private:
    void record(std::string call)
    {
        std::lock_guard lock(m_lock);
        m_calls.push_back(std::move(call));
    }

    std::mutex m_lock;
    std::vector<std::string> m_calls;
    bool m_full = false;
    int m_opened = 0;
};

}
