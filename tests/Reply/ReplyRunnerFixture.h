// A data folder, a home folder and a reply runner over them, for the tests that run the reply runner
// with a fake `claude` and with the real one.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vellumar::test {

// A guard against a hang, not a measurement.
inline constexpr auto kRunnerPatience = std::chrono::seconds(120);

inline bool eventually(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + kRunnerPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The events a job's control received, readable from the test thread.
class EventLog {
public:
    void add(const RunnerEvent& event)
    {
        std::lock_guard guard(m_lock);
        m_events.push_back(event);
    }
    std::vector<RunnerEvent> events() const
    {
        std::lock_guard guard(m_lock);
        return m_events;
    }

private:
    mutable std::mutex m_lock;
    std::vector<RunnerEvent> m_events;
};

struct RunnerWorld {
    TemporaryFolder folder;
    std::filesystem::path home = folder / "home";
    std::filesystem::path dataFolder = folder / "data";
    std::unique_ptr<RelayData> data;
    std::shared_ptr<EventLog> events = std::make_shared<EventLog>();

    // Anything the runner's data should find on its first read (a session record, say) is written
    // before this.
    void makeData()
    {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(dataFolder);
        data = std::make_unique<RelayData>(RelayData::Options { .folder = dataFolder, .home = home });
    }

    std::filesystem::path workFolder(const std::string& conversationID) const
    {
        return data->workspaces.folderURL(conversationID);
    }

    std::shared_ptr<JobControl> control(
        const std::string& jobID = "j-1", std::optional<std::string> stoppedNote = std::nullopt)
    {
        return std::make_shared<JobControl>(
            jobID, std::move(stoppedNote), [log = events](const RunnerEvent& event) { log->add(event); });
    }

    static JobSubmission submission(
        const std::string& conversationID = "ios-1", const std::string& message = "Hello")
    {
        JobSubmission submission;
        submission.conversationID = conversationID;
        submission.botID = "bot-1";
        submission.message = message;
        submission.timeLimit = 600;
        return submission;
    }

    // The permission sub-mode of the real executable, deciding with `decide`.
    static void openGates(ClaudeReplyRunner::Options& options, ClaudeReplyRunner::DecidePermission decide)
    {
        options.permissionHelper
            = PermissionHelper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };
        options.decidePermission = std::move(decide);
    }
};

// Runs `body` and returns the RelayHTTPError it throws; a test failure when it throws none.
template <typename Body> std::optional<RelayHTTPError> relayErrorOf(Body&& body)
{
    try {
        body();
    } catch (const RelayHTTPError& error) {
        return error;
    }
    ADD_FAILURE() << "no RelayHTTPError was thrown";
    return std::nullopt;
}

}
